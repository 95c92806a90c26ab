// Marginalization: sum, max, the fast-retraction forms that weight summed-out
// nodes by their evidence, and the sum-max marginalization of influence
// diagrams.  Results go to the domain's scratch buffer first.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <cstring>

#include "core/error.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "kernels.h"
#include "operations.h"

using kv::Dim;

int _kv_check_buffer(kv_domain_s *d, size_t n)
{
    size_t bytes = _kv_size_multiply(sizeof(double), n);
    kv_scratch_buffer_s b = _kv_scratch_buffer(d);
    if (bytes <= b.bytes && b.data)
        return kv_error_none;
    double *buffer = static_cast<double *>(_kv_allocate(bytes ? bytes : 1));
    if (!buffer)
        return kv_error_no_memory;
    std::free(b.data);
    _kv_set_scratch_buffer(d, {buffer, bytes});
    return kv_error_none;
}

int _kv_copy_to_table_pair(kv_table_s *probability, kv_table_s *utility, int)
{
    kv_table_s *any = probability ? probability : utility;
    if (!any)
        return _kv_set_error_code(kv_error_usage);
    const double *from = _kv_scratch(any->domain);
    for (kv_table_s *t : {probability, utility}) {
        if (!t)
            continue;
        if (_kv_allocate_data_arrays(t))
            return kv_error_no_memory;
        std::memcpy(t->discrete_data, from + (t == utility ? t->size : 0),
                    t->size * sizeof(double));
    }
    return _kv_set_error_code(kv_error_none);
}

// ---------------------------------------------------------------------------
// Sum and max kernels, walked in big-table order.
//
// The terms of one output are added in a fixed order that depends only on
// the summed-out dimensions, never on how the kept ones are split among
// threads: a contiguous run of 8 or more terms is added in 8 interleaved
// lanes, which are then combined pairwise; shorter runs are added one by
// one.  Where outputs are short rows (kept innermost node, summed-out
// neighbour), the row is accumulated in registers.

static inline double add_run(const double *p, size_t n, double start)
{
    if (n < 8) {
        for (size_t i = 0; i < n; ++i)
            start += p[i];
        return start;
    }
    double a[8] = {p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]};
    size_t i = 8;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k)
            a[k] += p[i + k];
    for (int k = 0; i < n; ++i, ++k)
        a[k] += p[i];
    return start + (((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7])));
}

template <int N> static void add_rows(const double *p, size_t rows, size_t row_stride, double *q)
{
    double a[N];
    for (int i = 0; i < N; ++i)
        a[i] = q[i];
    for (size_t j = 0; j < rows; ++j, p += row_stride)
        for (int i = 0; i < N; ++i)
            a[i] += p[i];
    for (int i = 0; i < N; ++i)
        q[i] = a[i];
}

static void sum_block(const double *b, double *d, const Dim &mid, const Dim &in)
{
    size_t n = in.count;
    if (in.small == 0 && in.big == 1) {
        // Each output is a contiguous run; short runs of several outputs are
        // interleaved to hide the latency of their additions.
        if (n < 8 && mid.small != 0) {
            size_t j = 0;
            for (; j + 4 <= mid.count; j += 4) {
                const double *p = b + j * mid.big;
                double *q = d + j * mid.small;
                double a0 = q[0], a1 = q[mid.small], a2 = q[2 * mid.small], a3 = q[3 * mid.small];
                for (size_t i = 0; i < n; ++i) {
                    a0 += p[i];
                    a1 += p[mid.big + i];
                    a2 += p[2 * mid.big + i];
                    a3 += p[3 * mid.big + i];
                }
                q[0] = a0, q[mid.small] = a1, q[2 * mid.small] = a2, q[3 * mid.small] = a3;
            }
            for (; j < mid.count; ++j)
                d[j * mid.small] = add_run(b + j * mid.big, n, d[j * mid.small]);
            return;
        }
        for (size_t j = 0; j < mid.count; ++j)
            d[j * mid.small] = add_run(b + j * mid.big, n, d[j * mid.small]);
        return;
    }
    if (in.small == 1 && in.big == 1 && mid.small == 0) {
        switch (n) {
        case 2:
            return add_rows<2>(b, mid.count, mid.big, d);
        case 3:
            return add_rows<3>(b, mid.count, mid.big, d);
        case 4:
            return add_rows<4>(b, mid.count, mid.big, d);
        default:
            break;
        }
    }
    for (size_t j = 0; j < mid.count; ++j) {
        const double *p = b + j * mid.big;
        double *q = d + j * mid.small;
        if (in.small == 0) {
            double a = q[0];
            for (size_t i = 0; i < n; ++i)
                a += p[i * in.big];
            q[0] = a;
        } else if (in.small == 1 && in.big == 1) {
            for (size_t i = 0; i < n; ++i)
                q[i] += p[i];
        } else {
            for (size_t i = 0; i < n; ++i)
                q[i * in.small] += p[i * in.big];
        }
    }
}

