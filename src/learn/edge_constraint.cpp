// Edge constraints on pairs of nodes, the significance level of the
// independence tests, and the p-values the tests leave behind.
#include <cmath>
#include <cstdlib>

#include "core/api.h"
#include "core/memory.h"
#include "structure.h"

int _kv_mirror_constraint(int constraint)
{
    switch (constraint) {
    case kv_constraint_forward_edge_required:
        return kv_constraint_backward_edge_required;
    case kv_constraint_backward_edge_required:
        return kv_constraint_forward_edge_required;
    case kv_constraint_forward_edge_forbidden:
        return kv_constraint_backward_edge_forbidden;
    case kv_constraint_backward_edge_forbidden:
        return kv_constraint_forward_edge_forbidden;
    default:
        return constraint;
    }
}

static kv_edge_constraint_s **find_entry(kv_node_s *a, const kv_node_s *b)
{
    kv_edge_constraint_s **link = &a->constraints;
    while (*link && (*link)->other != b)
        link = &(*link)->next;
    return link;
}

static void remove_entry(kv_node_s *a, const kv_node_s *b)
{
    kv_edge_constraint_s **link = find_entry(a, b);
    if (kv_edge_constraint_s *e = *link) {
        *link = e->next;
        std::free(e);
    }
}

int _kv_edge_constraint(const kv_node_s *a, const kv_node_s *b)
{
    for (const kv_edge_constraint_s *e = a->constraints; e; e = e->next)
        if (e->other == b)
            return e->constraint;
    return kv_constraint_none;
}

void _kv_node_drop_constraints(kv_node_s *n)
{
    while (kv_edge_constraint_s *e = n->constraints) {
        remove_entry(e->other, n);
        n->constraints = e->next;
        std::free(e);
    }
}

static bool valid_pair(const kv_node_s *a, const kv_node_s *b)
{
    return a && b && a != b && a->home == b->home;
}

kv_status_t kv_node_set_edge_constraint(kv_node_t a, kv_node_t b, kv_edge_constraint_t constraint)
{
    if (_kv_set_error_code(!valid_pair(a, b) || constraint < kv_constraint_none ||
                           constraint > kv_constraint_backward_edge_forbidden))
        return kv_error_usage;
    if (constraint == kv_constraint_none) {
        remove_entry(a, b);
        remove_entry(b, a);
        return kv_error_none;
    }
    kv_edge_constraint_s *ea = *find_entry(a, b), *eb = *find_entry(b, a);
    // Both entries exist or are made before either changes.
    kv_edge_constraint_s *made_a = nullptr, *made_b = nullptr;
    if (!ea && !(made_a = kv::allocate_array<kv_edge_constraint_s>(1)))
        return kv_error_no_memory;
    if (!eb && !(made_b = kv::allocate_array<kv_edge_constraint_s>(1))) {
        std::free(made_a);
        return kv_error_no_memory;
    }
    if (made_a) {
        *made_a = {b, 0, nullptr};
        *find_entry(a, b) = ea = made_a; // appended: lists keep setting order
    }
    if (made_b) {
        *made_b = {a, 0, nullptr};
        *find_entry(b, a) = eb = made_b;
    }
    ea->constraint = constraint;
    eb->constraint = _kv_mirror_constraint(constraint);
    return _kv_set_error_code(kv_error_none);
}

kv_edge_constraint_t kv_node_get_edge_constraint(kv_node_t a, kv_node_t b)
{
    if (_kv_set_error_code(!valid_pair(a, b)))
        return kv_constraint_error;
    return kv_edge_constraint_t(_kv_edge_constraint(a, b));
}

kv_status_t kv_domain_set_significance_level(kv_domain_t d, kv_number_t alpha)
{
    if (_kv_set_error_code(!d || !(alpha > 0 && alpha <= 1)))
        return kv_error_usage;
    d->significance_level = alpha;
    return kv_error_none;
}

kv_number_t kv_domain_get_significance_level(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1;
    return d->significance_level;
}

kv_number_t kv_node_get_data_independency(kv_node_t a, kv_node_t b)
{
    if (_kv_set_error_code(!valid_pair(a, b) || !a->home->test_results))
        return -1;
    kv::learn::TestResults &r = *a->home->test_results;
    size_t i = _kv_creation_index(a), j = _kv_creation_index(b);
    if (i >= r.number_of_nodes || j >= r.number_of_nodes)
        return 1; // made after the tests: never tested
    const kv::learn::PairRecord &p = r.pair(i, j);
    return p.tests.empty() ? 1.0 : p.tests.front().p_value;
}
