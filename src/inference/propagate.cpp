// Propagation: bringing junction trees into equilibrium with the entered
// evidence, incrementally where the evidence only grew, with root selection
// over the cliques that changed, normalisation and the evidence statistics.
#include <cmath>
#include <new>

#include "compile/compile.h"
#include "core/api.h"
#include "propagate.h"
#include "table/operations.h"

static bool valid(int eq, int mode)
{
    return (eq == kv_equilibrium_sum || eq == kv_equilibrium_max) &&
           (mode == kv_mode_normal || mode == kv_mode_fast_retraction);
}

static bool chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

// ---------------------------------------------------------------------------
// Root selection.

static kv_clique_s *best(kv_clique_s *a, kv_clique_s *b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return a->probability_table->size > b->probability_table->size ? b : a;
}

// The smallest clique of the smallest subtree holding every marked clique,
// seen from top; marks that subtree.  Each frame keeps the best clique
// found below its clique so far.
static kv_clique_s *select_root(kv_junction_tree_s *jt, kv_clique_s *top)
{
    kv_clique_s *selected = nullptr;
    _kv_jt_walk(
        jt, top, [](kv_walk_frame_s &) { return 0; },
        [&](kv_walk_frame_s &f, kv_walk_frame_s *parent) {
            kv_clique_s *c = f.clique, *r = static_cast<kv_clique_s *>(f.data);
            if (r || c->root_mark) {
                r = best(c, r);
                c->root_mark = 1;
            }
            if (parent)
                parent->data = best(static_cast<kv_clique_s *>(parent->data), r);
            else
                selected = r;
            return 0;
        });
    return selected;
}

static kv_clique_s *select_best_root(kv_junction_tree_s *jt)
{
    kv_domain_s *d = jt->domain;
    if (d->number_of_continuous_nodes == 0 && !jt->root->utility_table) {
        for (kv_clique_s **c = jt->cliques; *c; ++c)
            if ((*c)->root_mark)
                return select_root(jt, *c);
        return nullptr;
    }
    return select_root(jt, jt->root) ? jt->root : nullptr;
}

// ---------------------------------------------------------------------------
// Global propagation.

static int global_propagate(kv_junction_tree_s *jt, kv_clique_s *root, int eq, int mode)
{
    if (root)
        root->root_mark = 1;
    kv_clique_s *selected = select_best_root(jt);
    if (!root)
        root = selected ? selected : jt->root;
    root->root_mark = 1;
    int collected = _kv_collect_evidence(root, eq, mode);
    _kv_jt_collect_done(jt);
    if (collected)
        return collected;
    bool sliced = _kv_jt_slices(jt, eq, mode);
    bool sparse = sliced && jt->tables.sparse_active && root->probability_table->sparse;
    _kv_clique_take_ones(root);
    double z = sparse   ? _kv_sparse_sum(root->probability_table)
               : sliced ? _kv_sliced_sum(root->probability_table, _kv_node_chosen_state)
                        : _kv_normalization_constant(root->probability_table, eq, mode);
    if (z < 0.0)
        return kv_error_code() ? kv_error_code() : _kv_set_error_code(kv_error_error);
    if (int status = _kv_check_norm_factor(z))
        return status;
    root->factor /= z;
    if (mode == kv_mode_fast_retraction)
        for (kv_node_s **m = root->probability_table->nodes; *m; ++m)
            if ((*m)->kind == kv_kind_discrete)
                root->factor *= _kv_probability_of_evidence(*m);
    jt->conflict = root->factor;
    if (sparse)
        _kv_sparse_scale(root->probability_table, 1.0 / z);
    else if (sliced)
        _kv_sliced_scale(root->probability_table, 1.0 / z, _kv_node_chosen_state);
    else
        _kv_normalize_with(root->probability_table, z);
    jt->step_constant *= z;
    jt->normalization_constant *= jt->step_constant;
    jt->step_log_constant += std::log(z);
    jt->log_normalization_constant += jt->step_log_constant;
    return _kv_distribute_evidence(root, eq, mode);
}

