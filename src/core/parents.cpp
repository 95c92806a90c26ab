// Structure edits: adding, removing and switching parents, with the node
// tables following each edit, and the graph searches that keep the network
// acyclic.
#include <cstring>
#include <vector>

#include "api.h"
#include "chain_block.h"
#include "expr/expression.h"
#include "graph.h"
#include "memory.h"
#include "node_list.h"
#include "table/table.h"
#include "compile/compile.h"

namespace {

// Nodes marked by one search, so that their marks can be cleared again.
struct Search {
    std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> marked, stack;

    void push(kv_node_s *n)
    {
        if (n->mark)
            return;
        // Listed before it is marked: a failed growth leaves no stray mark.
        marked.push_back(n);
        n->mark = 1;
        stack.push_back(n);
        // Reaching one member of a chain block reaches the whole block.
        if (n->chain_block)
            for (kv_node_s **m = n->chain_block->nodes; *m; ++m)
                push(*m);
    }
    void push_children(kv_node_s *n)
    {
        if (n->children)
            for (kv_node_s **c = n->children; *c; ++c)
                push(*c);
    }
    void run()
    {
        while (!stack.empty()) {
            kv_node_s *n = stack.back();
            stack.pop_back();
            push_children(n);
        }
    }
    ~Search()
    {
        for (kv_node_s *n : marked)
            n->mark = 0;
    }
};

} // namespace

bool _kv_path_exists(kv_node_s *a, kv_node_s *b)
{
    Search s;
    s.push(a);
    s.run();
    return b->mark != 0;
}

bool _kv_indirect_path_exists(kv_node_s *x, kv_node_s *y)
{
    Search s;
    s.marked.push_back(x);
    x->mark = 1;
    if (x->children)
        for (kv_node_s **c = x->children; *c; ++c)
            if (*c != y)
                s.push(*c);
    if (x->chain_block)
        for (kv_node_s **m = x->chain_block->nodes; *m; ++m)
            if (*m != x) {
                s.push(*m);
                s.push_children(*m);
            }
    s.run();
    return y->mark != 0;
}

static const char *label_of(const kv_node_s *n, size_t s)
{
    const char *label = n->state_labels ? n->state_labels[s] : nullptr;
    return label ? label : "";
}

static double value_of(const kv_node_s *n, size_t s)
{
    return n->state_values ? n->state_values[s] : -1.0;
}

bool _kv_nodes_are_compatible(const kv_node_s *a, const kv_node_s *b)
{
    if (a->category != b->category || a->kind != b->kind)
        return false;
    if (a->kind == kv_kind_continuous)
        return true;
    size_t n = a->number_of_states;
    if (n != b->number_of_states || a->subtype != b->subtype)
        return false;
    switch (a->subtype) {
    case kv_subtype_label:
        for (size_t s = 0; s < n; ++s)
            if (std::strcmp(label_of(a, s), label_of(b, s)) != 0)
                return false;
        return true;
    case kv_subtype_number:
    case kv_subtype_interval:
        for (size_t s = 0; s < n + (a->subtype == kv_subtype_interval); ++s)
            if (value_of(a, s) != value_of(b, s))
                return false;
        return true;
    default:
        return true;
    }
}

bool _kv_node_is_class_input(const kv_node_s *n)
{
    return _kv_domain_is_class(n->home) && _kv_node_in_list(n->home->inputs, n);
}

// The tables of a child that range over its parents.
static kv_table_s *child_tables(kv_node_s *child, int i)
{
    return i == 0 ? child->table : i == 1 ? child->experience_table : child->fading_table;
}

