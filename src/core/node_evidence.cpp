// The evidence state of a node as the table operations see it: the state of
// its hard evidence and its propagated evidence vector.
#include "domain.h"
#include "table/table.h"

// The finding that counts for table operations: as propagated in a compiled
// domain, as entered otherwise.  NULL means no evidence (all 1.0).
static const double *current_finding(const kv_node_s *n)
{
    if (n->home->is_compiled && n->evidence_table)
        return n->evidence_table->discrete_data;
    return n->entered_finding;
}

size_t _kv_single_positive_state(const double *f, size_t k)
{
    size_t chosen = static_cast<size_t>(-1);
    for (size_t s = 0; f && s < k; ++s)
        if (f[s] > 0.0) {
            if (chosen != static_cast<size_t>(-1))
                return static_cast<size_t>(-1);
            chosen = s;
        }
    return chosen;
}

size_t _kv_node_chosen_state(const kv_node_s *n)
{
    if (n->kind != kv_kind_discrete)
        return static_cast<size_t>(-1);
    // Every write of an evidence table sets entered_state to its single
    // positive state: the table operations ask for it per node and call.
    if (n->home->is_compiled && n->evidence_table)
        return n->entered_state < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(n->entered_state);
    const double *f = current_finding(n);
    if (!f)
        return n->number_of_states == 1 ? 0 : static_cast<size_t>(-1);
    return _kv_single_positive_state(f, n->number_of_states);
}

const double *_kv_node_propagated_evidence(const kv_node_s *n)
{
    if (!n->evidence_table || !n->evidence_table->discrete_data)
        return nullptr;
    const double *e = n->evidence_table->discrete_data;
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (e[s] != 1.0)
            return e;
    return nullptr;
}

bool _kv_node_evidence_is_entered(const kv_node_s *n)
{
    if (n->kind == kv_kind_continuous)
        return n->value_entered != 0;
    if (n->entered_finding)
        for (size_t s = 0; s < n->number_of_states; ++s)
            if (n->entered_finding[s] != 1.0)
                return true;
    return false;
}

bool _kv_node_is_instantiated(const kv_node_s *n)
{
    if (n->kind == kv_kind_continuous)
        return n->value_entered != 0;
    if (!n->entered_finding)
        return n->number_of_states == 1;
    size_t positive = 0;
    for (size_t s = 0; s < n->number_of_states; ++s)
        positive += n->entered_finding[s] > 0.0;
    return positive == 1;
}