// Copies the entered finding into the evidence table, finding its single
// positive state on the way.
static void copy_finding(kv_node_s *n)
{
    double *e = n->evidence_table->discrete_data;
    const double *f = n->entered_finding;
    size_t k = n->number_of_states;
    if (!f) {
        for (size_t s = 0; s < k; ++s)
            e[s] = 1.0;
        n->entered_state = k == 1 ? 0 : -1;
        return;
    }
    int chosen = -1, positive = 0;
    for (size_t s = 0; s < k; ++s) {
        e[s] = f[s];
        if (f[s] > 0.0)
            chosen = positive++ ? -1 : int(s);
    }
    n->entered_state = positive == 1 ? chosen : -1;
}

// Multiplies the node's evidence table into its finding clique and keeps the
// prior probability of that evidence in the clique's factor.
static int multiply_evidence(kv_node_s *n, bool sliced)
{
    if (int status = _kv_clique_combine(n->finding_clique, n->evidence_control, sliced))
        return status;
    n->finding_clique->factor *= _kv_probability_of_evidence(n);
    n->finding_clique->root_mark = 1;
    return kv_error_none;
}

static int incorporate_evidence(kv_junction_tree_s *jt, int mode, int previous_mode, bool sliced)
{
    for (kv_node_s **m = jt->nodes; *m; ++m) {
        kv_node_s *n = *m;
        if (!chance_or_decision(n) || n->kind != kv_kind_discrete || !n->evidence_table)
            continue;
        if (mode == kv_mode_fast_retraction) {
            if (_kv_node_evidence_to_propagate(n))
                n->finding_clique->root_mark = 1;
            copy_finding(n);
        } else if (previous_mode == kv_mode_normal) {
            if (!_kv_node_evidence_to_propagate(n))
                continue;
            double *e = n->evidence_table->discrete_data;
            for (size_t s = 0; s < n->number_of_states; ++s)
                if (e[s] != 0.0)
                    e[s] = (n->entered_finding ? n->entered_finding[s] : 1.0) / e[s];
            // The ratio is the evidence table while it is multiplied in.
            size_t r = _kv_single_positive_state(e, n->number_of_states);
            n->entered_state = r == static_cast<size_t>(-1) ? -1 : int(r);
            if (int status = multiply_evidence(n, sliced))
                return status;
            copy_finding(n);
        } else {
            copy_finding(n);
            if (_kv_node_evidence_is_entered(n))
                if (int status = multiply_evidence(n, sliced))
                    return status;
        }
    }
    return kv_error_none;
}

static void update_flags(kv_junction_tree_s *jt)
{
    jt->evidence_propagated = jt->likelihood_propagated = jt->cg_evidence_propagated = 0;
    for (kv_node_s **m = jt->nodes; *m; ++m) {
        kv_node_s *n = *m;
        if (!chance_or_decision(n))
            continue;
        if (n->kind == kv_kind_continuous) {
            if (n->value_propagated)
                jt->evidence_propagated = jt->cg_evidence_propagated = 1;
            continue;
        }
        const double *e = n->evidence_table ? n->evidence_table->discrete_data : nullptr;
        for (size_t s = 0; e && s < n->number_of_states; ++s) {
            if (e[s] != 1.0)
                jt->evidence_propagated = 1;
            if (e[s] != 0.0 && e[s] != 1.0)
                jt->likelihood_propagated = 1;
        }
    }
}

static bool any_evidence_to_retract(kv_junction_tree_s *jt)
{
    for (kv_node_s **n = jt->nodes; *n; ++n)
        if (chance_or_decision(*n) && _kv_node_evidence_to_retract(*n))
            return true;
    return false;
}

static bool settled(const kv_junction_tree_s *jt, int eq, int mode)
{
    return jt->evidence_to_propagate == 0 && jt->equilibrium == eq && jt->evidence_mode == mode;
}

