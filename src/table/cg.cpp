// Operations on the conditional-Gaussian parts of tables.
//
// Per discrete configuration a CG part describes its head nodes as a joint
// Gaussian conditional on its tail nodes: the mean slot of a head holds its
// intercept, the covariance slot of two heads their conditional covariance,
// and the covariance slot of a head with a tail the head's regression
// coefficient on that tail.  Tails carry no numbers of their own; absent
// nodes carry none at all.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/error.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "kernels.h"
#include "operations.h"

using kv::Dim;

static constexpr size_t npos = static_cast<size_t>(-1);

static inline double &cov(double *block, size_t j, size_t k)
{
    return block[_kv_cg_cov_offset(j, k)];
}

static inline double &mean(double *block, size_t k)
{
    return block[_kv_cg_mean_offset(k)];
}

// ---------------------------------------------------------------------------
// Complement: conditioning the other heads on head k turns k into a tail.

int _kv_table_complement(kv_table_s *t, size_t k)
{
    size_t q = t->continuous_count;
    if (k >= q || !t->continuous_roles)
        return _kv_set_error_code(kv_error_usage);
    signed char *roles = t->continuous_roles;
    if (t->cg_data && t->size != SIZE_MAX) {
        // cov(i, k) as it was before this configuration's updates.
        double column[kv::max_dims * 8];
        double *col = q <= sizeof column / sizeof *column ? column : kv::allocate_array<double>(q);
        if (!col)
            return kv_error_no_memory;
        int status = kv_error_none;
        for (size_t i = 0; i < t->size && !status; ++i) {
            double *b = t->cg_data + i * t->cg_size;
            double v = cov(b, k, k);
            double r = v > DBL_MIN ? 1.0 / v : 0.0;
            for (size_t j = 0; j < q; ++j)
                col[j] = cov(b, j, k);
            for (size_t j = 0; j < q && !status; ++j) {
                if (j == k || roles[j] >= KV_TAIL)
                    continue;
                double beta = col[j] * r;
                cov(b, j, k) = beta;
                mean(b, j) -= beta * mean(b, k);
                for (size_t l = 0; l < q; ++l)
                    if (roles[l] == KV_TAIL)
                        cov(b, j, l) -= beta * cov(b, l, k);
                for (size_t h = 0; h < j; ++h)
                    if (h != k && roles[h] < KV_TAIL)
                        cov(b, j, h) -= beta * col[h];
                double subtracted = beta * col[j];
                double variance = cov(b, j, j) - subtracted;
                if (variance < 0.0) {
                    if (-variance < 1e-10 * std::fabs(subtracted))
                        variance = 0.0;
                    else
                        status = kv_error_rounding;
                }
                cov(b, j, j) = variance;
            }
            if (status)
                break;
            mean(b, k) = 0.0;
            cov(b, k, k) = 0.0;
            for (size_t l = 0; l < q; ++l)
                if (roles[l] == KV_TAIL)
                    cov(b, k, l) = 0.0;
        }
        if (col != column)
            std::free(col);
        if (status)
            return _kv_set_error_code(status);
    }
    roles[k] = KV_TAIL;
    return _kv_set_error_code(kv_error_none);
}

