// Evidence: entering and retracting findings and observed values, and the
// predicates on entered and propagated evidence.  Every change keeps the
// evidence-to-propagate count of the node's junction tree exact.
#include <cstdlib>

#include "compile/compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "table/table.h"

static bool has_home_domain(const kv_node_s *n)
{
    return !_kv_domain_is_class(n->home);
}

static bool chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

// The finding as last propagated: the evidence table's data, or NULL.
static const double *propagated_finding(const kv_node_s *n)
{
    return n->evidence_table ? n->evidence_table->discrete_data : nullptr;
}

static double entered_weight(const kv_node_s *n, size_t s)
{
    return n->entered_finding ? n->entered_finding[s] : 1.0;
}

static double propagated_weight(const kv_node_s *n, size_t s)
{
    const double *e = propagated_finding(n);
    return e ? e[s] : 1.0;
}

// Evidence that differs between the node and its junction tree.
static bool to_propagate(const kv_node_s *n)
{
    if (n->kind == kv_kind_continuous)
        return n->value_entered != n->value_propagated ||
               (n->value_entered && n->entered_value != n->propagated_value);
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (entered_weight(n, s) != propagated_weight(n, s))
            return true;
    return false;
}

static bool to_retract(const kv_node_s *n)
{
    if (n->kind == kv_kind_continuous)
        return n->value_propagated &&
               (!n->value_entered || n->entered_value != n->propagated_value);
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (propagated_weight(n, s) == 0.0 && entered_weight(n, s) > 0.0)
            return true;
    return false;
}

// Brackets a change of the node's evidence so that its tree's count stays
// exact: before() takes the node out of the count, after() puts it back.
namespace {
struct CountKeeper {
    kv_node_s *n;
    bool counted() const { return n->home->is_compiled && n->junction_tree; }
    explicit CountKeeper(kv_node_s *node) : n(node)
    {
        if (counted() && to_propagate(n))
            --n->junction_tree->evidence_to_propagate;
    }
    ~CountKeeper()
    {
        if (counted() && to_propagate(n))
            ++n->junction_tree->evidence_to_propagate;
    }
};
} // namespace

static int ensure_finding(kv_node_s *n)
{
    if (n->entered_finding)
        return kv_error_none;
    double *f = kv::allocate_array<double>(n->number_of_states);
    if (!f)
        return kv_error_no_memory;
    for (size_t s = 0; s < n->number_of_states; ++s)
        f[s] = 1.0;
    n->entered_finding = f;
    return kv_error_none;
}

static bool can_take_finding(const kv_node_s *n, size_t s)
{
    return n && has_home_domain(n) && chance_or_decision(n) && n->kind == kv_kind_discrete &&
           s < n->number_of_states;
}

kv_status_t kv_node_select_state(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!can_take_finding(n, s)))
        return kv_error_usage;
    if (int status = ensure_finding(n))
        return status;
    CountKeeper keep(n);
    for (size_t i = 0; i < n->number_of_states; ++i)
        n->entered_finding[i] = i == s ? 1.0 : 0.0;
    return _kv_set_error_code(kv_error_none);
}

kv_status_t kv_node_enter_finding(kv_node_t n, size_t s, kv_number_t value)
{
    if (_kv_set_error_code(!can_take_finding(n, s) || !(value >= 0.0)))
        return kv_error_usage;
    if (int status = ensure_finding(n))
        return status;
    CountKeeper keep(n);
    n->entered_finding[s] = value;
    return _kv_set_error_code(kv_error_none);
}

kv_status_t kv_node_enter_value(kv_node_t n, kv_number_t value)
{
    if (_kv_set_error_code(!n || !has_home_domain(n) || !chance_or_decision(n) ||
                           n->kind != kv_kind_continuous))
        return kv_error_usage;
    CountKeeper keep(n);
    n->entered_value = value;
    n->value_entered = 1;
    return kv_error_none;
}

kv_boolean_t kv_node_evidence_is_entered(kv_node_t n)
{
    if (_kv_set_error_code(!n || !has_home_domain(n) || !chance_or_decision(n)))
        return -1;
    return _kv_node_evidence_is_entered(n);
}

static void retract(kv_node_s *n)
{
    if (!_kv_node_evidence_is_entered(n))
        return;
    CountKeeper keep(n);
    if (n->kind == kv_kind_continuous) {
        n->value_entered = 0;
    } else {
        for (size_t s = 0; s < n->number_of_states; ++s)
            n->entered_finding[s] = 1.0;
    }
}

kv_status_t kv_node_retract_findings(kv_node_t n)
{
    if (_kv_set_error_code(!n || !has_home_domain(n) || !chance_or_decision(n)))
        return kv_error_usage;
    retract(n);
    return kv_error_none;
}

kv_status_t kv_domain_retract_findings(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (chance_or_decision(n))
            retract(n);
    return _kv_set_error_code(kv_error_none);
}

kv_number_t kv_node_get_entered_finding(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!can_take_finding(n, s)))
        return -1.0;
    return entered_weight(n, s);
}

kv_number_t kv_node_get_propagated_finding(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!n || !chance_or_decision(n) || n->kind != kv_kind_discrete ||
                           s >= n->number_of_states))
        return -1.0;
    if (!n->home->is_compiled || !propagated_finding(n))
        return _kv_set_error_code(kv_error_not_compiled), -1.0;
    return propagated_finding(n)[s];
}

kv_number_t kv_node_get_entered_value(kv_node_t n)
{
    if (_kv_set_error_code(!n || !chance_or_decision(n) || n->kind != kv_kind_continuous ||
                           !n->value_entered))
        return -1.0;
    return n->entered_value;
}

