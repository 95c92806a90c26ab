// Combination and division of tables: big probabilities are multiplied (or
// divided) by the matching small entries, big utilities get the matching
// small utilities added.
#include "operations.h"

#include <cstdlib>
#include <initializer_list>

#include "core/error.h"
#include "kernels.h"

using kv::Dim;

// ---------------------------------------------------------------------------
// Kernels.  Each inner function handles the two innermost dimensions; the
// common cases (contiguous big entries, a contiguous or a constant small
// operand) get their own loops so that the compiler vectorises them.

// Assign: big entries take the small entries instead of being multiplied
// by them (a table of ones times the small table, without the ones).
template <bool Assign> static inline void apply(double &b, double s)
{
    b = Assign ? s : b * s;
}

template <bool Assign> static void multiply_line(double *b, const double *s, const Dim &in)
{
    size_t n = in.count;
    if (in.big == 1) {
        if (in.small == 1) {
            for (size_t i = 0; i < n; ++i)
                apply<Assign>(b[i], s[i]);
        } else if (in.small == 0) {
            double v = s[0];
            for (size_t i = 0; i < n; ++i)
                apply<Assign>(b[i], v);
        } else {
            for (size_t i = 0; i < n; ++i)
                apply<Assign>(b[i], s[i * in.small]);
        }
    } else {
        for (size_t i = 0; i < n; ++i)
            apply<Assign>(b[i * in.big], s[i * in.small]);
    }
}

static void add_line(double *b, const double *s, const Dim &in)
{
    if (in.big == 1 && in.small == 1) {
        for (size_t i = 0; i < in.count; ++i)
            b[i] += s[i];
    } else {
        for (size_t i = 0; i < in.count; ++i)
            b[i * in.big] += s[i * in.small];
    }
}

// x / y where y > 0; entries over a zero, negative or NaN divisor stay.
static void divide_line(double *b, const double *s, const Dim &in)
{
    size_t n = in.count;
    if (in.small == 0) {
        double y = s[0];
        if (!(y > 0.0))
            return; // the whole block keeps its values
        if (in.big == 1) {
            for (size_t i = 0; i < n; ++i)
                b[i] /= y;
        } else {
            for (size_t i = 0; i < n; ++i)
                b[i * in.big] /= y;
        }
    } else if (in.big == 1 && in.small == 1) {
        for (size_t i = 0; i < n; ++i) {
            double y = s[i];
            b[i] = y > 0.0 ? b[i] / y : b[i];
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            double y = s[i * in.small];
            if (y > 0.0)
                b[i * in.big] /= y;
        }
    }
}

template <void (*Line)(double *, const double *, const Dim &)>
static void run_lines(double *big, const double *small, const kv::Plan &p)
{
    kv::walk_big_order(p, [&](size_t bo, size_t so, const Dim &mid, const Dim &in) {
        double *b = big + bo;
        const double *s = small + so;
        for (size_t j = 0; j < mid.count; ++j)
            Line(b + j * mid.big, s + j * mid.small, in);
    });
}

// Rows of N contiguous big entries that all meet the same N small entries:
// the multipliers stay in registers.
template <int N, bool Assign>
static void multiply_rows(double *b, size_t rows, size_t row_stride, const double *s)
{
    double f[N];
    for (int i = 0; i < N; ++i)
        f[i] = s[i];
    for (size_t j = 0; j < rows; ++j, b += row_stride)
        for (int i = 0; i < N; ++i)
            apply<Assign>(b[i], f[i]);
}

template <bool Assign> static void multiply_plan(double *big, const double *small, const kv::Plan &p)
{
    kv::walk_big_order(p, [&](size_t bo, size_t so, const Dim &mid, const Dim &in) {
        double *b = big + bo;
        const double *s = small + so;
        if (mid.small == 0 && in.big == 1 && in.small == 1) {
            switch (in.count) {
            case 2:
                return multiply_rows<2, Assign>(b, mid.count, mid.big, s);
            case 3:
                return multiply_rows<3, Assign>(b, mid.count, mid.big, s);
            case 4:
                return multiply_rows<4, Assign>(b, mid.count, mid.big, s);
            default:
                break;
            }
        }
        for (size_t j = 0; j < mid.count; ++j)
            multiply_line<Assign>(b + j * mid.big, s + j * mid.small, in);
    });
}

template <bool Assign> static void discrete_multiply_task(kv_task_s *t)
{
    kv::Plan p;
    kv::big_order_plan(t, p);
    multiply_plan<Assign>(t->big_data, t->source, p);
}

static void discrete_add_task(kv_task_s *t)
{
    kv::Plan p;
    kv::big_order_plan(t, p);
    run_lines<add_line>(t->big_utility, t->source, p);
}

static void discrete_divide_task(kv_task_s *t)
{
    kv::Plan p;
    kv::big_order_plan(t, p);
    run_lines<divide_line>(t->big_data, t->source, p);
}

// ---------------------------------------------------------------------------
// Operations.

int _kv_allocate_control_tables(kv_control_s *c)
{
    // Tables whose arrays exist are passed over: this runs before every
    // operation of a propagation.
    for (kv_table_s *t : {c->big_probability, c->big_utility, c->small_probability,
                          c->small_utility})
        if (t && (!t->discrete_data || (t->continuous_count && !t->cg_data)) && _kv_allocate_data_arrays(t))
            return kv_error_no_memory;
    return kv_error_none;
}