// Only a strictly greater value replaces the maximum: among equal values
// the first in loop order stays.
static void max_block(const double *b, double *d, const Dim &mid, const Dim &in)
{
    for (size_t j = 0; j < mid.count; ++j) {
        const double *p = b + j * mid.big;
        double *q = d + j * mid.small;
        if (in.small == 0 && in.big == 1 && in.count >= 8) {
            // The maximum does not depend on grouping: four lanes.
            double m[4] = {q[0], q[0], q[0], q[0]};
            size_t i = 0;
            for (; i + 4 <= in.count; i += 4)
                for (int k = 0; k < 4; ++k)
                    m[k] = p[i + k] > m[k] ? p[i + k] : m[k];
            for (; i < in.count; ++i)
                m[0] = p[i] > m[0] ? p[i] : m[0];
            for (int k = 1; k < 4; ++k)
                m[0] = m[k] > m[0] ? m[k] : m[0];
            q[0] = m[0];
        } else if (in.small == 0) {
            double m = q[0];
            for (size_t i = 0; i < in.count; ++i) {
                double v = p[i * in.big];
                if (v > m)
                    m = v;
            }
            q[0] = m;
        } else {
            for (size_t i = 0; i < in.count; ++i) {
                double v = p[i * in.big];
                if (v > q[i * in.small])
                    q[i * in.small] = v;
            }
        }
    }
}

template <void (*Block)(const double *, double *, const Dim &, const Dim &)>
static void reduce_task(kv_task_s *t)
{
    kv::Plan p;
    kv::big_order_plan(t, p);
    const double *big = t->big_data;
    double *dest = t->destination;
    kv::walk_big_order(p, [&](size_t bo, size_t so, const Dim &mid, const Dim &in) {
        Block(big + bo, dest + so, mid, in);
    });
}

// ---------------------------------------------------------------------------
// Fast-retraction kernels: every term of a summed-out loop that carries an
// evidence vector is weighted by the entry of its state.

template <bool Max>
static double out_value(const kv_loop_s *loops, size_t n, const double *b)
{
    if (n == 0)
        return b[0];
    const kv_loop_s &l = loops[0];
    double best = 0.0;
    for (size_t s = 0; s < l.count; ++s) {
        double v = out_value<Max>(loops + 1, n - 1, b + s * l.stride);
        if (l.evidence)
            v = l.evidence[s] * v;
        if (Max) {
            if (s == 0 || v > best)
                best = v;
        } else {
            best += v;
        }
    }
    return best;
}

template <bool Max> static void out_marg_task(kv_task_s *t)
{
    const kv_loop_s *second = t->loops + t->first_count;
    kv::walk_small_major(t, [&](size_t bo, size_t s) {
        t->destination[s] = out_value<Max>(second, t->second_count, t->big_data + bo);
    });
}

// ---------------------------------------------------------------------------
// Sum-max: expected utilities, summing over chance nodes and decisions
// already made, maximizing over open decisions.  Each part carries its
// probability weight beside its probability-weighted utility; an open
// decision keeps the option of largest expected utility (value / weight,
// the first on ties; options of weight 0 only when all are), and the result
// is that utility per unit of its own weight.  Where the options leave the
// weight unchanged (a decision eliminated after everything it influences),
// this is the largest weighted utility divided by the marginal probability;
// elsewhere comparing raw weighted utilities could pick an option for its
// probability rather than its utility, and give values beyond every entry
// of the utility table.