// After a failure inside the propagation proper the tree goes back to its
// initial tables; the entered evidence stays on the nodes.
static int fail(kv_junction_tree_s *jt, int status)
{
    kv::KeepError keep;
    keep.code = status;
    _kv_jt_reset_inference_engine(jt, 0);
    return status;
}

namespace {
// However the propagation ends, the sparse form rests afterwards.
struct PropagationEnd {
    kv_junction_tree_s *jt;
    ~PropagationEnd() { _kv_jt_end_propagation(jt); }
};
} // namespace

// Evidence into the tables, the CG evidence, the two passes and the
// beliefs; the caller resets the tree on failure.
static int propagate_proper(kv_junction_tree_s *jt, kv_clique_s *root, int eq, int mode, bool sliced)
{
    kv_domain_s *d = jt->domain;
    if (int status = incorporate_evidence(jt, mode, jt->evidence_mode, sliced))
        return status;
    if (d->number_of_continuous_nodes)
        if (int status = _kv_cg_enter_evidence(jt))
            return status;
    if (int status = global_propagate(jt, root, eq, mode))
        return status;
    if (!d->beliefs_on_demand)
        if (int status = _kv_jt_update_beliefs(jt, eq, mode))
            return status;
    return kv_error_none;
}

static int jt_make_consistent(kv_junction_tree_s *jt, kv_clique_s *root, int eq, int mode)
{
    PropagationEnd end{jt};
    kv_domain_s *d = jt->domain;
    if (_kv_set_error_code(
            !valid(eq, mode) ||
            (!(eq == kv_equilibrium_sum && mode == kv_mode_normal) &&
             d->number_of_continuous_nodes + d->number_of_decision_nodes + d->number_of_utility_nodes)))
        return kv_error_usage;
    if (mode == kv_mode_fast_retraction && d->is_compressed)
        return _kv_set_error_code(kv_error_compressed);
    if (jt->tables_to_propagate)
        if (int status = _kv_jt_reset_inference_engine(jt, 0))
            return status;
    if (settled(jt, eq, mode))
        return _kv_set_error_code(kv_error_none);
    _kv_jt_wake_workers(jt, eq, mode);
    for (kv_clique_s **c = jt->cliques; *c; ++c)
        (*c)->factor = 1.0;
    jt->step_constant = 1.0;
    jt->step_log_constant = 0.0;
    jt->conflict = 1.0;
    // The tables of a fast-retraction propagation carry its evidence in
    // their messages: back in normal mode they serve only the same
    // evidence, anything else starts from the initial tables.
    bool reset = mode == kv_mode_fast_retraction ? jt->evidence_mode != kv_mode_fast_retraction
                 : jt->evidence_mode == kv_mode_fast_retraction ? jt->evidence_to_propagate > 0
                                                                : any_evidence_to_retract(jt);
    if (reset) {
        int status = eq == kv_equilibrium_sum && mode == kv_mode_normal
                         ? _kv_jt_reset_for_evidence(jt)
                         : _kv_jt_reset_inference_engine(jt, 0);
        if (status)
            return status;
        if (settled(jt, eq, mode))
            return _kv_set_error_code(kv_error_none);
    }
    bool same_equilibrium = jt->equilibrium == eq;
    for (kv_clique_s **c = jt->cliques; *c; ++c)
        (*c)->root_mark = same_equilibrium ? 0 : 1;
    bool sliced = _kv_jt_slices(jt, eq, mode);
    _kv_jt_begin_propagation(jt, sliced);
    // Scratch containers throw on a failed allocation: that failure too
    // must reset the tree, or evidence half multiplied in stays behind.
    int status;
    try {
        status = propagate_proper(jt, root, eq, mode, sliced);
    } catch (const std::bad_alloc &) {
        status = kv_error_no_memory;
    }
    if (status)
        return fail(jt, status);
    jt->equilibrium = eq;
    jt->evidence_mode = mode;
    jt->evidence_to_propagate = 0;
    update_flags(jt);
    return _kv_set_error_code(kv_error_none);
}

