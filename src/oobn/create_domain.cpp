// Runtime domains: a class unfolded into an ordinary domain, instance by
// instance, and the copy of a plain domain made by the same machinery.
//
// The nodes are made directly in the target domain, depth first, so the
// temporary domain per instance is never built: the result (node order,
// source paths, the refusal of continuous nodes beside decisions) is that
// of unfolding each instance apart and moving its nodes over.  Bound input
// copies are deleted in one sweep at the end, and the graph is tested for
// cycles once, since every step but the bindings keeps it acyclic.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/api.h"
#include "core/attribute.h"
#include "core/chain_block.h"
#include "core/graph.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "expr/expression.h"
#include "table/table.h"
#include "oobn.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

// Counts that decide whether two parts may share a domain.
struct Mix {
    size_t continuous, decisions_or_utilities;
};

Mix mix_of(const kv_domain_s *d)
{
    return {d->number_of_continuous_nodes, d->number_of_decision_nodes + d->number_of_utility_nodes};
}

struct Unfolding {
    kv_domain_s *target;
    Vec<kv_node_s *> path; // instance nodes on the way down
    size_t depth_limit;
    size_t deleted = 0; // bound input copies, marked and left for the sweep
};

// The runtime node of each class node, by node index; an output clone's
// entry is its master's runtime node.
using NodeMap = Vec<kv_node_s *>;

kv_node_s *map_node(const kv_node_s *n, void *map)
{
    return (*static_cast<NodeMap *>(map))[n->index];
}

int copy_attributes(kv_attribute_s **to, const kv_attribute_s *from)
{
    kv_attribute_s **tail = to;
    for (const kv_attribute_s *a = from; a; a = a->next) {
        kv_attribute_s *c = _kv_new_attribute(a->key, a->value);
        if (!c)
            return kv_error_no_memory;
        *tail = c;
        tail = &c->next;
    }
    return kv_error_none;
}

// The runtime node of an ordinary class node: category, kind, source path,
// label, attributes, position and states.
kv_node_s *clone_node(Unfolding &u, const kv_node_s *n)
{
    kv_node_s *r = _kv_new_node(u.target, n->category, n->kind);
    if (!r)
        return nullptr;
    size_t depth = u.path.size();
    r->source = kv::allocate_array<kv_node_s *>(depth + 2);
    if (!r->source)
        return nullptr;
    std::copy(u.path.begin(), u.path.end(), r->source);
    r->source[depth] = const_cast<kv_node_s *>(n);
    r->source[depth + 1] = nullptr;
    if (n->label && !(r->label = _kv_allocate_string(n->label)))
        return nullptr;
    if (copy_attributes(&r->attributes, n->attributes))
        return nullptr;
    r->position_x = n->position_x;
    r->position_y = n->position_y;
    if (!_kv_node_is_discrete_chance_or_decision(n))
        return r;
    size_t k = n->number_of_states;
    r->number_of_states = k;
    r->subtype = n->subtype;
    if (n->state_labels) {
        r->state_labels = kv::allocate_array<char *>(k);
        if (!r->state_labels)
            return nullptr;
        std::memset(r->state_labels, 0, k * sizeof(char *));
        for (size_t s = 0; s < k; ++s)
            if (n->state_labels[s] && !(r->state_labels[s] = _kv_allocate_string(n->state_labels[s])))
                return nullptr;
    }
    if (n->state_values) {
        r->state_values = kv::allocate_array<double>(k + 1);
        if (!r->state_values)
            return nullptr;
        std::memcpy(r->state_values, n->state_values, (k + 1) * sizeof(double));
    }
    return r;
}

