// Reading the results of a propagation: beliefs, expected utilities, means
// and variances, the probability of the evidence, conflicts and joint
// marginals.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "compile/compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "propagate.h"
#include "table/operations.h"

// not_compiled or no_equilibrium for a node's tree, else 0.
static int tree_ready(const kv_node_s *n)
{
    if (!n->home->is_compiled || !n->junction_tree)
        return _kv_set_error_code(kv_error_not_compiled);
    if (n->junction_tree->equilibrium == kv_equilibrium_none)
        return _kv_set_error_code(kv_error_no_equilibrium);
    return kv_error_none;
}

kv_number_t kv_node_get_belief(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!n || n->category != kv_category_chance || n->kind != kv_kind_discrete ||
                           s >= n->number_of_states))
        return -1.0;
    if (tree_ready(n))
        return -1.0;
    return n->belief_table->discrete_data[s];
}

kv_number_t kv_node_get_expected_utility(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!n || n->category != kv_category_decision ||
                           n->kind != kv_kind_discrete || s >= n->number_of_states))
        return -1.0;
    if (tree_ready(n))
        return -1.0;
    if (!n->utility_belief_table)
        return 0.0; // a decision without utilities: every option is worth nothing
    return n->utility_belief_table->discrete_data[s];
}

static bool continuous_chance(const kv_node_s *n)
{
    return n && n->category == kv_category_chance && n->kind == kv_kind_continuous;
}

kv_number_t kv_node_get_mean(kv_node_t n)
{
    if (_kv_set_error_code(!continuous_chance(n)))
        return -1.0;
    if (tree_ready(n))
        return -1.0;
    if (n->value_propagated)
        return n->propagated_value;
    return n->belief_table->cg_data[0];
}

kv_number_t kv_node_get_variance(kv_node_t n)
{
    if (_kv_set_error_code(!continuous_chance(n)))
        return -1.0;
    if (tree_ready(n))
        return -1.0;
    if (n->value_propagated)
        return 0.0;
    return n->belief_table->cg_data[1];
}

kv_number_t kv_domain_get_normalization_constant(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), -1.0;
    double z = 1.0;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        z *= jt->normalization_constant;
    return z;
}

kv_number_t kv_domain_get_log_normalization_constant(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return 1.0;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), 1.0;
    double z = 0.0;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        z += jt->log_normalization_constant;
    return z;
}

kv_number_t kv_jt_get_conflict(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return -1.0;
    if (jt->cg_evidence_propagated)
        return _kv_set_error_code(kv_error_cg_evidence_incorporated), -1.0;
    return jt->conflict;
}

kv_number_t kv_domain_get_conflict(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), -1.0;
    double c = 1.0;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
        if (jt->cg_evidence_propagated)
            return _kv_set_error_code(kv_error_cg_evidence_incorporated), -1.0;
        c *= jt->conflict;
    }
    return c;
}

kv_number_t kv_clique_get_conflict(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return -1.0;
    if (c->junction_tree && c->junction_tree->cg_evidence_propagated)
        return _kv_set_error_code(kv_error_cg_evidence_incorporated), -1.0;
    return c->factor;
}

kv_clique_t kv_node_get_finding_clique(kv_node_t n)
{
    if (_kv_set_error_code(!n || n->kind != kv_kind_discrete ||
                           (n->category != kv_category_chance && n->category != kv_category_decision)))
        return nullptr;
    if (!n->home->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), nullptr;
    return n->finding_clique;
}

// ---------------------------------------------------------------------------
// Joint marginals.

namespace {
template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;
}

static bool marginal_list_ok(kv_domain_s *d, kv_node_s *const *nodes)
{
    if (!_kv_nodes_are_distinct(d, nodes))
        return false;
    bool continuous = false;
    for (kv_node_s *const *n = nodes; *n; ++n) {
        if ((*n)->category != kv_category_chance)
            return false;
        if ((*n)->kind == kv_kind_continuous)
            continuous = true;
        else if (continuous)
            return false;
    }
    return true;
}