// A flat or compressed control maps each stored entry of the big table (all
// of them, or the nonzero ones) to its small-table entry: one flat loop.
static int compressed_multiply(kv_control_s *c, bool assign)
{
    if (c->big_utility || c->small_utility || !c->big_probability || !c->small_probability ||
        (assign && c->small_probability->continuous_count))
        return _kv_set_error_code(kv_error_compressed);
    if (int status = _kv_allocate_control_tables(c))
        return status;
    kv_table_s *big = c->big_probability;
    double *b = big->discrete_data;
    const double *s = c->small_probability->discrete_data;
    const uint16_t *index = c->compressed_index;
    if (assign)
        for (size_t i = 0; i < big->size; ++i)
            b[i] = s[index[i]];
    else
        for (size_t i = 0; i < big->size; ++i)
            b[i] *= s[index[i]];
    if (c->small_probability->continuous_count)
        if (int status = _kv_cg_combine(c))
            return status;
    return _kv_set_error_code(kv_error_none);
}

int _kv_combine(kv_control_s *c)
{
    if (c->compressed_index)
        return compressed_multiply(c, false);
    if (int status = _kv_allocate_control_tables(c))
        return status;
    _kv_setup_alternative_control_normal(c, 0);
    int status = kv_error_none;
    if (c->big_utility && c->small_utility)
        status = _kv_do_table_operation(c, discrete_add_task, c->small_utility->discrete_data,
                                        nullptr, 0, 0, nullptr, true);
    if (!status && c->small_probability && c->big_probability)
        status = _kv_do_table_operation(c, discrete_multiply_task<false>,
                                        c->small_probability->discrete_data, nullptr, 0, 0, nullptr, true);
    _kv_reset_alternative_control(c);
    if (!status && c->small_probability && c->big_probability &&
        c->small_probability->continuous_count)
        status = _kv_cg_combine(c);
    return status ? status : _kv_set_error_code(kv_error_none);
}

bool _kv_discrete_probabilities(const kv_control_s *c)
{
    const kv_table_s *big = c->big_probability, *small = c->small_probability;
    return big && small && !c->big_utility && !c->small_utility && !big->continuous_count &&
           !small->continuous_count;
}

int _kv_assign(kv_control_s *c)
{
    kv_table_s *small = c->small_probability;
    if (!_kv_discrete_probabilities(c))
        return _kv_set_error_code(kv_error_usage);
    if (c->compressed_index)
        return compressed_multiply(c, true);
    if (int status = _kv_allocate_control_tables(c))
        return status;
    _kv_setup_alternative_control_normal(c, 0);
    int status = _kv_do_table_operation(c, discrete_multiply_task<true>, small->discrete_data,
                                        nullptr, 0, 0, nullptr, true);
    _kv_reset_alternative_control(c);
    return status ? status : _kv_set_error_code(kv_error_none);
}

int _kv_combine_sliced(kv_control_s *c, bool assign, kv_state_function_t state)
{
    kv_table_s *big = c->big_probability, *small = c->small_probability;
    if (!_kv_discrete_probabilities(c))
        return _kv_set_error_code(kv_error_usage);
    if (c->compressed_index) // no slices: the zeros against evidence are stored
        return compressed_multiply(c, assign);
    if (int status = _kv_allocate_control_tables(c))
        return status;
    kv::Plan p;
    if (!kv::slice_plan(big, small, state, p) && _kv_may_split(big))
        return assign ? _kv_assign(c) : _kv_combine(c);
    // Every entry on its own: any split of the outermost dimension will do.
    struct Share {
        const kv::Plan *plan;
        double *big;
        const double *small;
        bool assign;
    } share{&p, big->discrete_data, small->discrete_data, assign};
    size_t count = p.n ? p.dims[0].count : 1;
    _kv_run_ranges(c->domain, count, kv::plan_work(p) / count, [](size_t b, size_t e, void *x) {
        const Share &s = *static_cast<const Share *>(x);
        kv::Plan part = kv::plan_share(*s.plan, b, e);
        if (s.assign)
            multiply_plan<true>(s.big, s.small, part);
        else
            multiply_plan<false>(s.big, s.small, part);
    }, &share);
    return _kv_set_error_code(kv_error_none);
}

int _kv_control_divide(kv_control_s *c)
{
    if (c->domain->is_compressed)
        return _kv_set_error_code(kv_error_compressed);
    if (!c->big_probability || !c->small_probability)
        return _kv_set_error_code(kv_error_usage);
    if (int status = _kv_allocate_control_tables(c))
        return status;
    _kv_setup_alternative_control_normal(c, 0);
    int status = _kv_do_table_operation(c, discrete_divide_task,
                                        c->small_probability->discrete_data, nullptr, 0, 0, nullptr, true);
    _kv_reset_alternative_control(c);
    return status;
}

// A fresh control for a big and a small table, each placed in the
// probability or utility slot of its pair by its type.
kv_control_s *_kv_control_for_tables(kv_table_s *big, kv_table_s *small)
{
    if (!big || !small || (big->type == KV_UTILITY) != (small->type == KV_UTILITY)) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    if (big->type == KV_UTILITY)
        return _kv_create_control(nullptr, big, nullptr, small);
    return _kv_create_control(big, nullptr, small, nullptr);
}

int _kv_combine_tables(kv_table_s *big, kv_table_s *small)
{
    return _kv_with_control(big, small, nullptr, _kv_combine);
}

int _kv_combine_tables_using_control(kv_table_s *big, kv_table_s *small, kv_control_s *model)
{
    return _kv_with_control(big, small, model, _kv_combine);
}

int _kv_divide_tables(kv_table_s *big, kv_table_s *small)
{
    if (!big || !small || big->type != KV_PROBABILITY || small->type != KV_PROBABILITY)
        return _kv_set_error_code(kv_error_usage);
    return _kv_with_control(big, small, nullptr, _kv_control_divide);
}