namespace {
struct Weighted {
    double value;  // sum of probability x utility
    double weight; // sum of probability
};
} // namespace

static bool better(const Weighted &a, const Weighted &b)
{
    if (!(a.weight > 0.0))
        return false;
    if (!(b.weight > 0.0))
        return true;
    return a.value * b.weight > b.value * a.weight;
}

static Weighted sum_max_value(const kv_loop_s *loops, size_t n, const double *p, const double *u)
{
    if (n == 0) {
        double w = p ? p[0] : 1.0;
        return {w * u[0], w};
    }
    const kv_loop_s &l = loops[0];
    Weighted total{0.0, 0.0};
    for (size_t s = 0; s < l.count; ++s) {
        size_t o = s * l.stride;
        Weighted v = sum_max_value(loops + 1, n - 1, p ? p + o : nullptr, u + o);
        if (l.flag) {
            total.value += v.value;
            total.weight += v.weight;
        } else if (s == 0 || better(v, total)) {
            total = v;
        }
    }
    return total;
}

static void sum_max_task(kv_task_s *t)
{
    const kv_loop_s *second = t->loops + t->first_count;
    kv::walk_small_major(t, [&](size_t bo, size_t s) {
        Weighted w = sum_max_value(second, t->second_count, t->big_data ? t->big_data + bo : nullptr,
                                   t->big_utility + bo);
        t->destination[s] = w.weight > 0.0 ? w.value / w.weight : w.value;
    });
}

// Sums of 1.0 per term: the probability part of a lone utility table.
static void count_task(kv_task_s *t)
{
    size_t terms = 1;
    for (size_t i = 0; i < t->second_count; ++i)
        terms *= t->loops[t->first_count + i].count;
    kv::walk_small_major(t, [&](size_t, size_t s) { t->destination[s] = double(terms); });
}

// ---------------------------------------------------------------------------
// Marginalizations.

// In a compiled domain, summed-out decisions are averaged over the options
// their evidence still allows: the divisor is the product of the sums of
// their evidence vectors.
static double decision_divisor(const kv_control_s *c)
{
    if (!c->domain->is_compiled)
        return 1.0;
    const kv_table_s *big = _kv_control_big(c), *small = _kv_control_small(c);
    double divisor = 1.0;
    for (size_t j = 0; j < big->discrete_count; ++j) {
        kv_node_s *n = big->nodes[j];
        if (n->category != kv_category_decision || _kv_node_in_list(small->nodes, n))
            continue;
        const double *e = _kv_node_propagated_evidence(n);
        double sum = 0.0;
        for (size_t s = 0; s < n->number_of_states; ++s)
            sum += e ? e[s] : 1.0;
        divisor *= sum;
    }
    return divisor;
}

static int sum_marginalize(kv_control_s *c, int simplify, double *dest, size_t size)
{
    std::memset(dest, 0, size * sizeof(double));
    _kv_setup_alternative_control_normal(c, simplify);
    int status = _kv_do_table_reduction(c, reduce_task<sum_block>, dest, size, false);
    if (!status) {
        double divisor = decision_divisor(c);
        if (divisor != 1.0)
            for (size_t i = 0; i < size; ++i)
                dest[i] /= divisor;
    }
    kv_table_s *small = c->small_probability;
    if (!status && small && small->continuous_count)
        status = _kv_cg_marginalize(c);
    _kv_reset_alternative_control(c);
    return status;
}

static int max_marginalize(kv_control_s *c, int simplify, double *dest, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        dest[i] = -HUGE_VAL;
    _kv_setup_alternative_control_normal(c, simplify);
    int status = _kv_do_table_reduction(c, reduce_task<max_block>, dest, size, true);
    _kv_reset_alternative_control(c);
    return status;
}