// A copy of a node table of the class over the mapped nodes, data as it is.
kv_table_s *copy_table(kv_domain_s *d, const kv_table_s *t, NodeMap &map, kv_node_s *owner)
{
    Vec<kv_node_s *> nodes;
    nodes.reserve(t->discrete_count + t->continuous_count + 1);
    for (kv_node_s **x = t->nodes; *x; ++x)
        nodes.push_back(map[(*x)->index]);
    nodes.push_back(nullptr);
    kv_table_s *c = _kv_create_table(d, nodes.data(), t->type, t->role, 0, 0);
    if (!c)
        return nullptr;
    c->owner = owner;
    if (t->discrete_data) {
        c->discrete_data = kv::allocate_array<double>(t->size);
        if (!c->discrete_data)
            return nullptr;
        std::memcpy(c->discrete_data, t->discrete_data, t->size * sizeof(double));
    }
    if (t->cg_data) {
        size_t n = t->size * t->cg_size;
        c->cg_data = kv::allocate_array<double>(n);
        if (!c->cg_data)
            return nullptr;
        std::memcpy(c->cg_data, t->cg_data, n * sizeof(double));
    }
    if (t->continuous_roles) {
        c->continuous_roles = kv::allocate_array<signed char>(t->continuous_count);
        if (!c->continuous_roles)
            return nullptr;
        std::memcpy(c->continuous_roles, t->continuous_roles, t->continuous_count);
    }
    return c;
}

int copy_model(kv_node_s *r, const kv_model_s *m, NodeMap &map)
{
    size_t count = _kv_node_list_length(m->nodes);
    kv_model_s *c = kv::allocate_array<kv_model_s>(1);
    if (!c)
        return kv_error_no_memory;
    std::memset(c, 0, sizeof *c);
    c->owner = r;
    r->model = c; // the node frees it from here on
    c->nodes = kv::allocate_array<kv_node_s *>(count + 1);
    if (!c->nodes)
        return kv_error_no_memory;
    for (size_t i = 0; i < count; ++i)
        c->nodes[i] = map[m->nodes[i]->index];
    c->nodes[count] = nullptr;
    c->touched = m->touched;
    c->samples_per_interval = m->samples_per_interval;
    if (m->expressions) {
        c->expressions = kv::allocate_array<kv_expression_s *>(m->size);
        if (!c->expressions)
            return kv_error_no_memory;
        std::memset(c->expressions, 0, m->size * sizeof(kv_expression_s *));
        c->size = m->size;
        for (size_t i = 0; i < m->size; ++i) {
            if (!m->expressions[i])
                continue;
            kv_expression_s *e = _kv_expression_remap(m->expressions[i], map_node, &map);
            if (!e)
                return kv_error_no_memory;
            ++e->reference_count;
            c->expressions[i] = e;
        }
    }
    return kv_error_none;
}

// Links the runtime node to its parents, in the class node's order; each
// parent's child list takes it as the structure edits would.
int link_parents(kv_node_s *r, const kv_node_s *n, NodeMap &map)
{
    size_t count = _kv_node_list_length(n->parents);
    if (!count)
        return kv_error_none;
    r->parents = kv::allocate_array<kv_node_s *>(count + 1);
    if (!r->parents)
        return kv_error_no_memory;
    for (size_t i = 0; i < count; ++i)
        r->parents[i] = map[n->parents[i]->index];
    r->parents[count] = nullptr;
    for (size_t i = 0; i < count; ++i) {
        kv_node_s *p = r->parents[i];
        if (_kv_node_list_extend(&p->children))
            return kv_error_no_memory;
        _kv_node_list_insert(p->children, r);
    }
    return kv_error_none;
}

int unfold(Unfolding &u, kv_domain_s *k, NodeMap &map);

// The runtime nodes standing for the inputs of one instance's class.
struct InstanceInputs {
    kv_node_s *instance;
    size_t first; // in the pool
};

int unfold_instance(Unfolding &u, kv_node_s *instance, NodeMap &map, Vec<kv_node_s *> &pool,
                    Vec<InstanceInputs> &instances)
{
    kv_domain_s *l = instance->instance_class;
    if (u.path.size() >= u.depth_limit) // a cyclic hierarchy: refuse, never recurse forever
        return _kv_set_error_code(kv_error_cyclic_instance_hierarchy);
    Mix before = mix_of(u.target);
    NodeMap inner(l->number_of_nodes + 1, nullptr);
    u.path.push_back(instance);
    int s = unfold(u, l, inner);
    u.path.pop_back();
    if (s)
        return s;
    Mix after = mix_of(u.target);
    Mix part{after.continuous - before.continuous,
             after.decisions_or_utilities - before.decisions_or_utilities};
    if ((before.continuous && part.decisions_or_utilities) ||
        (part.continuous && before.decisions_or_utilities))
        return _kv_set_error_code(kv_error_cg_influence_diagrams_not_supported);
    for (size_t j = 0; l->outputs && l->outputs[j]; ++j)
        map[instance->output_clones[j]->index] = inner[l->outputs[j]->index];
    instances.push_back({instance, pool.size()});
    for (size_t j = 0; l->inputs && l->inputs[j]; ++j)
        pool.push_back(inner[l->inputs[j]->index]);
    return kv_error_none;
}

