// The per-thread last error code, shared by every operation of the library.
#pragma once

#include "kelvo.h"

// Stores code as the calling thread's last error and returns it unchanged,
// so that an argument test and its early return are one step:
//     if (_kv_set_error_code(!d)) return kv_error_usage;
int _kv_set_error_code(int code);

namespace kv {

// Keeps the thread's error code across clean-up that may overwrite it: the
// code current at construction is set again at destruction.
struct KeepError {
    int code;
    KeepError() : code(kv_error_code()) {}
    ~KeepError() { _kv_set_error_code(code); }
    KeepError(const KeepError &) = delete;
    KeepError &operator=(const KeepError &) = delete;
};

} // namespace kv