static int out_marginalize(kv_control_s *c, int equilibrium, double *dest)
{
    if (_kv_control_big(c)->continuous_count)
        return _kv_set_error_code(kv_error_usage);
    if (!c->domain->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled);
    _kv_setup_alternative_control_fast_retraction(c);
    int status = equilibrium == kv_equilibrium_sum
                     ? _kv_do_table_operation(c, out_marg_task<false>, nullptr, dest, 0, 0)
                     : _kv_do_table_operation(c, out_marg_task<true>, nullptr, dest, 0, 0);
    _kv_reset_alternative_control(c);
    return status;
}

// The probability part averages open decisions as sum marginalization does;
// the expected utilities come out per unit of probability.
static int decision_marginalize(kv_control_s *c, int simplify, double *buffer, size_t size)
{
    int status;
    if (c->big_probability) {
        std::memset(buffer, 0, size * sizeof(double));
        _kv_setup_alternative_control_normal(c, simplify);
        status = _kv_do_table_reduction(c, reduce_task<sum_block>, buffer, size, false);
        double divisor = status ? 1.0 : decision_divisor(c);
        if (divisor != 1.0)
            for (size_t i = 0; i < size; ++i)
                buffer[i] /= divisor;
    } else {
        _kv_setup_alternative_control_normal(c, simplify);
        status = _kv_do_table_operation(c, count_task, nullptr, buffer, 0, 0);
    }
    _kv_reset_alternative_control(c);
    if (status || !c->small_utility)
        return status;
    double *eu = buffer + size;
    _kv_setup_alternative_control_sum_max(c, simplify);
    status = _kv_do_table_operation(c, sum_max_task, nullptr, eu, 0, 0);
    _kv_reset_alternative_control(c);
    return status;
}

// Over the stored entries of the big table, through the control's index of
// each: every entry of a flat table, the nonzero ones of a compressed table
// (the small entries that none of those maps to are zeros).
static int compressed_marginalize(kv_control_s *c, int equilibrium, int mode)
{
    kv_table_s *big = c->big_probability, *small = c->small_probability;
    if (mode == kv_mode_fast_retraction || c->big_utility || c->small_utility || !big || !small)
        return _kv_set_error_code(kv_error_compressed);
    if (_kv_allocate_control_tables(c) || _kv_check_buffer(c->domain, small->size))
        return kv_error_no_memory;
    double *dest = _kv_scratch(c->domain);
    const double *b = big->discrete_data;
    const uint16_t *index = c->compressed_index;
    if (equilibrium == kv_equilibrium_sum) {
        std::memset(dest, 0, small->size * sizeof(double));
        for (size_t i = 0; i < big->size; ++i)
            dest[index[i]] += b[i];
        if (small->continuous_count)
            if (int status = _kv_cg_marginalize(c))
                return status;
    } else {
        // A whole table reaches every small entry; a compressed one leaves
        // out only zeros.
        double start = c->domain->is_compressed ? 0.0 : -HUGE_VAL;
        for (size_t i = 0; i < small->size; ++i)
            dest[i] = start;
        for (size_t i = 0; i < big->size; ++i)
            dest[index[i]] = b[i] > dest[index[i]] ? b[i] : dest[index[i]];
    }
    return _kv_set_error_code(kv_error_none);
}

int _kv_marginalize(kv_control_s *c, int equilibrium, int mode, int simplify)
{
    // A flat control of a whole table leaves fast retraction to the loops.
    if (c->compressed_index && (c->domain->is_compressed || mode == kv_mode_normal))
        return compressed_marginalize(c, equilibrium, mode);
    if (_kv_allocate_control_tables(c))
        return kv_error_no_memory;
    kv_domain_s *d = c->domain;
    size_t size = _kv_control_small(c)->size;
    bool pair = c->big_utility != nullptr;
    if (_kv_check_buffer(d, pair ? _kv_size_multiply(2, size) : size))
        return kv_error_no_memory;
    double *buffer = _kv_scratch(d);
    int status;
    if (pair)
        status = decision_marginalize(c, simplify, buffer, size);
    else if (mode == kv_mode_fast_retraction)
        status = out_marginalize(c, equilibrium, buffer);
    else if (equilibrium == kv_equilibrium_sum)
        status = sum_marginalize(c, simplify, buffer, size);
    else
        status = max_marginalize(c, simplify, buffer, size);
    return status ? status : _kv_set_error_code(kv_error_none);
}

