// Approximation of a compiled network of chance nodes: the smallest entries
// of every clique table are set to zero, with less than epsilon of the
// probability mass removed per clique, and the trees propagated again.
#include <cmath>

#include "compile/compile.h"
#include "core/api.h"
#include "inference/propagate.h"
#include "table/table.h"

namespace {

bool only_chance_nodes(const kv_domain_s *d)
{
    for (const kv_node_s *n = d->first_node; n; n = n->next)
        if (n->category != kv_category_chance)
            return false;
    return true;
}

long double sum_of_elements_less_than_delta(const double *x, size_t n, double delta)
{
    long double sum = 0.0L;
    for (size_t i = 0; i < n; ++i)
        if (x[i] < delta)
            sum += x[i];
    return sum;
}

// The largest epsilon / 2^k, k >= 1, below which the entries sum to less
// than epsilon.
double calculate_delta(const double *x, size_t n, double epsilon)
{
    double delta = epsilon / 2.0;
    while (!(sum_of_elements_less_than_delta(x, n, delta) < epsilon))
        delta /= 2.0;
    return delta;
}

void approximate_table(kv_table_s *t, double epsilon)
{
    double *x = t->discrete_data;
    double delta = calculate_delta(x, t->size, epsilon);
    for (size_t i = 0; i < t->size; ++i)
        if (x[i] < delta)
            x[i] = 0.0;
}

} // namespace

kv_number_t kv_domain_approximate(kv_domain_t d, kv_number_t epsilon)
{
    if (_kv_set_error_code(!d || !only_chance_nodes(d) || !(epsilon > 0.0)))
        return -1.0;
    if (!d->is_compiled) {
        _kv_set_error_code(kv_error_not_compiled);
        return -1.0;
    }
    // Freshly propagated: no evidence waiting, sum equilibrium, normal mode.
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (kv_jt_evidence_to_propagate(jt) || jt->tables_to_propagate ||
            jt->equilibrium != kv_equilibrium_sum || jt->evidence_mode != kv_mode_normal) {
            _kv_set_error_code(kv_error_usage);
            return -1.0;
        }
    int status = kv::guard_status([&]() -> int {
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
            _kv_jt_expose_tables(jt);
            jt->tables.approximated = 1;
        }
        for (kv_clique_s *c = d->first_clique; c; c = c->next)
            approximate_table(c->probability_table, epsilon);
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
            double before = jt->normalization_constant;
            if (int s = _kv_jt_propagate_changed_tables(jt))
                return s;
            jt->approximation_constant *= jt->normalization_constant / before;
        }
        return kv_error_none;
    });
    if (status)
        return -1.0;
    return kv_domain_get_approximation_constant(d);
}

kv_number_t kv_domain_get_approximation_constant(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    if (!d->is_compiled) {
        _kv_set_error_code(kv_error_not_compiled);
        return -1.0;
    }
    double product = 1.0;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        product *= jt->approximation_constant;
    return product;
}

kv_boolean_t kv_domain_is_compressed(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1;
    return d->is_compressed ? 1 : 0;
}