kv_status_t kv_node_add_parent(kv_node_t child, kv_node_t parent)
{
    if (_kv_set_error_code(
            !child || !parent || child->home != parent->home ||
            _kv_node_in_list(child->parents, parent) ||
            (child->category != kv_category_chance && child->category != kv_category_decision &&
             child->category != kv_category_utility) ||
            (parent->category != kv_category_chance && parent->category != kv_category_decision) ||
            (child->kind == kv_kind_discrete && parent->kind == kv_kind_continuous) ||
            _kv_node_is_clone(child) || _kv_node_is_class_input(child)))
        return kv_error_usage;
    return kv::guard_status([&] {
        if (_kv_path_exists(child, parent))
            return _kv_set_error_code(kv_error_cyclic_network);
        if (_kv_node_list_extend(&child->parents) || _kv_node_list_extend(&parent->children))
            return static_cast<int>(kv_error_no_memory);
        for (int i = 0; i < 3; ++i) {
            kv_table_s *t = child_tables(child, i);
            if (!t)
                continue;
            if (int status = _kv_table_add_node(t, parent)) {
                kv::KeepError keep;
                for (int j = 0; j < i; ++j)
                    if (child_tables(child, j))
                        _kv_table_remove_node(child_tables(child, j), parent);
                return status;
            }
            if (parent->kind == kv_kind_continuous && t->continuous_roles)
                t->continuous_roles[_kv_table_node_position(t, parent) - t->discrete_count] =
                    KV_TAIL;
        }
        _kv_node_list_insert(child->parents, parent);
        _kv_node_list_insert(parent->children, child);
        _kv_uncompile_domain_safely(child->home, 1);
        return _kv_set_error_code(kv_error_none);
    });
}

// Takes the parent out of the child's tables and chain potentials.  Never
// fails: removing a node from a table only shrinks it.
static void remove_from_child_tables(kv_node_s *child, kv_node_s *parent)
{
    for (int i = 0; i < 3; ++i) {
        kv_table_s *t = child_tables(child, i);
        if (t && _kv_table_node_position(t, parent) != static_cast<size_t>(-1))
            _kv_table_remove_node(t, parent);
    }
    if (child->chain_block)
        for (kv_table_s **p = child->chain_block->potentials; p && *p; ++p)
            if (_kv_table_node_position(*p, child) != static_cast<size_t>(-1) &&
                _kv_table_node_position(*p, parent) != static_cast<size_t>(-1))
                _kv_table_remove_node(*p, parent);
}

void _kv_node_remove_parent(kv_node_s *child, kv_node_s *parent)
{
    _kv_node_list_remove(child->parents, parent);
    _kv_node_list_remove(parent->children, child);
    remove_from_child_tables(child, parent);
    _kv_model_remove_node(child->model, parent);
    _kv_uncompile_domain_safely(child->home, 1);
}

kv_status_t kv_node_remove_parent(kv_node_t child, kv_node_t parent)
{
    if (_kv_set_error_code(!child || !parent || !_kv_node_in_list(child->parents, parent)))
        return kv_error_usage;
    _kv_node_remove_parent(child, parent);
    return kv_error_none;
}

static void replace_in_table(kv_table_s *t, kv_node_s *old_parent, kv_node_s *new_parent)
{
    size_t p = t ? _kv_table_node_position(t, old_parent) : static_cast<size_t>(-1);
    if (p != static_cast<size_t>(-1))
        t->nodes[p] = new_parent;
}

kv_status_t kv_node_switch_parent(kv_node_t child, kv_node_t old_parent, kv_node_t new_parent)
{
    if (_kv_set_error_code(!child || !new_parent || child->home != new_parent->home ||
                           _kv_node_in_list(child->parents, new_parent) || !old_parent ||
                           !_kv_node_in_list(child->parents, old_parent) ||
                           !_kv_nodes_are_compatible(old_parent, new_parent)))
        return kv_error_usage;
    return kv::guard_status([&] { return _kv_node_switch_parent(child, old_parent, new_parent, true); });
}

int _kv_node_switch_parent(kv_node_s *child, kv_node_s *old_parent, kv_node_s *new_parent,
                           bool test_cycle)
{
    if (test_cycle && _kv_path_exists(child, new_parent))
        return _kv_set_error_code(kv_error_cyclic_network);
    if (_kv_node_list_extend(&new_parent->children))
        return static_cast<int>(kv_error_no_memory);
    if (int status = _kv_model_replace_node(child->model, old_parent, new_parent))
        return status;
    child->parents[_kv_node_index(child->parents, old_parent)] = new_parent;
    _kv_node_list_remove(old_parent->children, child);
    _kv_node_list_insert(new_parent->children, child);
    for (int i = 0; i < 3; ++i)
        replace_in_table(child_tables(child, i), old_parent, new_parent);
    if (child->chain_block)
        for (kv_table_s **p = child->chain_block->potentials; p && *p; ++p)
            if (_kv_table_node_position(*p, child) != static_cast<size_t>(-1))
                replace_in_table(*p, old_parent, new_parent);
    _kv_uncompile_domain_safely(child->home, 1);
    return _kv_set_error_code(kv_error_none);
}
