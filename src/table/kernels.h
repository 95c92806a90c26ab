// Loop walkers shared by the table kernels.
//
// A task's loops are turned into a plan: one dimension per loop with its
// count, its stride in the big table and its stride in the small table (0
// for the loops over nodes the small table lacks).  Kernels that treat every
// big entry on its own (multiply, add, divide) and the sum and max kernels
// walk the plan in big-table order, so the big table streams through memory
// once; each small entry still receives its terms in the same order as in
// the control's nested loops (increasing big index), so the results do not
// depend on how the loops are split or merged.  Kernels whose loops carry
// per-loop semantics (evidence weights, sum-max flags, CG moments) walk the
// first section in small-table order and recurse over the second section.
#pragma once

#include <cstddef>

#include "parallel.h"
#include "table.h"

namespace kv {

struct Dim {
    size_t count;
    size_t big;   // stride in the big table
    size_t small; // stride in the small table
};

// A table over at most SIZE_MAX entries has fewer than this many loops
// with a count above 1.
constexpr int max_dims = 8 * sizeof(size_t) + 2;

struct Plan {
    Dim dims[max_dims];
    int n = 0;
    size_t big_base = 0, small_base = 0; // where the walk starts
};

// The task's dimensions in control order: its outer range, the first
// section with small strides (suffix products of the first-section counts),
// then the second section.  Loops of count 1 are left out.
inline void task_dims(const kv_task_s *t, Plan &p)
{
    p.n = 0;
    size_t small = 1; // the first section's total count, then suffix products
    for (size_t i = 0; i < t->first_count; ++i)
        small *= t->loops[i].count;
    if (t->iterations > 1)
        p.dims[p.n++] = {t->iterations, t->outer_stride, t->small_block};
    for (size_t i = 0; i < t->first_count; ++i) {
        const kv_loop_s &l = t->loops[i];
        small /= l.count;
        if (l.count > 1)
            p.dims[p.n++] = {l.count, l.stride, small};
    }
    for (size_t i = 0; i < t->second_count; ++i) {
        const kv_loop_s &l = t->loops[t->first_count + i];
        if (l.count > 1)
            p.dims[p.n++] = {l.count, l.stride, 0};
    }
}

// The plan in big-table order (largest big stride first), with dimensions
// that are contiguous in both tables merged.
inline void big_order_plan(const kv_task_s *t, Plan &p)
{
    task_dims(t, p);
    for (int i = 1; i < p.n; ++i) {
        Dim x = p.dims[i];
        int j = i;
        for (; j > 0 && p.dims[j - 1].big < x.big; --j)
            p.dims[j] = p.dims[j - 1];
        p.dims[j] = x;
    }
    int m = 0;
    for (int i = 0; i < p.n; ++i) {
        if (m > 0) {
            Dim &a = p.dims[m - 1];
            const Dim &b = p.dims[i];
            if (a.big == b.count * b.big && a.small == b.count * b.small) {
                a = {a.count * b.count, b.big, b.small};
                continue;
            }
        }
        p.dims[m++] = p.dims[i];
    }
    p.n = m;
    p.big_base = p.small_base = 0;
    if (t->slice_end > t->slice_begin && m > 0) {
        p.big_base = t->slice_begin * p.dims[0].big;
        p.small_base = t->slice_begin * p.dims[0].small;
        p.dims[0].count = t->slice_end - t->slice_begin;
    }
}

// Stride of node n in table t (row-major, last node fastest), 0 if absent.
inline size_t node_stride(const kv_table_s *t, const kv_node_s *n)
{
    size_t stride = 1;
    for (size_t j = t->discrete_count; j-- > 0;) {
        if (t->nodes[j] == n)
            return stride;
        stride *= t->nodes[j]->number_of_states;
    }
    return 0;
}

// A plan over the entries of big's discrete configurations, straight from
// the two tables' layouts, with every node for which state(node) gives a
// state (not (size_t)-1) fixed at it; small strides follow small's layout
// (small may be null).  True when some node was fixed.
template <class State>
inline bool slice_plan(const kv_table_s *big, const kv_table_s *small, State &&state, Plan &p)
{
    Dim inner_first[max_dims];
    int m = 0;
    bool fixed = false;
    p.big_base = p.small_base = 0;
    size_t stride = 1;
    for (size_t j = big->discrete_count; j-- > 0;) {
        const kv_node_s *n = big->nodes[j];
        size_t k = n->number_of_states, s = state(n);
        size_t small_stride = small ? node_stride(small, n) : 0;
        if (s != static_cast<size_t>(-1) && k > 1) {
            p.big_base += s * stride;
            p.small_base += s * small_stride;
            fixed = true;
        } else if (k > 1) {
            Dim d{k, stride, small_stride};
            Dim &in = inner_first[m > 0 ? m - 1 : 0];
            if (m > 0 && d.big == in.count * in.big && d.small == in.count * in.small)
                in.count *= k;
            else
                inner_first[m++] = d;
        }
        stride *= k;
    }
    p.n = m;
    for (int i = 0; i < m; ++i)
        p.dims[i] = inner_first[m - 1 - i];
    return fixed;
}

// The part of a plan whose outermost dimension runs over [begin, end).
inline Plan plan_share(const Plan &p, size_t begin, size_t end)
{
    // Only the dimensions in use: a whole plan is over 1.5 KB, and small
    // tables are shared out on every propagation.
    Plan s;
    s.n = p.n;
    s.big_base = p.big_base;
    s.small_base = p.small_base;
    for (int i = 0; i < p.n; ++i)
        s.dims[i] = p.dims[i];
    if (s.n == 0)
        return s;
    s.dims[0].count = end - begin;
    s.big_base += begin * s.dims[0].big;
    s.small_base += begin * s.dims[0].small;
    return s;
}

// The part of a plan whose dimension j runs over [begin, end).
inline Plan plan_share_of(const Plan &p, int j, size_t begin, size_t end)
{
    Plan s;
    s.n = p.n;
    s.big_base = p.big_base + begin * p.dims[j].big;
    s.small_base = p.small_base + begin * p.dims[j].small;
    for (int i = 0; i < p.n; ++i)
        s.dims[i] = p.dims[i];
    s.dims[j].count = end - begin;
    return s;
}

// Entries a plan walks.
inline size_t plan_work(const Plan &p)
{
    size_t work = 1;
    for (int i = 0; i < p.n; ++i)
        work *= p.dims[i].count;
    return work;
}

// Reductions over at least this much work whose slowest dimension is summed
// out and whose result is at most 1/64 of it are cut into this many chunks
// of that dimension (fewer when it is shorter), each with its own partial
// result; see _kv_do_table_reduction.
constexpr size_t reduction_chunks = 8, chunked_min_work = size_t(1) << 14;

inline bool chunked_reduction(size_t work, size_t result_size, bool slowest_summed)
{
    return slowest_summed && work >= chunked_min_work && result_size * 8 * reduction_chunks <= work;
}

// Calls inner(big offset, small offset, mid, in) for every position of the
// outer dimensions; mid and in are the two innermost dimensions (count 1
// when the plan is shorter).
template <class Inner> inline void walk_big_order(const Plan &p, Inner &&inner)
{
    const Dim unit{1, 0, 0};
    int n = p.n;
    if (n <= 2) {
        inner(p.big_base, p.small_base, n == 2 ? p.dims[0] : unit, n >= 1 ? p.dims[n - 1] : unit);
        return;
    }
    const Dim mid = p.dims[n - 2], in = p.dims[n - 1];
    int outer = n - 2;
    size_t index[max_dims] = {};
    size_t b = p.big_base, s = p.small_base;
    for (;;) {
        inner(b, s, mid, in);
        int k = outer - 1;
        for (; k >= 0; --k) {
            const Dim &dk = p.dims[k];
            if (++index[k] < dk.count) {
                b += dk.big;
                s += dk.small;
                break;
            }
            index[k] = 0;
            b -= (dk.count - 1) * dk.big;
            s -= (dk.count - 1) * dk.small;
        }
        if (k < 0)
            return;
    }
}

// Advances the innermost-last counter index over counts, moving the offset
// b by the matching strides; false once every position has been visited.
inline bool odometer_step(size_t *index, const size_t *counts, const size_t *strides, int n, size_t &b)
{
    for (int k = n - 1; k >= 0; --k) {
        if (++index[k] < counts[k]) {
            b += strides[k];
            return true;
        }
        index[k] = 0;
        b -= (counts[k] - 1) * strides[k];
    }
    return false;
}

// Calls f(big offset, small index) for every small-table entry of the task
// in small-table order; the big offset is that of the entry's first term.
template <class F> inline void walk_small_major(const kv_task_s *t, F &&f)
{
    size_t counts[max_dims], strides[max_dims], index[max_dims] = {};
    int n = 0;
    if (t->iterations > 1) {
        counts[n] = t->iterations;
        strides[n++] = t->outer_stride;
    }
    for (size_t i = 0; i < t->first_count; ++i)
        if (t->loops[i].count > 1) {
            counts[n] = t->loops[i].count;
            strides[n++] = t->loops[i].stride;
        }
    size_t b = 0, s = 0;
    for (;;) {
        f(b, s++);
        if (!odometer_step(index, counts, strides, n, b))
            return;
    }
}

// Calls g(big offset) for every big entry that projects onto one small
// entry, in the order of the second-section loops (outermost first).
template <class G> inline void walk_second(const kv_task_s *t, size_t base, G &&g)
{
    size_t counts[max_dims], strides[max_dims], index[max_dims] = {};
    int n = 0;
    for (size_t i = 0; i < t->second_count; ++i) {
        const kv_loop_s &l = t->loops[t->first_count + i];
        if (l.count > 1) {
            counts[n] = l.count;
            strides[n++] = l.stride;
        }
    }
    size_t b = base;
    for (;;) {
        g(b);
        if (!odometer_step(index, counts, strides, n, b))
            return;
    }
}

} // namespace kv

// Runs run(begin, end, context) over consecutive ranges of [0, count) on up
// to the domain's concurrency level of threads, each unit being unit_work
// entries of work and each range worth a thread's start; a range whose
// thread cannot be started runs on the calling thread.  At level 1, or for
// little work, one call covers all.
void _kv_run_ranges(const kv_domain_s *d, size_t count, size_t unit_work,
                    void (*run)(size_t, size_t, void *), void *context);