static void reduce(const double *b, double *out, const kv::Plan &part)
{
    kv::walk_big_order(part, [&](size_t bo, size_t so, const Dim &mid, const Dim &in) {
        sum_block(b + bo, out + so, mid, in);
    });
}

int _kv_marginalize_sliced(kv_control_s *c, kv_state_function_t state)
{
    kv_table_s *big = c->big_probability, *small = c->small_probability;
    if (!_kv_discrete_probabilities(c))
        return _kv_set_error_code(kv_error_usage);
    if (c->compressed_index)
        return compressed_marginalize(c, kv_equilibrium_sum, kv_mode_normal);
    kv::Plan p;
    if (!kv::slice_plan(big, small, state, p) && _kv_may_split(big))
        return _kv_marginalize(c, kv_equilibrium_sum, kv_mode_normal, 1);
    if (_kv_allocate_control_tables(c))
        return kv_error_no_memory;
    kv_domain_s *d = c->domain;
    if (_kv_check_buffer(d, small->size))
        return kv_error_no_memory;
    size_t size = small->size;
    double *dest = _kv_scratch(d);
    std::memset(dest, 0, size * sizeof(double));
    // As the whole-table reductions: a summed-out slowest dimension goes in
    // fixed chunks with partial results, a kept one is split among threads
    // directly (their results are disjoint).
    struct Share {
        const kv::Plan *plan;
        const double *big;
        double *dest;
        size_t chunks, size;
        int kept; // the dimension the shares split, when not the slowest
    } share{&p, big->discrete_data, dest, 0, size, 0};
    size_t work = kv::plan_work(p), count = p.n ? p.dims[0].count : 1;
    if (p.n >= 1 && kv::chunked_reduction(work, size, p.dims[0].small == 0)) {
        share.chunks = std::min(count, kv::reduction_chunks);
        double *partial = kv::allocate_array<double>(share.chunks * size);
        if (!partial)
            return _kv_set_error_code(kv_error_no_memory);
        std::memset(partial, 0, share.chunks * size * sizeof(double));
        share.dest = partial;
        _kv_run_ranges(d, share.chunks, work / share.chunks, [](size_t b, size_t e, void *x) {
            const Share &s = *static_cast<const Share *>(x);
            size_t n = s.plan->dims[0].count;
            for (size_t k = b; k < e; ++k)
                reduce(s.big, s.dest + k * s.size,
                       kv::plan_share(*s.plan, _kv_share_bound(n, k, s.chunks),
                                      _kv_share_bound(n, k + 1, s.chunks)));
        }, &share);
        _kv_add_partials(dest, partial, share.chunks, size, false);
        std::free(partial);
    } else if (p.n >= 1 && p.dims[0].small != 0) {
        _kv_run_ranges(d, count, work / count, [](size_t b, size_t e, void *x) {
            const Share &s = *static_cast<const Share *>(x);
            reduce(s.big, s.dest, kv::plan_share(*s.plan, b, e));
        }, &share);
    } else {
        // The slowest dimension is summed out into a large result: the
        // shares are ranges of the outermost kept dimension above the two
        // innermost (which the kernels walk as blocks).  Each output still
        // gets its terms in the same order.
        int kept = 0;
        while (kept < p.n - 2 && p.dims[kept].small == 0)
            ++kept;
        if (kept < p.n - 2) {
            share.kept = kept;
            size_t n = p.dims[kept].count;
            _kv_run_ranges(d, n, work / n, [](size_t b, size_t e, void *x) {
                const Share &s = *static_cast<const Share *>(x);
                reduce(s.big, s.dest, kv::plan_share_of(*s.plan, s.kept, b, e));
            }, &share);
        } else {
            reduce(share.big, dest, p);
        }
    }
    return _kv_set_error_code(kv_error_none);
}