// Keeps the cliques of the tree needed for the nodes: leaves whose wanted
// nodes all lie in their neighbour toward the rest are dropped, repeatedly.
static void prune(kv_junction_tree_s *jt, Vec<kv_clique_s *> &keep, kv_node_s *const *nodes)
{
    for (kv_clique_s **c = jt->cliques; *c; ++c)
        keep.push_back(*c);
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t i = 0; i < keep.size(); ++i) {
            kv_clique_s *c = keep[i];
            kv_clique_s *only = nullptr;
            size_t links = 0;
            for (kv_neighbor_s *b = c->neighbors; b; b = b->next)
                if (std::find(keep.begin(), keep.end(), b->clique) != keep.end()) {
                    ++links;
                    only = b->clique;
                }
            if (links != 1)
                continue;
            bool dispensable = true;
            for (kv_node_s *const *n = nodes; *n && dispensable; ++n)
                if (_kv_node_in_list(c->probability_table->nodes, *n) &&
                    !_kv_node_in_list(only->probability_table->nodes, *n))
                    dispensable = false;
            if (dispensable) {
                keep.erase(keep.begin() + long(i));
                changed = true;
                break;
            }
        }
    }
}

static kv_table_s *joint_marginal(kv_junction_tree_s *jt, kv_node_s *const *nodes, int eq, int mode)
{
    kv_domain_s *d = jt->domain;
    for (kv_clique_s **c = jt->cliques; *c; ++c)
        if (_kv_subset_of_clique(nodes, *c))
            return _kv_table_get_marginal((*c)->probability_table, nodes, eq, mode, 0);
    Vec<kv_clique_s *> keep;
    prune(jt, keep, nodes);
    // The joint over the kept cliques: their product divided by the
    // separators between them, grown outward from the first.
    Vec<kv_node_s *> all;
    for (kv_clique_s *c : keep)
        for (kv_node_s **n = c->probability_table->nodes; *n; ++n)
            if (std::find(all.begin(), all.end(), *n) == all.end())
                all.push_back(*n);
    all.push_back(nullptr);
    kv_table_s *joint = _kv_create_table(d, all.data(), KV_PROBABILITY, KV_ROLE_DERIVED, 1, 1);
    if (!joint)
        return nullptr;
    int status = kv_error_none;
    for (kv_clique_s *c : keep) {
        if (!status)
            status = _kv_combine_tables(joint, c->probability_table);
        for (kv_neighbor_s *b = c->neighbors; b && !status; b = b->next)
            if (b->clique->number < c->number &&
                std::find(keep.begin(), keep.end(), b->clique) != keep.end())
                status = _kv_divide_tables(joint, b->control->small_probability);
    }
    kv_table_s *result = status ? nullptr : _kv_table_get_marginal(joint, nodes, eq, mode, 0);
    kv::KeepError keeper;
    _kv_free_table(joint);
    if (status)
        keeper.code = status;
    return result;
}

kv_table_t kv_domain_get_marginal(kv_domain_t d, kv_node_t *nodes)
{
    if (_kv_set_error_code(!d || !nodes || !marginal_list_ok(d, nodes)))
        return nullptr;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), nullptr;
    return kv::guard_ptr([&]() -> kv_table_s * {
        size_t count = _kv_node_list_length(nodes);
        if (count == 0) {
            kv_table_s *t = _kv_create_table(d, nodes, KV_PROBABILITY, KV_ROLE_DERIVED, 0, 1);
            if (t)
                _kv_unlink_table(t);
            return t;
        }
        kv_junction_tree_s *jt = nodes[0]->junction_tree;
        for (size_t i = 1; i < count; ++i)
            if (nodes[i]->junction_tree != jt)
                return _kv_set_error_code(kv_error_usage), nullptr;
        if (!jt || jt->equilibrium == kv_equilibrium_none)
            return _kv_set_error_code(kv_error_no_equilibrium), nullptr;
        if (count == 1) {
            kv_table_s *t = _kv_clone_table(nodes[0]->belief_table);
            if (!t)
                return nullptr;
            t->role = KV_ROLE_DERIVED;
            _kv_unlink_table(t);
            return t;
        }
        if (d->is_compressed)
            return _kv_set_error_code(kv_error_compressed), nullptr;
        _kv_jt_fill_slices(jt);
        kv_table_s *t = joint_marginal(jt, nodes, jt->equilibrium, jt->evidence_mode);
        if (!t)
            return nullptr;
        if (jt->evidence_mode == kv_mode_fast_retraction)
            if (int status = _kv_normalize_table(t, jt->equilibrium)) {
                _kv_free_table(t);
                _kv_set_error_code(status);
                return nullptr;
            }
        return t;
    });
}
