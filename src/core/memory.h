// Allocation wrappers and saturating size arithmetic.  All memory of the
// library comes from these wrappers and goes back with free().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

// a*b, or (size_t)-1 when the product does not fit; a is never zero.
size_t _kv_size_multiply(size_t a, size_t b);
// a+b, or (size_t)-1 when the sum does not fit.
size_t _kv_size_add(size_t a, size_t b);

// Where part i of [0, count) cut into `parts` near-equal consecutive parts
// begins: floor(count * i / parts) for i <= parts, without the overflow of
// the product.
inline size_t _kv_share_bound(size_t count, size_t i, size_t parts)
{
#if SIZE_MAX > UINT32_MAX
    __extension__ typedef unsigned __int128 wide;
#else
    typedef uint64_t wide;
#endif
    size_t q = count / parts, r = count % parts;
    return q * i + static_cast<size_t>(static_cast<wide>(r) * i / parts);
}

// A new block of n bytes, or NULL.  Sets none on success and no_memory on
// failure; a request of (size_t)-1 bytes fails without asking the system.
void *_kv_allocate(size_t n);
// Resizes p (NULL: allocates).  On failure p stays valid and owned by the
// caller.  Sets the error code as _kv_allocate does.
void *_kv_reallocate(void *p, size_t n);
// Shrinks p to n bytes (n == 0 frees p and gives NULL).  Never fails: when the
// system cannot move the block, p itself is returned.  Leaves the error code.
void *_kv_shrink(void *p, size_t n);
// A fresh copy of s, or NULL with no_memory.
char *_kv_allocate_string(const char *s);

namespace kv {

// Fault injection for tests: the n-th allocation from now (1-based) fails,
// and every one after it succeeds again; 0 switches injection off.  Reaches
// the wrappers above and ScratchAlloc.  Per thread.
void fail_allocation_after(long n);
// True when an injected failure is still pending.
bool allocation_failure_pending();

// Raw allocation through the injection point, leaving the error code alone.
void *raw_allocate(size_t n);

// Allocator for scratch containers that live inside one call.  It draws from
// the same injection point as _kv_allocate, leaves the error code alone and
// throws std::bad_alloc on failure; the API guard turns that into no_memory.
template <class T> struct ScratchAlloc {
    using value_type = T;
    ScratchAlloc() = default;
    template <class U> ScratchAlloc(const ScratchAlloc<U> &) {}
    T *allocate(size_t n)
    {
        size_t bytes = _kv_size_multiply(sizeof(T), n);
        void *p = bytes == SIZE_MAX ? nullptr : raw_allocate(bytes);
        if (!p)
            throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t) { std::free(p); }
    template <class U> bool operator==(const ScratchAlloc<U> &) const { return true; }
};

// A region for the many short-lived containers of one computation: blocks
// are taken from chunks drawn through the injection point and all go back
// together when the region ends.  While a Region lives, RegionAlloc draws
// from it (per thread; regions nest).
class Region {
public:
    Region();
    ~Region();
    Region(const Region &) = delete;
    Region &operator=(const Region &) = delete;
    // n bytes aligned for any scalar; throws std::bad_alloc on failure.
    void *take(size_t n);
    static Region *current();

private:
    struct Chunk {
        Chunk *next;
    };
    Chunk *chunks_ = nullptr;
    char *free_ = nullptr, *end_ = nullptr;
    size_t next_size_ = size_t(1) << 16;
    Region *outer_;
};

template <class T> struct RegionAlloc {
    using value_type = T;
    RegionAlloc() = default;
    template <class U> RegionAlloc(const RegionAlloc<U> &) {}
    T *allocate(size_t n)
    {
        size_t bytes = _kv_size_multiply(sizeof(T), n);
        if (bytes == SIZE_MAX)
            throw std::bad_alloc();
        return static_cast<T *>(Region::current()->take(bytes));
    }
    void deallocate(T *, size_t) {}
    template <class U> bool operator==(const RegionAlloc<U> &) const { return true; }
};

// An array of count elements of T from _kv_allocate (no_memory on overflow
// or failure), uninitialised.
template <class T> T *allocate_array(size_t count)
{
    return static_cast<T *>(_kv_allocate(_kv_size_multiply(sizeof(T), count)));
}

// Grows or shrinks an array from _kv_allocate; NULL leaves the old one valid.
template <class T> T *reallocate_array(T *p, size_t count)
{
    return static_cast<T *>(_kv_reallocate(p, _kv_size_multiply(sizeof(T), count)));
}

} // namespace kv