// Calls f(pointer, n) for the runs of a table's slice.
template <class F> static void for_slice_runs(const kv_table_s *t, kv_state_function_t state, F &&f)
{
    kv::Plan p;
    kv::slice_plan(t, nullptr, state, p);
    double *data = t->discrete_data;
    kv::walk_big_order(p, [&](size_t bo, size_t, const Dim &mid, const Dim &in) {
        for (size_t j = 0; j < mid.count; ++j)
            f(data + bo + j * mid.big, in.count, in.big);
    });
}

double _kv_sliced_sum(const kv_table_s *t, kv_state_function_t state)
{
    long double sum = 0.0L;
    for_slice_runs(t, state, [&](const double *x, size_t n, size_t stride) {
        for (size_t i = 0; i < n; ++i)
            sum += x[i * stride];
    });
    return double(sum);
}

void _kv_sliced_scale(kv_table_s *t, double r, kv_state_function_t state)
{
    for_slice_runs(t, state, [&](double *x, size_t n, size_t stride) {
        for (size_t i = 0; i < n; ++i)
            x[i * stride] *= r;
    });
}

void _kv_sliced_fill(kv_table_s *t, double x, kv_state_function_t state)
{
    for_slice_runs(t, state, [&](double *y, size_t n, size_t stride) {
        for (size_t i = 0; i < n; ++i)
            y[i * stride] = x;
    });
}

void _kv_fill_outside_slice(kv_table_s *t, kv_state_function_t state)
{
    if (!t->discrete_data || t->continuous_count)
        return;
    size_t stride = 1;
    for (size_t j = t->discrete_count; j-- > 0;) {
        const kv_node_s *n = t->nodes[j];
        size_t k = n->number_of_states, s = state(n);
        if (s != static_cast<size_t>(-1) && k > 1)
            for (size_t block = 0; block < t->size; block += k * stride)
                for (size_t other = 0; other < k; ++other)
                    if (other != s)
                        std::memset(t->discrete_data + block + other * stride, 0,
                                    stride * sizeof(double));
        stride *= k;
    }
}

int _kv_marginalize_tables_using_control(kv_table_s *big, kv_table_s *small,
                                         kv_control_s *model, int equilibrium, int mode,
                                         int simplify)
{
    return _kv_with_control(big, small, model, [&](kv_control_s *c) {
        int status = _kv_marginalize(c, equilibrium, mode, simplify);
        return status ? status : _kv_copy_to_table_pair(c->small_probability, c->small_utility, equilibrium);
    });
}

int _kv_marginalize_tables(kv_table_s *big, kv_table_s *small, int equilibrium, int mode,
                           int simplify)
{
    return _kv_marginalize_tables_using_control(big, small, nullptr, equilibrium, mode, simplify);
}

kv_table_s *_kv_table_get_marginal(kv_table_s *t, kv_node_s *const *nodes, int equilibrium,
                                   int mode, int simplify)
{
    if (!t || !nodes || !_kv_subset_of_node_list(nodes, t->nodes)) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    kv_table_s *result;
    int type = t->type;
    if (_kv_node_lists_are_equal(nodes, t->nodes)) {
        result = _kv_clone_table(t);
        if (!result)
            return nullptr;
        result->type = KV_PROBABILITY;
        result->role = KV_ROLE_DERIVED;
    } else {
        result = _kv_create_table(t->domain, nodes, KV_PROBABILITY, KV_ROLE_DERIVED, 0, 1);
        if (!result)
            return nullptr;
        // The marginal of any table is taken as for a probability table.
        t->type = KV_PROBABILITY;
        kv_control_s *c = _kv_create_control(t, nullptr, result, nullptr);
        int status = c ? _kv_marginalize(c, equilibrium, mode, simplify) : kv_error_code();
        if (!status)
            status = _kv_copy_to_table_pair(result, nullptr, equilibrium);
        _kv_free_control(c);
        t->type = type;
        if (status) {
            _kv_free_table(result);
            _kv_set_error_code(status);
            return nullptr;
        }
    }
    _kv_unlink_table(result);
    _kv_set_error_code(kv_error_none);
    return result;
}