// Replaces the runtime copy p of a formal input by q in all of p's
// children, then marks p for deletion.
int bind_input(Unfolding &u, kv_node_s *p, kv_node_s *q)
{
    while (p->children && p->children[0]) {
        kv_node_s *child = p->children[0];
        if (_kv_node_in_list(child->parents, q) || !_kv_nodes_are_compatible(p, q))
            return _kv_set_error_code(kv_error_illegal_binding);
        if (int s = _kv_node_switch_parent(child, p, q, false))
            return s;
    }
    // Gone from the kind and category counts now (later parts are tested
    // against them); the record is freed in the final sweep.
    kv_domain_s *d = u.target;
    --(p->kind == kv_kind_continuous ? d->number_of_continuous_nodes : d->number_of_discrete_nodes);
    --(p->category == kv_category_decision ? d->number_of_decision_nodes : d->number_of_chance_nodes);
    p->index = 0; // the sweep's mark: no live node has index 0
    ++u.deleted;
    return kv_error_none;
}

int unfold(Unfolding &u, kv_domain_s *k, NodeMap &map)
{
    kv_domain_s *d = u.target;
    Vec<kv_node_s *> pool;
    Vec<InstanceInputs> instances;
    for (kv_node_s *n = k->first_node; n; n = n->next) {
        if (_kv_node_is_clone(n))
            continue;
        if (n->category == kv_category_instance) {
            if (n->instance_class)
                if (int s = unfold_instance(u, n, map, pool, instances))
                    return s;
            continue;
        }
        kv_node_s *r = clone_node(u, n);
        if (!r)
            return kv_error_code() ? kv_error_code() : kv_error_no_memory;
        map[n->index] = r;
    }
    for (kv_node_s *n = k->first_node; n; n = n->next) {
        if (_kv_node_is_clone(n) || n->category == kv_category_instance)
            continue;
        kv_node_s *r = map[n->index];
        if (int s = link_parents(r, n, map))
            return s;
        if (n->table && !(r->table = copy_table(d, n->table, map, r)))
            return kv_error_no_memory;
        if (n->experience_table && !(r->experience_table = copy_table(d, n->experience_table, map, r)))
            return kv_error_no_memory;
        if (n->fading_table && !(r->fading_table = copy_table(d, n->fading_table, map, r)))
            return kv_error_no_memory;
        if (n->model)
            if (int s = copy_model(r, n->model, map))
                return s;
    }
    for (const InstanceInputs &i : instances) {
        kv_node_s *instance = i.instance;
        for (size_t j = 0; j < instance->number_of_input_bindings; ++j) {
            kv_node_s *actual = instance->input_bindings[j];
            if (!actual)
                continue;
            if (int s = bind_input(u, pool[i.first + j], map[actual->index]))
                return s;
        }
    }
    return kv_error_none;
}

// Frees the marked copies of bound inputs with their tables, then reverses
// the node and table lists into creation order and numbers them densely
// (the head gets the highest number).
void sweep(kv_domain_s *d)
{
    kv_table_s *tables = nullptr;
    size_t number = 0;
    for (kv_table_s *t = d->first_table, *next; t; t = next) {
        next = t->next;
        if (t->owner && t->owner->index == 0) {
            t->number = 0; // not listed any more: freed without a list walk
            _kv_free_table(t);
            continue;
        }
        t->next = tables;
        tables = t;
        t->number = ++number;
    }
    d->first_table = tables;
    d->number_of_tables = number;
    kv_node_s *nodes = nullptr;
    size_t index = 0;
    for (kv_node_s *n = d->first_node, *next; n; n = next) {
        next = n->next;
        if (n->index == 0) {
            n->table = n->experience_table = n->fading_table = nullptr;
            _kv_free_node_record(n);
            continue;
        }
        n->next = nodes;
        nodes = n;
        n->index = ++index;
    }
    d->first_node = nodes;
    d->number_of_nodes = index;
}

