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

// ---------------------------------------------------------------------------
// Regions.

static thread_local kv::Region *current_region = nullptr;

kv::Region::Region() : outer_(current_region)
{
    current_region = this;
}

kv::Region::~Region()
{
    current_region = outer_;
    while (chunks_) {
        Chunk *next = chunks_->next;
        std::free(chunks_);
        chunks_ = next;
    }
}

kv::Region *kv::Region::current()
{
    return current_region;
}

void *kv::Region::take(size_t n)
{
    constexpr size_t align = alignof(std::max_align_t);
    if (n > SIZE_MAX - align)
        throw std::bad_alloc();
    n = (n + align - 1) / align * align;
    if (n > size_t(end_ - free_)) {
        // Chunks double up to 16 MiB; a larger request gets a chunk of its own size.
        size_t header = (sizeof(Chunk) + align - 1) / align * align;
        size_t size = n > next_size_ - header ? _kv_size_add(n, header) : next_size_;
        void *p = size == SIZE_MAX ? nullptr : raw_allocate(size);
        if (!p)
            throw std::bad_alloc();
        Chunk *c = static_cast<Chunk *>(p);
        c->next = chunks_;
        chunks_ = c;
        free_ = static_cast<char *>(p) + header;
        end_ = static_cast<char *>(p) + size;
        if (next_size_ < (size_t(1) << 24))
            next_size_ *= 2;
    }
    void *p = free_;
    free_ += n;
    return p;
}