int _kv_jt_propagate_changed_tables(kv_junction_tree_s *jt)
{
    PropagationEnd end{jt};
    jt->tables.priors = 0;
    for (kv_clique_s **c = jt->cliques; *c; ++c) {
        (*c)->factor = 1.0;
        (*c)->root_mark = 1;
    }
    jt->step_constant = 1.0;
    jt->step_log_constant = 0.0;
    double conflict = jt->conflict; // the evidence's, not the change's
    _kv_jt_begin_propagation(jt, false);
    int status;
    try {
        status = global_propagate(jt, nullptr, kv_equilibrium_sum, kv_mode_normal);
        if (!status && !jt->domain->beliefs_on_demand)
            status = _kv_jt_update_beliefs(jt, kv_equilibrium_sum, kv_mode_normal);
    } catch (const std::bad_alloc &) {
        status = kv_error_no_memory;
    }
    jt->conflict = conflict;
    if (status)
        return fail(jt, status);
    return kv_error_none;
}

kv_status_t kv_jt_propagate(kv_junction_tree_t jt, kv_equilibrium_t eq, kv_evidence_mode_t mode)
{
    if (_kv_set_error_code(!jt))
        return kv_error_usage;
    return kv::guard_status([&] { return jt_make_consistent(jt, nullptr, eq, mode); });
}

kv_status_t kv_clique_propagate(kv_clique_t c, kv_equilibrium_t eq, kv_evidence_mode_t mode)
{
    if (_kv_set_error_code(!c || !c->junction_tree))
        return kv_error_usage;
    return kv::guard_status([&] { return jt_make_consistent(c->junction_tree, c, eq, mode); });
}

kv_status_t kv_domain_propagate(kv_domain_t d, kv_equilibrium_t eq, kv_evidence_mode_t mode)
{
    if (_kv_set_error_code(!d || !valid(eq, mode)))
        return kv_error_usage;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled);
    _kv_invalidate_simulation(d);
    return kv::guard_status([&] {
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
            if (int status = jt_make_consistent(jt, nullptr, eq, mode))
                return status;
        return _kv_set_error_code(kv_error_none);
    });
}

kv_boolean_t kv_jt_equilibrium_is(kv_junction_tree_t jt, kv_equilibrium_t eq)
{
    if (_kv_set_error_code(!jt || (eq != kv_equilibrium_sum && eq != kv_equilibrium_max)))
        return -1;
    return jt->equilibrium == eq;
}

kv_boolean_t kv_domain_equilibrium_is(kv_domain_t d, kv_equilibrium_t eq)
{
    if (_kv_set_error_code(!d || (eq != kv_equilibrium_sum && eq != kv_equilibrium_max)))
        return -1;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), -1;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (jt->equilibrium != eq)
            return 0;
    return 1;
}

static kv_boolean_t tree_mode_is(const kv_junction_tree_s *jt, int mode)
{
    if (jt->equilibrium == kv_equilibrium_none)
        return 0;
    return jt->evidence_mode == mode || !jt->evidence_propagated;
}

kv_boolean_t kv_jt_evidence_mode_is(kv_junction_tree_t jt, kv_evidence_mode_t mode)
{
    if (_kv_set_error_code(!jt || (mode != kv_mode_normal && mode != kv_mode_fast_retraction)))
        return -1;
    return tree_mode_is(jt, mode);
}

kv_boolean_t kv_domain_evidence_mode_is(kv_domain_t d, kv_evidence_mode_t mode)
{
    if (_kv_set_error_code(!d || (mode != kv_mode_normal && mode != kv_mode_fast_retraction)))
        return -1;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), -1;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (!tree_mode_is(jt, mode))
            return 0;
    return 1;
}