// Kahn's algorithm over the numbered nodes: true when the graph is acyclic.
bool is_acyclic(kv_domain_s *d)
{
    Vec<size_t> waiting(d->number_of_nodes + 1, 0);
    Vec<kv_node_s *> ready;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        waiting[n->index] = _kv_node_list_length(n->parents);
        if (!waiting[n->index])
            ready.push_back(n);
    }
    size_t done = 0;
    while (!ready.empty()) {
        kv_node_s *n = ready.back();
        ready.pop_back();
        ++done;
        if (n->children)
            for (kv_node_s **c = n->children; *c; ++c)
                if (--waiting[(*c)->index] == 0)
                    ready.push_back(*c);
    }
    return done == d->number_of_nodes;
}

// The chain-graph potentials of a plain domain, registered in the order
// they were made so that the blocks merge as they did.
int copy_chain_potentials(kv_domain_s *d, kv_domain_s *from, NodeMap &map)
{
    Vec<kv_table_s *> potentials;
    for (kv_chain_block_s *b = from->chain_blocks; b; b = b->next)
        for (kv_table_s **p = b->potentials; p && *p; ++p)
            potentials.push_back(*p);
    std::sort(potentials.begin(), potentials.end(),
              [](const kv_table_s *a, const kv_table_s *b) { return a->number < b->number; });
    for (kv_table_s *t : potentials) {
        size_t k = _kv_chain_potential_group_size(t);
        kv_table_s *c = copy_table(d, t, map, nullptr);
        if (!c)
            return kv_error_no_memory;
        if (int s = _kv_domain_add_chain_potential(d, c, k)) {
            _kv_free_table(c);
            return s;
        }
    }
    return kv_error_none;
}

// Unfolds k at depth 0 into a new domain: NULL with the error code.
kv_domain_s *create_domain(kv_domain_s *k)
{
    kv_domain_s *d = kv_new_domain();
    if (!d)
        return nullptr;
    int s = kv::guard_status([&]() -> int {
        Unfolding u{d, {}, k->class_collection ? k->class_collection->count : 1};
        if (copy_attributes(&d->attributes, k->attributes))
            return kv_error_no_memory;
        d->node_width = k->node_width;
        d->node_height = k->node_height;
        NodeMap map(k->number_of_nodes + 1, nullptr);
        if (int e = unfold(u, k, map))
            return e;
        sweep(d);
        // Parts that are each fine may still meet in the wrong order (an
        // instance with continuous nodes before a decision of the class).
        if (d->number_of_continuous_nodes && d->number_of_decision_nodes + d->number_of_utility_nodes)
            return _kv_set_error_code(kv_error_cg_influence_diagrams_not_supported);
        // Only a binding can close a cycle (an actual input below an output
        // of the same instance): one test of the whole graph.
        if (u.deleted && !is_acyclic(d))
            return _kv_set_error_code(kv_error_cyclic_network);
        if (!_kv_domain_is_class(k) && k->chain_blocks)
            if (int e = copy_chain_potentials(d, k, map))
                return e;
        if (!_kv_domain_is_class(k))
            for (kv_node_s *n = k->first_node; n; n = n->next)
                if (n->name) {
                    kv_node_s *r = map[n->index];
                    if (!(r->name = _kv_allocate_string(n->name)))
                        return kv_error_no_memory;
                }
        return kv_error_none;
    });
    if (s) {
        kv::KeepError keep;
        _kv_free_domain(d);
        return nullptr;
    }
    return d;
}

} // namespace

kv_domain_t kv_class_create_domain(kv_class_t c)
{
    if (_kv_set_error_code(!c || !_kv_domain_is_class(c)))
        return nullptr;
    kv_domain_s *d = create_domain(c);
    if (d)
        _kv_set_error_code(kv_error_none);
    return d;
}

kv_domain_t kv_domain_clone(kv_domain_t d)
{
    if (_kv_set_error_code(!d || _kv_domain_is_class(d)))
        return nullptr;
    kv_domain_s *copy = create_domain(d);
    if (!copy)
        return nullptr;
    // A copy is named, not traced.
    for (kv_node_s *n = copy->first_node; n; n = n->next) {
        std::free(n->source);
        n->source = nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return copy;
}

kv_node_t *kv_node_get_source(kv_node_t n)
{
    if (_kv_set_error_code(!n || !n->source))
        return nullptr;
    return n->source;
}