int _kv_cg_form_complement(kv_control_s *c)
{
    kv_table_s *big = _kv_control_big(c), *small = _kv_control_small(c);
    if (!small->continuous_roles || !big->continuous_roles)
        return kv_error_none;
    for (size_t k = 0; k < small->continuous_count; ++k)
        if (big->continuous_roles[c->continuous_map[k]] == KV_TAIL &&
            small->continuous_roles[k] == KV_HEAD)
            if (int status = _kv_table_complement(small, k))
                return status;
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Combination.  Two CG potentials whose heads are disjoint combine by the
// chain rule when at most one of them is conditional on heads of the other:
// with A conditional on the heads L of M,
//   x_A = m_A + B_AL x_L + B_AR r + e_A,   x_M = m_M + B_M t + e_M,
// the joint has mean m_A + B_AL m_L for A, covariances B_AL S_M between A
// and M, S_A + B_AL S_LL B_AL' within A, and regression coefficients
// B_AR + B_AL B_Lt on the remaining tails.  Heads given by both potentials
// are first complemented in the small one, so that its other heads become
// conditional on them.

namespace {

struct CombinePlan {
    size_t q;               // big continuous count
    signed char *a_role;    // roles of A and M in big numbering
    signed char *m_role;
    size_t *a_index, *m_index;
    bool a_is_big;
    signed char *final_role;
};

} // namespace

static void combine_block(const CombinePlan &p, double *out, const double *old_big,
                          const double *small)
{
    size_t q = p.q;
    const double *a_src = p.a_is_big ? old_big : small;
    const double *m_src = p.a_is_big ? small : old_big;
    auto a_val = [&](size_t i, size_t j) { return a_src[_kv_cg_cov_offset(p.a_index[i], p.a_index[j])]; };
    auto m_val = [&](size_t i, size_t j) { return m_src[_kv_cg_cov_offset(p.m_index[i], p.m_index[j])]; };
    auto a_mean = [&](size_t i) { return a_src[_kv_cg_mean_offset(p.a_index[i])]; };
    auto m_mean = [&](size_t i) { return m_src[_kv_cg_mean_offset(p.m_index[i])]; };
    auto is_link = [&](size_t l) { return p.a_role[l] == KV_TAIL && p.m_role[l] == KV_HEAD; };

    for (size_t a = 0; a < q; ++a) {
        if (p.final_role[a] == KV_ABSENT)
            continue;
        double *o = out;
        if (p.final_role[a] == KV_TAIL) {
            mean(o, a) = 0.0;
            for (size_t b = 0; b <= a; ++b)
                if (p.final_role[b] == KV_TAIL)
                    cov(o, a, b) = 0.0;
            continue;
        }
        bool in_a = p.a_role[a] == KV_HEAD;
        if (!in_a) {
            mean(o, a) = m_mean(a);
        } else {
            double m = a_mean(a);
            for (size_t l = 0; l < q; ++l)
                if (is_link(l))
                    m += a_val(a, l) * m_mean(l);
            mean(o, a) = m;
        }
        for (size_t b = 0; b < q; ++b) {
            if (p.final_role[b] == KV_ABSENT || (p.final_role[b] == KV_HEAD && b > a))
                continue;
            double v = 0.0;
            if (p.final_role[b] == KV_TAIL) {
                // regression coefficient of head a on tail b
                if (!in_a) {
                    v = p.m_role[b] == KV_TAIL ? m_val(a, b) : 0.0;
                } else {
                    v = p.a_role[b] == KV_TAIL ? a_val(a, b) : 0.0;
                    if (p.m_role[b] == KV_TAIL)
                        for (size_t l = 0; l < q; ++l)
                            if (is_link(l))
                                v += a_val(a, l) * m_val(l, b);
                }
            } else {
                bool b_in_a = p.a_role[b] == KV_HEAD;
                if (!in_a && !b_in_a) {
                    v = m_val(a, b);
                } else if (in_a != b_in_a) {
                    size_t x = in_a ? a : b, y = in_a ? b : a; // x in A, y in M
                    for (size_t l = 0; l < q; ++l)
                        if (is_link(l))
                            v += a_val(x, l) * m_val(l, y);
                } else {
                    v = a_val(a, b);
                    for (size_t l = 0; l < q; ++l)
                        if (is_link(l)) {
                            double inner = 0.0;
                            for (size_t l2 = 0; l2 < q; ++l2)
                                if (is_link(l2))
                                    inner += m_val(l, l2) * a_val(b, l2);
                            v += a_val(a, l) * inner;
                        }
                }
            }
            cov(o, a, b) = v;
        }
    }
}

namespace {
struct CombineContext {
    CombinePlan plan;
    const kv_table_s *small; // the (possibly complemented) small table
    size_t big_cg, small_cg;
};
} // namespace

// Calls f(b, s) for each configuration b of the task's share of the big
// table, with s its configuration in the small table.
template <class F> static void each_configuration(kv_task_s *t, F &&f)
{
    kv::Plan p;
    kv::big_order_plan(t, p);
    kv::walk_big_order(p, [&](size_t bo, size_t so, const Dim &mid, const Dim &in) {
        for (size_t j = 0; j < mid.count; ++j)
            for (size_t i = 0; i < in.count; ++i)
                f(bo + j * mid.big + i * in.big, so + j * mid.small + i * in.small);
    });
}

static void cg_combine_task(kv_task_s *t)
{
    const CombineContext &ctx = *static_cast<const CombineContext *>(t->context);
    double *old = t->scratch;
    const double *small = ctx.small->cg_data + t->small_first * ctx.small_cg;
    each_configuration(t, [&](size_t b, size_t s) {
        double *block = t->big_cg + b * ctx.big_cg;
        std::memcpy(old, block, ctx.big_cg * sizeof(double));
        combine_block(ctx.plan, block, old, small + s * ctx.small_cg);
    });
}

// The small table's CG part in the big table's shape: per big
// configuration the block of its small configuration, in big numbering.
namespace {
struct LiftContext {
    const kv_table_s *small, *lifted;
    const size_t *map;
};
} // namespace

static void lift_task(kv_task_s *t)
{
    const LiftContext &ctx = *static_cast<const LiftContext *>(t->context);
    const kv_table_s *small = ctx.small;
    size_t qs = small->continuous_count, big_cg = ctx.lifted->cg_size;
    const double *small_cg = small->cg_data + t->small_first * small->cg_size;
    double *lifted_cg = ctx.lifted->cg_data + (t->control->base_offset + t->big_first) * big_cg;
    each_configuration(t, [&](size_t b, size_t s) {
        const double *from = small_cg + s * small->cg_size;
        double *to = lifted_cg + b * big_cg;
        for (size_t k = 0; k < qs; ++k) {
            to[_kv_cg_mean_offset(ctx.map[k])] = from[_kv_cg_mean_offset(k)];
            for (size_t l = 0; l <= k; ++l)
                cov(to, ctx.map[k], ctx.map[l]) = from[_kv_cg_cov_offset(l, k)];
        }
    });
}

static kv_table_s *lift(kv_control_s *c, const kv_table_s *small)
{
    kv_table_s *big = c->big_probability;
    kv_table_s *lifted = _kv_clone_table(big);
    if (!lifted)
        return nullptr;
    std::memset(lifted->cg_data, 0, big->size * big->cg_size * sizeof(double));
    std::memset(lifted->continuous_roles, KV_ABSENT, big->continuous_count);
    for (size_t k = 0; k < small->continuous_count; ++k)
        lifted->continuous_roles[c->continuous_map[k]] = small->continuous_roles[k];
    LiftContext ctx{small, lifted, c->continuous_map};
    _kv_setup_alternative_control_normal(c, 0);
    int status = _kv_do_table_operation(c, lift_task, nullptr, nullptr, 0, big->cg_size, &ctx);
    _kv_reset_alternative_control(c);
    if (status) {
        _kv_free_table(lifted);
        _kv_set_error_code(status);
        return nullptr;
    }
    return lifted;
}

using Flags = std::vector<char, kv::ScratchAlloc<char>>;

// Whether a needs a head of b: a tail of a that is a head of b.
static bool needs(const kv_table_s *a, const kv_table_s *b)
{
    for (size_t m = 0; m < a->continuous_count; ++m)
        if (a->continuous_roles[m] == KV_TAIL && b->continuous_roles[m] == KV_HEAD)
            return true;
    return false;
}

// The heads of a whose regression on every head of b that a holds as a
// tail is zero in every configuration: their distribution does not depend
// on b.  Marked in loose (by member); false when there are none.
static bool heads_free_of(const kv_table_s *a, const kv_table_s *b, Flags &loose)
{
    size_t q = a->continuous_count;
    const signed char *ra = a->continuous_roles, *rb = b->continuous_roles;
    bool any = false;
    for (size_t x = 0; x < q; ++x) {
        loose[x] = ra[x] == KV_HEAD;
        for (size_t y = 0; y < q && loose[x]; ++y)
            if (ra[y] == KV_TAIL && rb[y] == KV_HEAD)
                for (size_t i = 0; i < a->size && loose[x]; ++i)
                    loose[x] = a->cg_data[i * a->cg_size + _kv_cg_cov_offset(x, y)] == 0.0;
        any = any || loose[x];
    }
    return any;
}

// Moves the heads of from marked in loose over to into: into takes their
// marginal (which needs nothing of into's heads) and from keeps the
// distribution of its other heads given them.
static int peel(kv_table_s *from, kv_table_s *into, const Flags &loose)
{
    size_t q = from->continuous_count;
    kv_table_s *piece = _kv_clone_table(from);
    if (!piece)
        return kv_error_no_memory;
    for (size_t m = 0; m < q; ++m) {
        signed char &role = piece->continuous_roles[m];
        if ((role == KV_HEAD && !loose[m]) || (role == KV_TAIL && into->continuous_roles[m] == KV_HEAD))
            role = KV_ABSENT;
    }
    int status = _kv_cg_combine_tables(into, piece);
    _kv_free_table(piece);
    for (size_t m = 0; m < q && !status; ++m)
        if (loose[m])
            status = _kv_table_complement(from, m);
    return status;
}

// Each potential needs heads of the other.  Heads of either side that do
// not depend on the other side pass over to it, the side they leave keeping
// its other heads given them, until one side needs nothing of the other:
// then the chain rule joins them.  With nothing left to pass over the two
// depend on each other and cannot be joined.
static int combine_both_ways(kv_control_s *c, const kv_table_s *small)
{
    kv_table_s *big = c->big_probability;
    kv_table_s *a = _kv_clone_table(big);
    kv_table_s *b = a ? lift(c, small) : nullptr;
    int status = b ? kv_error_none : kv_error_no_memory;
    Flags loose(big->continuous_count);
    while (!status && needs(a, b) && needs(b, a)) {
        if (heads_free_of(a, b, loose))
            status = peel(a, b, loose);
        else if (heads_free_of(b, a, loose))
            status = peel(b, a, loose);
        else
            status = _kv_set_error_code(kv_error_usage); // no chain joins the two
    }
    if (!status)
        status = _kv_cg_combine_tables(a, b);
    if (!status) {
        std::memcpy(big->cg_data, a->cg_data, big->size * big->cg_size * sizeof(double));
        std::memcpy(big->continuous_roles, a->continuous_roles, big->continuous_count);
    }
    _kv_free_table(a);
    _kv_free_table(b);
    return status ? status : _kv_set_error_code(kv_error_none);
}

// A compressed control of potentials that each need heads of the other:
// the exchange of heads runs on whole copies, and the big table keeps its
// stored entries of the result.
static int combine_whole(kv_control_s *c, const kv_table_s *work)
{
    kv_table_s *big = c->big_probability, *small = c->small_probability;
    kv_table_s *a = _kv_whole_copy(big, big->kept_configurations);
    kv_table_s *b = a ? _kv_whole_copy(work, small->compressed ? small->kept_configurations : nullptr) : nullptr;
    int status = b ? _kv_cg_combine_tables(a, b) : kv_error_no_memory;
    if (!status)
        _kv_store_kept(big, a);
    _kv_free_table(a);
    _kv_free_table(b);
    return status ? status : _kv_set_error_code(kv_error_none);
}

int _kv_cg_combine(kv_control_s *c)
{
    kv_table_s *big = c->big_probability, *small = c->small_probability;
    if (!big || !small || !small->continuous_count)
        return kv_error_none;
    if (_kv_allocate_data_arrays(big) || _kv_allocate_data_arrays(small))
        return kv_error_no_memory;
    size_t q = big->continuous_count, qs = small->continuous_count;
    const size_t *map = c->continuous_map;

    // Heads given by both potentials: complement them in a copy of the small
    // table so that the small table's other heads become conditional on them.
    kv_table_s *work = small;
    for (size_t k = 0; k < qs; ++k)
        if (small->continuous_roles[k] == KV_HEAD &&
            big->continuous_roles[map[k]] == KV_HEAD) {
            if (work == small) {
                work = _kv_clone_table(small);
                if (!work)
                    return kv_error_no_memory;
            }
            if (int status = _kv_table_complement(work, k)) {
                _kv_free_table(work);
                return status;
            }
        }

    // Roles of both sides in big numbering; then which side is conditional.
    signed char *roles = kv::allocate_array<signed char>(_kv_size_multiply(3, q));
    size_t *indices = kv::allocate_array<size_t>(_kv_size_multiply(2, q));
    if (!roles || !indices) {
        std::free(roles);
        std::free(indices);
        if (work != small)
            _kv_free_table(work);
        return kv_error_no_memory;
    }
    signed char *big_role = roles, *small_role = roles + q, *final_role = roles + 2 * q;
    size_t *big_index = indices, *small_index = indices + q;
    for (size_t m = 0; m < q; ++m) {
        big_role[m] = big->continuous_roles[m];
        big_index[m] = m;
        small_role[m] = KV_ABSENT;
        small_index[m] = npos;
    }
    for (size_t k = 0; k < qs; ++k) {
        small_role[map[k]] = work->continuous_roles[k];
        small_index[map[k]] = k;
    }
    bool big_needs_small = false, small_needs_big = false;
    for (size_t m = 0; m < q; ++m) {
        big_needs_small |= big_role[m] == KV_TAIL && small_role[m] == KV_HEAD;
        small_needs_big |= small_role[m] == KV_TAIL && big_role[m] == KV_HEAD;
    }
    int status = kv_error_none;
    if (big_needs_small && small_needs_big) {
        status = c->compressed_index ? combine_whole(c, work) : combine_both_ways(c, work);
    } else {
        CombineContext ctx;
        ctx.plan.q = q;
        ctx.plan.a_is_big = big_needs_small;
        ctx.plan.a_role = big_needs_small ? big_role : small_role;
        ctx.plan.m_role = big_needs_small ? small_role : big_role;
        ctx.plan.a_index = big_needs_small ? big_index : small_index;
        ctx.plan.m_index = big_needs_small ? small_index : big_index;
        ctx.plan.final_role = final_role;
        for (size_t m = 0; m < q; ++m) {
            if (big_role[m] == KV_HEAD || small_role[m] == KV_HEAD)
                final_role[m] = KV_HEAD;
            else if (big_role[m] == KV_TAIL || small_role[m] == KV_TAIL)
                final_role[m] = KV_TAIL;
            else
                final_role[m] = KV_ABSENT;
        }
        ctx.small = work;
        ctx.big_cg = big->cg_size;
        ctx.small_cg = work->cg_size;
        if (c->compressed_index) {
            // Each stored big entry with the small entry the index names.
            const uint16_t *index = c->compressed_index;
            double *old = kv::allocate_array<double>(big->cg_size ? big->cg_size : 1);
            status = old ? kv_error_none : kv_error_no_memory;
            for (size_t b = 0; old && b < big->size; ++b) {
                double *block = big->cg_data + b * ctx.big_cg;
                std::memcpy(old, block, ctx.big_cg * sizeof(double));
                combine_block(ctx.plan, block, old, work->cg_data + index[b] * ctx.small_cg);
            }
            std::free(old);
        } else {
            _kv_setup_alternative_control_normal(c, 0);
            status = _kv_do_table_operation(c, cg_combine_task, nullptr, nullptr, big->cg_size,
                                            big->cg_size, &ctx);
            _kv_reset_alternative_control(c);
        }
        if (!status)
            std::memcpy(big->continuous_roles, final_role, q);
    }
    std::free(roles);
    std::free(indices);
    if (work != small)
        _kv_free_table(work);
    return status;
}

int _kv_cg_combine_tables(kv_table_s *big, kv_table_s *small)
{
    return _kv_with_control(big, small, nullptr, _kv_cg_combine);
}

// ---------------------------------------------------------------------------
// Marginalization of CG parts.

namespace {
struct MargContext {
    const kv_table_s *big, *small;
    const size_t *map;
};
} // namespace

// Copies the small table's heads (means, covariances, regressions on its
// tails) from one big configuration.
static void copy_components(const MargContext &m, const double *from, double *to)
{
    const signed char *roles = m.small->continuous_roles;
    for (size_t k = 0; k < m.small->continuous_count; ++k) {
        if (roles[k] != KV_HEAD)
            continue;
        size_t bk = m.map[k];
        to[_kv_cg_mean_offset(k)] = from[_kv_cg_mean_offset(bk)];
        for (size_t j = 0; j < m.small->continuous_count; ++j)
            if (roles[j] == KV_TAIL || (roles[j] == KV_HEAD && j <= k))
                to[_kv_cg_cov_offset(j, k)] = from[_kv_cg_cov_offset(m.map[j], bk)];
    }
}

static void strong_cg_marg_task(kv_task_s *t)
{
    const MargContext &m = *static_cast<const MargContext *>(t->context);
    size_t bc = m.big->cg_size, sc = m.small->cg_size;
    kv::walk_small_major(t, [&](size_t bo, size_t s) {
        copy_components(m, t->big_cg + bo * bc, t->small_cg + s * sc);
    });
}

// Moment matching: the mixture over the collapsed configurations becomes one
// Gaussian with the same mean and covariance.  Regression coefficients of
// heads on tails are averaged with the same weights.  Phase 1 adds the
// weighted means (and regressions) of each big configuration into its small
// block and divides by the block's total weight; phase 2 adds the weighted
// covariances plus the spread of the means, and divides again.
static void add_means(const MargContext &m, const double *x, double w, double *sum)
{
    const signed char *roles = m.small->continuous_roles;
    size_t q = m.small->continuous_count;
    for (size_t k = 0; k < q; ++k) {
        if (roles[k] != KV_HEAD)
            continue;
        sum[_kv_cg_mean_offset(k)] += w * x[_kv_cg_mean_offset(m.map[k])];
        for (size_t j = 0; j < q; ++j)
            if (roles[j] == KV_TAIL)
                sum[_kv_cg_cov_offset(j, k)] += w * x[_kv_cg_cov_offset(m.map[j], m.map[k])];
    }
}

static void divide_means(const MargContext &m, double *out, double total)
{
    const signed char *roles = m.small->continuous_roles;
    size_t q = m.small->continuous_count;
    for (size_t k = 0; k < q; ++k) {
        if (roles[k] != KV_HEAD)
            continue;
        out[_kv_cg_mean_offset(k)] /= total;
        for (size_t j = 0; j < q; ++j)
            if (roles[j] == KV_TAIL)
                out[_kv_cg_cov_offset(j, k)] /= total;
    }
}

static void add_covariances(const MargContext &m, const double *x, double w, double *out, double *deviation)
{
    const signed char *roles = m.small->continuous_roles;
    size_t q = m.small->continuous_count;
    for (size_t k = 0; k < q; ++k)
        if (roles[k] == KV_HEAD)
            deviation[k] = x[_kv_cg_mean_offset(m.map[k])] - out[_kv_cg_mean_offset(k)];
    for (size_t k = 0; k < q; ++k) {
        if (roles[k] != KV_HEAD)
            continue;
        for (size_t j = 0; j <= k; ++j)
            if (roles[j] == KV_HEAD)
                out[_kv_cg_cov_offset(j, k)] +=
                    w * (x[_kv_cg_cov_offset(m.map[j], m.map[k])] + deviation[j] * deviation[k]);
    }
}

static void divide_covariances(const MargContext &m, double *out, double total)
{
    const signed char *roles = m.small->continuous_roles;
    size_t q = m.small->continuous_count;
    for (size_t k = 0; k < q; ++k) {
        if (roles[k] != KV_HEAD)
            continue;
        for (size_t j = 0; j <= k; ++j)
            if (roles[j] == KV_HEAD)
                out[_kv_cg_cov_offset(j, k)] /= total;
    }
}

static void weak_cg_marg_task(kv_task_s *t)
{
    const MargContext &m = *static_cast<const MargContext *>(t->context);
    size_t bc = m.big->cg_size, sc = m.small->cg_size;
    const double *weights = t->big_data;
    double *deviation = t->scratch;
    kv::walk_small_major(t, [&](size_t bo, size_t s) {
        double *out = t->small_cg + s * sc;
        double total = 0.0;
        kv::walk_second(t, bo, [&](size_t b) { total += weights[b]; });
        if (!(total > 0.0))
            return;
        for (size_t i = 0; i < sc; ++i)
            out[i] = 0.0;
        kv::walk_second(t, bo, [&](size_t b) { add_means(m, t->big_cg + b * bc, weights[b], out); });
        divide_means(m, out, total);
        kv::walk_second(t, bo, [&](size_t b) {
            add_covariances(m, t->big_cg + b * bc, weights[b], out, deviation);
        });
        divide_covariances(m, out, total);
    });
}

// A tail on which no head has a regression weight in any configuration
// carries no information: it becomes absent.
static void drop_unnecessary_tails(kv_table_s *t)
{
    size_t q = t->continuous_count;
    for (size_t l = 0; l < q; ++l) {
        if (t->continuous_roles[l] != KV_TAIL)
            continue;
        bool needed = false;
        for (size_t i = 0; i < t->size && !needed; ++i) {
            const double *b = t->cg_data + i * t->cg_size;
            for (size_t k = 0; k < q && !needed; ++k)
                needed = t->continuous_roles[k] == KV_HEAD && b[_kv_cg_cov_offset(k, l)] != 0.0;
        }
        if (!needed)
            t->continuous_roles[l] = KV_ABSENT;
    }
}

// The same moments over the stored entries of a compressed big table, each
// added to the small entry its index names.
static int compressed_cg_marginalize(kv_control_s *c, const MargContext &m)
{
    const kv_table_s *big = m.big, *small = m.small;
    const uint16_t *index = c->compressed_index;
    size_t bc = big->cg_size, sc = small->cg_size, q = small->continuous_count;
    if (c->second_count == 0) {
        for (size_t b = 0; b < big->size; ++b)
            copy_components(m, big->cg_data + b * bc, small->cg_data + index[b] * sc);
        return kv_error_none;
    }
    std::vector<double, kv::ScratchAlloc<double>> total(small->size, 0.0), deviation(q);
    const double *weights = big->discrete_data;
    for (size_t b = 0; b < big->size; ++b)
        total[index[b]] += weights[b];
    for (size_t b = 0; b < big->size; ++b)
        if (total[index[b]] > 0.0)
            add_means(m, big->cg_data + b * bc, weights[b], small->cg_data + index[b] * sc);
    for (size_t s = 0; s < small->size; ++s)
        if (total[s] > 0.0)
            divide_means(m, small->cg_data + s * sc, total[s]);
    for (size_t b = 0; b < big->size; ++b)
        if (total[index[b]] > 0.0)
            add_covariances(m, big->cg_data + b * bc, weights[b], small->cg_data + index[b] * sc,
                            deviation.data());
    for (size_t s = 0; s < small->size; ++s)
        if (total[s] > 0.0)
            divide_covariances(m, small->cg_data + s * sc, total[s]);
    return kv_error_none;
}

int _kv_cg_marginalize(kv_control_s *c)
{
    kv_table_s *big = c->big_probability, *small = c->small_probability;
    size_t q = small->continuous_count;
    for (size_t k = 0; k < q; ++k)
        small->continuous_roles[k] = big->continuous_roles[c->continuous_map[k]];
    std::memset(small->cg_data, 0, small->size * small->cg_size * sizeof(double));
    MargContext m{big, small, c->continuous_map};
    int status = c->compressed_index ? compressed_cg_marginalize(c, m)
                 : c->second_count == 0
                     ? _kv_do_table_operation(c, strong_cg_marg_task, nullptr, nullptr, 0,
                                              small->cg_size, &m)
                     : _kv_do_table_operation(c, weak_cg_marg_task, nullptr, nullptr, q,
                                              small->cg_size, &m);
    if (!status)
        drop_unnecessary_tails(small);
    return status;
}

kv_table_s *_kv_special_marginal(kv_table_s *t, kv_node_s *node)
{
    size_t p = t && node ? _kv_table_node_position(t, node) : npos;
    if (p == npos || p < t->discrete_count) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    if (_kv_allocate_data_arrays(t))
        return nullptr;
    size_t k = p - t->discrete_count;
    kv_node_s **nodes = kv::allocate_array<kv_node_s *>(_kv_size_add(t->discrete_count, 2));
    if (!nodes)
        return nullptr;
    std::memcpy(nodes, t->nodes, t->discrete_count * sizeof *nodes);
    nodes[t->discrete_count] = node;
    nodes[t->discrete_count + 1] = nullptr;
    kv_table_s *r = _kv_create_table(t->domain, nodes, KV_PROBABILITY, KV_ROLE_DERIVED, 0, 1);
    std::free(nodes);
    if (!r)
        return nullptr;
    std::memcpy(r->discrete_data, t->discrete_data, t->size * sizeof(double));
    for (size_t i = 0; i < t->size; ++i) {
        const double *b = t->cg_data + i * t->cg_size;
        r->cg_data[2 * i] = b[_kv_cg_mean_offset(k)];
        r->cg_data[2 * i + 1] = b[_kv_cg_cov_offset(k, k)];
    }
    r->continuous_roles[0] = KV_HEAD;
    return r;
}
