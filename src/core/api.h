// The guard around the work of every exported function: no C++ exception
// ever reaches a caller.  std::bad_alloc becomes no_memory, anything else the
// "impossible" error, and the function returns its failure value.
#pragma once

#include <new>

#include "error.h"

namespace kv {

template <class R, class F> R guard(R failure, F &&work) noexcept
{
    try {
        return work();
    } catch (const std::bad_alloc &) {
        _kv_set_error_code(kv_error_no_memory);
    } catch (...) {
        _kv_set_error_code(kv_error_error);
    }
    return failure;
}

// Status results: the error code itself is the failure value.
template <class F> kv_status_t guard_status(F &&work) noexcept
{
    try {
        return work();
    } catch (const std::bad_alloc &) {
        return _kv_set_error_code(kv_error_no_memory);
    } catch (...) {
        return _kv_set_error_code(kv_error_error);
    }
}

template <class F> auto guard_ptr(F &&work) noexcept
{
    return guard<decltype(work())>(nullptr, work);
}

template <class F> size_t guard_size(F &&work) noexcept
{
    return guard<size_t>(static_cast<size_t>(-1), work);
}

template <class F> double guard_number(F &&work) noexcept
{
    return guard<double>(-1.0, work);
}

template <class F> kv_boolean_t guard_boolean(F &&work) noexcept
{
    return guard<kv_boolean_t>(-1, work);
}

} // namespace kv
