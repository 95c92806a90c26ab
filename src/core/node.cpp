// Nodes: creation and deletion, and the simple node accessors.
#include <cstdlib>
#include <cstring>

#include "api.h"
#include "attribute.h"
#include "host.h"
#include "domain.h"
#include "graph.h"
#include "memory.h"
#include "node_list.h"
#include "expr/expression.h"
#include "table/table.h"
#include "compile/compile.h"
#include "learn/learn.h"
#include "learn/structure.h"
#include "oobn/oobn.h"

static size_t &category_count(kv_domain_s *d, kv_node_category_t category)
{
    switch (category) {
    case kv_category_chance:
        return d->number_of_chance_nodes;
    case kv_category_decision:
        return d->number_of_decision_nodes;
    case kv_category_utility:
        return d->number_of_utility_nodes;
    default:
        return d->number_of_instance_nodes;
    }
}

static size_t &kind_count(kv_domain_s *d, kv_node_kind_t kind)
{
    return kind == kv_kind_continuous ? d->number_of_continuous_nodes
                                      : d->number_of_discrete_nodes;
}

kv_node_s *_kv_new_node(kv_domain_s *d, kv_node_category_t category, kv_node_kind_t kind)
{
    kv_node_s *n = static_cast<kv_node_s *>(_kv_allocate(sizeof(kv_node_s)));
    if (!n)
        return nullptr;
    std::memset(n, 0, sizeof *n);
    _kv_uncompile_domain_safely(d, 1);
    _kv_discard_structure_learning(d);
    n->home = d;
    n->category = category;
    n->kind = kind;
    n->number_of_states = kind == kv_kind_discrete ? 1 : 0;
    n->subtype = kv_subtype_label;
    n->index = ++d->number_of_nodes;
    ++category_count(d, category);
    ++kind_count(d, kind);
    n->next = d->first_node;
    d->first_node = n;
    return n;
}

// A continuous node cannot share a domain with decisions or utilities.
static bool mixes_cg_and_influence_diagram(const kv_domain_s *d, kv_node_category_t category,
                                           kv_node_kind_t kind)
{
    if (category == kv_category_chance)
        return kind == kv_kind_continuous &&
               d->number_of_decision_nodes + d->number_of_utility_nodes > 0;
    return kind == kv_kind_continuous || d->number_of_continuous_nodes > 0;
}

kv_node_t kv_domain_new_node(kv_domain_t d, kv_node_category_t category, kv_node_kind_t kind)
{
    if (_kv_set_error_code(!d || category < kv_category_chance ||
                           category > kv_category_utility ||
                           (kind != kv_kind_discrete && kind != kv_kind_continuous)))
        return nullptr;
    if (mixes_cg_and_influence_diagram(d, category, kind)) {
        _kv_set_error_code(kv_error_cg_influence_diagrams_not_supported);
        return nullptr;
    }
    return _kv_new_node(d, category, kind);
}

kv_node_t kv_class_new_node(kv_class_t c, kv_node_category_t category, kv_node_kind_t kind)
{
    return kv_domain_new_node(c, category, kind);
}

void _kv_free_node_record(kv_node_s *n)
{
    std::free(n->name);
    std::free(n->label);
    std::free(n->parents);
    std::free(n->children);
    // A clone borrows its master's label and value arrays.
    if (!_kv_node_is_clone(n)) {
        if (n->state_labels)
            for (size_t i = 0; i < n->number_of_states; ++i)
                std::free(n->state_labels[i]);
        std::free(n->state_labels);
        std::free(n->state_values);
    }
    std::free(n->source);
    _kv_free_attribute_list(n->home, n->attributes);
    _kv_free_model(n->model);
    std::free(n->output_clones);
    std::free(n->input_bindings);
    std::free(n->entered_finding);
    _kv_free_node_cases(n);
    for (kv_edge_constraint_s *e = n->constraints, *next; e; e = next) {
        next = e->next;
        std::free(e);
    }
    _kv_host_release_peer(n->home, n->host_object);
    std::free(n);
}

