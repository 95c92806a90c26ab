// Sequential adaptation: the tables of nodes with experience tables are
// updated from the propagated evidence, one piece of evidence at a time,
// with old experience faded by the fading tables.  Complements (1 - x) are
// formed from sums of the other terms where that is the more accurate, so
// that rows near 0 and 1 keep their digits.
#include <cmath>
#include <vector>

#include "compile/compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "learn.h"
#include "table/table.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

// Updates row theta (k entries, stride apart) and its experience count n
// from the evidence row q with mass s and the mass c outside the row.
void adapt_row(double *theta, size_t stride, size_t k, const double *q, double &n, double lambda, double s,
               double c, Vec<double> &old)
{
    old.resize(k);
    for (size_t i = 0; i < k; ++i)
        old[i] = theta[i * stride];
    double q_sum = 0;
    for (size_t i = 0; i < k; ++i)
        q_sum += q[i];
    double m = (s * lambda + c) * n, D = m + 1;
    double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
    for (size_t i = 0; i < k; ++i) {
        double t = old[i];
        double a = c * t + q[i];
        double t_new = (m * t + a) / D;
        theta[i * stride] = t_new;
        double others = 0;
        for (size_t j = 0; j < k; ++j)
            if (j != i)
                others += old[j];
        double b = t <= 0.5 ? 1 - t : others;
        double r = s - q[i];
        if (r < q[i])
            r = q_sum - q[i];
        double d = a <= 0.5 ? 1 - a : c * b + r;
        double e = t_new <= 0.5 ? 1 - t_new : (m * b + d) / D;
        s1 += e * t_new;
        s2 += a * d;
        s3 += t_new * b;
        s4 += t * d;
    }
    double T = s1 + s2 / D;
    if (T > 0)
        n = m * (s3 + s4 / D) / T;
}

int adapt_node(kv_domain_s *d, kv_node_s *n, Vec<double> &old)
{
    kv_table_s *t = _kv_node_get_table(n);
    kv_table_s *x = n->experience_table;
    if (!t || (!t->discrete_data && _kv_allocate_data_arrays(t)) ||
        (!x->discrete_data && _kv_allocate_data_arrays(x)))
        return kv_error_code();
    const double *fading = n->fading_table ? n->fading_table->discrete_data : nullptr;
    size_t k = n->number_of_states, own = 1, stride = 1;
    for (size_t i = t->discrete_count; i-- > 0;) {
        if (t->nodes[i] == n)
            own = stride;
        stride *= t->nodes[i]->number_of_states;
    }
    auto base_of = [&](size_t j) { return (j / own) * own * k + j % own; };
    auto usable = [&](size_t j, double &lambda) {
        lambda = fading ? fading[j] : 1.0;
        double count = x->discrete_data[j];
        return count > 0 && std::isfinite(count) && lambda > 0 && lambda <= 1;
    };
    bool adapted = false;
    // The parents' configuration, when the evidence fixes it.
    size_t j = 0;
    bool fixed = true;
    for (size_t i = 0; i < t->discrete_count && fixed; ++i) {
        kv_node_s *m = t->nodes[i];
        if (m == n)
            continue;
        long s = _kv_node_propagated_state(m);
        fixed = s >= 0;
        j = j * m->number_of_states + size_t(s >= 0 ? s : 0);
    }
    if (fixed) {
        double lambda;
        if (usable(j, lambda)) {
            Vec<double> q(k);
            for (size_t s = 0; s < k; ++s)
                q[s] = kv_node_get_belief(n, s);
            adapt_row(t->discrete_data + base_of(j), own, k, q.data(), x->discrete_data[j], lambda, 1, 0, old);
            adapted = true;
        }
    } else {
        Vec<double> joint(t->size);
        if (int s = _kv_family_marginal(d, t, joint.data()))
            return s;
        double total = 0;
        for (double v : joint)
            total += v;
        Vec<double> q(k);
        size_t rows = t->size / k;
        for (size_t row = 0; row < rows; ++row) {
            double lambda;
            if (!usable(row, lambda))
                continue;
            size_t base = base_of(row);
            double s = 0;
            for (size_t i = 0; i < k; ++i) {
                q[i] = joint[base + i * own];
                s += q[i];
            }
            if (!(s > 0))
                continue;
            double c = s <= 0.5 ? 1 - s : total - s;
            adapt_row(t->discrete_data + base, own, k, q.data(), x->discrete_data[row], lambda, s, c, old);
            adapted = true;
        }
    }
    if (adapted)
        kv_node_touch_table(n);
    return kv_error_none;
}

} // namespace

int _kv_family_marginal(kv_domain_s *d, const kv_table_s *t, double *out)
{
    Vec<kv_node_s *> family(t->nodes, t->nodes + t->discrete_count);
    family.push_back(nullptr);
    kv_table_s *m = kv_domain_get_marginal(d, family.data());
    if (!m)
        return kv_error_code();
    // The marginal's stride of each node of t, then t's entries in order.
    size_t count = t->discrete_count;
    Vec<size_t> stride(count, 0);
    size_t s = 1;
    for (size_t k = m->discrete_count; k-- > 0;) {
        for (size_t j = 0; j < count; ++j)
            if (t->nodes[j] == m->nodes[k])
                stride[j] = s;
        s *= m->nodes[k]->number_of_states;
    }
    Vec<size_t> state(count, 0);
    for (size_t idx = 0; idx < t->size; ++idx) {
        size_t at = 0;
        for (size_t j = 0; j < count; ++j)
            at += state[j] * stride[j];
        out[idx] = m->discrete_data[at];
        for (size_t j = count; j-- > 0;) {
            if (++state[j] < t->nodes[j]->number_of_states)
                break;
            state[j] = 0;
        }
    }
    kv_table_delete(m);
    return kv_error_none;
}

long _kv_node_propagated_state(const kv_node_s *n)
{
    // Every write of an evidence table keeps entered_state.
    if (n->home->is_compiled && n->evidence_table)
        return n->entered_state;
    const double *e = n->evidence_table ? n->evidence_table->discrete_data : nullptr;
    if (!e)
        return n->number_of_states == 1 ? 0 : -1;
    long found = -1;
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (e[s] > 0) {
            if (found >= 0)
                return -1;
            found = long(s);
        }
    return found;
}

bool _kv_table_is_finite(const kv_table_s *t)
{
    for (size_t i = 0; t && t->discrete_data && i < t->size; ++i)
        if (!std::isfinite(t->discrete_data[i]))
            return false;
    return true;
}

int _kv_node_adapt(kv_node_s *n)
{
    if (!n->experience_table || n->category != kv_category_chance || n->kind != kv_kind_discrete)
        return kv_error_none;
    Vec<double> old;
    return adapt_node(n->home, n, old);
}

kv_status_t kv_domain_adapt(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled);
    if (d->is_compressed) // family marginals read clique entries by configuration
        return _kv_set_error_code(kv_error_compressed);
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (jt->tables_to_propagate || jt->evidence_to_propagate || jt->equilibrium != kv_equilibrium_sum ||
            jt->evidence_mode != kv_mode_normal)
            return _kv_set_error_code(kv_error_usage);
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (!_kv_table_is_finite(n->experience_table) || !_kv_table_is_finite(n->fading_table))
            return _kv_set_error_code(kv_error_usage);
    return kv::guard_status([&] {
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (int s = _kv_node_adapt(n))
                return s;
        return _kv_set_error_code(kv_error_none);
    });
}