kv_number_t kv_node_get_propagated_value(kv_node_t n)
{
    if (_kv_set_error_code(!n || !chance_or_decision(n) || n->kind != kv_kind_continuous))
        return -1.0;
    if (!n->home->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), -1.0;
    if (_kv_set_error_code(!n->value_propagated))
        return -1.0;
    return n->propagated_value;
}

// Evidence read through a weight function: a likelihood has some weight
// other than 0 and 1; it instantiates when exactly one weight is positive.
template <class W> static bool is_likelihood(const kv_node_s *n, W weight)
{
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (weight(n, s) != 0.0 && weight(n, s) != 1.0)
            return true;
    return false;
}

kv_boolean_t kv_node_likelihood_is_entered(kv_node_t n)
{
    if (_kv_set_error_code(!n || !has_home_domain(n) || !chance_or_decision(n)))
        return -1;
    if (n->kind == kv_kind_continuous)
        return 0;
    return is_likelihood(n, entered_weight);
}

kv_boolean_t kv_node_is_instantiated(kv_node_t n)
{
    if (_kv_set_error_code(!n || !has_home_domain(n) || !chance_or_decision(n)))
        return -1;
    return _kv_node_is_instantiated(n);
}

kv_index_t kv_node_get_entered_state(kv_node_t n)
{
    if (_kv_set_error_code(!n || !has_home_domain(n) || !chance_or_decision(n) ||
                           n->kind != kv_kind_discrete))
        return static_cast<size_t>(-1);
    if (!n->entered_finding)
        return n->number_of_states < 2 ? 0 : static_cast<size_t>(-1);
    size_t state = static_cast<size_t>(-1);
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (n->entered_finding[s] > 0.0) {
            if (state != static_cast<size_t>(-1))
                return static_cast<size_t>(-1);
            state = s;
        }
    return state;
}

// Checks for the predicates on propagated evidence.
static int propagated_check(const kv_node_s *n)
{
    if (_kv_set_error_code(!n || !chance_or_decision(n)))
        return kv_error_usage;
    if (!n->home->is_compiled || !n->junction_tree)
        return _kv_set_error_code(kv_error_not_compiled);
    return kv_error_none;
}

kv_boolean_t kv_node_evidence_is_propagated(kv_node_t n)
{
    if (propagated_check(n))
        return -1;
    if (n->kind == kv_kind_continuous)
        return n->value_propagated != 0;
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (propagated_weight(n, s) != 1.0)
            return 1;
    return 0;
}

kv_boolean_t kv_node_likelihood_is_propagated(kv_node_t n)
{
    if (propagated_check(n))
        return -1;
    if (n->kind == kv_kind_continuous)
        return 0;
    return is_likelihood(n, propagated_weight);
}

kv_boolean_t kv_node_evidence_to_propagate(kv_node_t n)
{
    if (propagated_check(n))
        return -1;
    return to_propagate(n);
}

kv_boolean_t kv_node_evidence_to_retract(kv_node_t n)
{
    if (propagated_check(n))
        return -1;
    return to_retract(n);
}

kv_boolean_t kv_node_is_consistent(kv_node_t n)
{
    if (propagated_check(n))
        return -1;
    return n->junction_tree->evidence_to_propagate == 0 || _kv_node_is_instantiated(n);
}

bool _kv_node_evidence_to_propagate(const kv_node_s *n)
{
    return to_propagate(n);
}

bool _kv_node_evidence_to_retract(const kv_node_s *n)
{
    return to_retract(n);
}

kv_boolean_t kv_jt_evidence_to_propagate(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return -1;
    return jt->evidence_to_propagate != 0;
}

// Domain forms: 1 when some tree answers 1.
template <class F> static kv_boolean_t any_tree(kv_domain_s *d, F &&f)
{
    if (_kv_set_error_code(!d))
        return -1;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled), -1;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (f(jt))
            return 1;
    return 0;
}

kv_boolean_t kv_domain_evidence_to_propagate(kv_domain_t d)
{
    return any_tree(d, [](kv_junction_tree_s *jt) { return jt->evidence_to_propagate != 0; });
}

kv_boolean_t kv_jt_evidence_is_propagated(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return -1;
    return jt->evidence_propagated;
}

kv_boolean_t kv_jt_likelihood_is_propagated(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return -1;
    return jt->likelihood_propagated;
}

kv_boolean_t kv_jt_cg_evidence_is_propagated(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return -1;
    return jt->cg_evidence_propagated;
}

kv_boolean_t kv_domain_evidence_is_propagated(kv_domain_t d)
{
    return any_tree(d, [](kv_junction_tree_s *jt) { return jt->evidence_propagated != 0; });
}

kv_boolean_t kv_domain_likelihood_is_propagated(kv_domain_t d)
{
    return any_tree(d, [](kv_junction_tree_s *jt) { return jt->likelihood_propagated != 0; });
}

kv_boolean_t kv_domain_cg_evidence_is_propagated(kv_domain_t d)
{
    return any_tree(d, [](kv_junction_tree_s *jt) { return jt->cg_evidence_propagated != 0; });
}

kv_status_t kv_node_touch_table(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return kv_error_usage;
    if (n->junction_tree)
        n->junction_tree->tables_to_propagate = 1;
    return kv_error_none;
}

kv_boolean_t kv_jt_tables_to_propagate(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return -1;
    return jt->tables_to_propagate;
}

kv_boolean_t kv_domain_tables_to_propagate(kv_domain_t d)
{
    return any_tree(d, [](kv_junction_tree_s *jt) { return jt->tables_to_propagate != 0; });
}

kv_junction_tree_t kv_node_get_junction_tree(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    if (!n->home->is_compiled || !n->junction_tree)
        return _kv_set_error_code(kv_error_not_compiled), nullptr;
    return n->junction_tree;
}