kv_status_t kv_node_delete(kv_node_t n)
{
    if (_kv_set_error_code(!n || _kv_node_is_clone(n) || n->chain_block))
        return kv_error_usage;
    _kv_delete_node(n);
    return kv_error_none;
}

void _kv_delete_node(kv_node_s *n)
{
    kv_domain_s *d = n->home;
    if (_kv_domain_is_class(d))
        _kv_class_detach_node(n);
    _kv_uncompile_domain_safely(d, 1);
    _kv_discard_structure_learning(d);
    _kv_node_drop_constraints(n);
    _kv_free_node_tables(n);
    // Children lose the node from their tables; the node's own parent
    // links go without table work since its tables are gone.
    while (n->children && n->children[0])
        _kv_node_remove_parent(n->children[0], n);
    while (n->parents && n->parents[0])
        _kv_node_remove_parent(n, n->parents[0]);
    _kv_remove_from_name_index(n);

    kv_node_s **link = &d->first_node;
    for (; *link != n; link = &(*link)->next)
        --(*link)->index; // newer nodes move down to keep the indices dense
    *link = n->next;
    --d->number_of_nodes;
    --category_count(d, n->category);
    --kind_count(d, n->kind);
    _kv_free_node_record(n);
}

kv_node_category_t kv_node_get_category(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return kv_category_error;
    return n->category;
}

kv_node_kind_t kv_node_get_kind(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return kv_kind_error;
    return n->kind;
}

kv_domain_t kv_node_get_domain(kv_node_t n)
{
    if (_kv_set_error_code(!n || _kv_domain_is_class(n->home)))
        return nullptr;
    return n->home;
}

kv_domain_t kv_node_get_home_domain(kv_node_t n)
{
    return kv_node_get_domain(n);
}

kv_class_t kv_node_get_home_class(kv_node_t n)
{
    if (_kv_set_error_code(!n || !_kv_domain_is_class(n->home)))
        return nullptr;
    return n->home;
}

kv_node_t kv_node_get_next(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    return n->next;
}

kv_status_t kv_node_set_label(kv_node_t n, kv_string_t label)
{
    if (_kv_set_error_code(!n || !label))
        return kv_error_usage;
    char *copy = _kv_allocate_string(label);
    if (!copy)
        return kv_error_no_memory;
    std::free(n->label);
    n->label = copy;
    return kv_error_none;
}

kv_string_t kv_node_get_label(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    return n->label ? n->label : "";
}

kv_status_t kv_node_set_position(kv_node_t n, kv_coordinate_t x, kv_coordinate_t y)
{
    if (_kv_set_error_code(!n))
        return kv_error_usage;
    n->position_x = x;
    n->position_y = y;
    return kv_error_none;
}

kv_status_t kv_node_get_position(kv_node_t n, kv_coordinate_t *x, kv_coordinate_t *y)
{
    if (_kv_set_error_code(!n || !x || !y || x == y))
        return kv_error_usage;
    *x = n->position_x;
    *y = n->position_y;
    return kv_error_none;
}

// The list at *slot, created empty on first request.
static kv_node_t *node_list(kv_node_s **&slot)
{
    if (!slot) {
        slot = kv::allocate_array<kv_node_s *>(1);
        if (!slot)
            return nullptr;
        slot[0] = nullptr;
    }
    return slot;
}

kv_node_t *kv_node_get_parents(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    return node_list(n->parents);
}

kv_node_t *kv_node_get_children(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    return node_list(n->children);
}

kv_status_t kv_node_set_user_data(kv_node_t n, void *data)
{
    if (_kv_set_error_code(!n))
        return kv_error_usage;
    n->user_data = data;
    return kv_error_none;
}

void *kv_node_get_user_data(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    return n->user_data;
}
