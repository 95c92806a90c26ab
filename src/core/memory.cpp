// Allocation wrappers, saturating size arithmetic and the fault-injection
// point that tests use to fail a chosen allocation.
#include "memory.h"

#include <cstdlib>
#include <cstring>

#include "error.h"

namespace {
thread_local long failure_countdown = 0;
}

void kv::fail_allocation_after(long n)
{
    failure_countdown = n > 0 ? n : 0;
}

bool kv::allocation_failure_pending()
{
    return failure_countdown > 0;
}

void *kv::raw_allocate(size_t n)
{
    if (failure_countdown > 0 && --failure_countdown == 0)
        return nullptr;
    // malloc(0) may return NULL; a zero-byte request is not a failure.
    return std::malloc(n ? n : 1);
}

static void *raw_reallocate(void *p, size_t n)
{
    if (failure_countdown > 0 && --failure_countdown == 0)
        return nullptr;
    return std::realloc(p, n ? n : 1);
}

size_t _kv_size_multiply(size_t a, size_t b)
{
    if (a != 0 && b > SIZE_MAX / a)
        return SIZE_MAX;
    return a * b;
}

size_t _kv_size_add(size_t a, size_t b)
{
    if (b > ~a)
        return SIZE_MAX;
    return a + b;
}

void *_kv_allocate(size_t n)
{
    if (n == SIZE_MAX) {
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    void *p = kv::raw_allocate(n);
    _kv_set_error_code(p ? kv_error_none : kv_error_no_memory);
    return p;
}

void *_kv_reallocate(void *p, size_t n)
{
    if (!p)
        return _kv_allocate(n);
    if (n == SIZE_MAX) {
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    void *q = raw_reallocate(p, n);
    _kv_set_error_code(q ? kv_error_none : kv_error_no_memory);
    return q;
}

void *_kv_shrink(void *p, size_t n)
{
    if (!p)
        return nullptr;
    if (n == 0) {
        std::free(p);
        return nullptr;
    }
    void *q = std::realloc(p, n);
    return q ? q : p;
}

char *_kv_allocate_string(const char *s)
{
    size_t n = _kv_size_add(std::strlen(s), 1);
    char *copy = static_cast<char *>(_kv_allocate(_kv_size_multiply(1, n)));
    if (copy)
        std::memcpy(copy, s, n);
    return copy;
}
