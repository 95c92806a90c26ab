// Arc reversal: turning X -> Y into Y -> X while keeping the joint
// distribution of the network.  Both new tables are computed on copies and
// installed only after every numeric step has succeeded.
#include <cstdlib>
#include <vector>

#include "api.h"
#include "expr/expression.h"
#include "graph.h"
#include "memory.h"
#include "node_list.h"
#include "table/operations.h"
#include "compile/compile.h"

// Checks a discrete conditional table and normalizes each distribution of
// its last node.  A column without positive mass is zero_sum in strict mode
// and becomes uniform in lenient mode.  Tables of continuous nodes hold CG
// parameters and pass unchanged.
static int validate_conditional_probability_potential(kv_table_s *t, bool strict)
{
    if (t->continuous_count || t->discrete_count == 0)
        return kv_error_none;
    if (_kv_allocate_data_arrays(t))
        return kv_error_no_memory;
    double *data = t->discrete_data;
    for (size_t i = 0; i < t->size; ++i)
        if (data[i] < 0.0)
            return _kv_set_error_code(kv_error_negative_probability);
    size_t k = t->nodes[t->discrete_count - 1]->number_of_states;
    for (size_t start = 0; start < t->size; start += k) {
        double sum = 0.0;
        for (size_t s = 0; s < k; ++s)
            sum += data[start + s];
        if (sum > 0.0) {
            for (size_t s = 0; s < k; ++s)
                data[start + s] /= sum;
        } else if (strict) {
            return _kv_set_error_code(kv_error_zero_sum);
        } else {
            for (size_t s = 0; s < k; ++s)
                data[start + s] = 1.0 / double(k);
        }
    }
    return kv_error_none;
}

// A listed working copy of the node's conditional table, with data.
static kv_table_s *working_copy(kv_node_s *n)
{
    kv_table_s *t;
    if (n->table) {
        t = _kv_clone_table(n->table);
    } else {
        // The table the node would get on demand, without giving it one.
        size_t parents = _kv_node_list_length(n->parents);
        std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> nodes;
        size_t p = 0;
        for (; p < parents && n->parents[p]->kind == kv_kind_discrete; ++p)
            nodes.push_back(n->parents[p]);
        nodes.push_back(n);
        for (; p < parents; ++p)
            nodes.push_back(n->parents[p]);
        nodes.push_back(nullptr);
        t = _kv_create_table(n->home, nodes.data(), KV_PROBABILITY, KV_ROLE_NODE, 0, 1);
    }
    if (t && _kv_allocate_data_arrays(t)) {
        _kv_free_table(t);
        return nullptr;
    }
    return t;
}

// Marks the node head and every other continuous node tail, as in a node's
// conditional table.
static void set_conditional_roles(kv_table_s *t, kv_node_s *n)
{
    for (size_t k = 0; k < t->continuous_count; ++k)
        t->continuous_roles[k] = t->nodes[t->discrete_count + k] == n ? KV_HEAD : KV_TAIL;
}

namespace {
struct Link {
    kv_node_s *child, *parent;
};
using Links = std::vector<Link, kv::ScratchAlloc<Link>>;
} // namespace

static void unlink(kv_node_s *child, kv_node_s *parent)
{
    _kv_node_list_remove(child->parents, parent);
    _kv_node_list_remove(parent->children, child);
}

// The caller has reserved room in `added`, so recording cannot throw.
static int link(kv_node_s *child, kv_node_s *parent, Links &added)
{
    if (_kv_node_list_extend(&child->parents) || _kv_node_list_extend(&parent->children))
        return kv_error_no_memory;
    _kv_node_list_insert(child->parents, parent);
    _kv_node_list_insert(parent->children, child);
    added.push_back({child, parent});
    return kv_error_none;
}

// The new parent lists: X gains Y's other parents and Y, Y gains X's
// parents and loses X.  Undone completely when an allocation fails.
static int relink(kv_node_s *x, kv_node_s *y)
{
    Links added;
    added.reserve(_kv_node_list_length(x->parents) + _kv_node_list_length(y->parents) + 1);
    std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> px(x->parents, x->parents + _kv_node_list_length(x->parents));
    std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> py(y->parents, y->parents + _kv_node_list_length(y->parents));
    int status = kv_error_none;
    for (kv_node_s *p : py)
        if (!status && p != x && !_kv_node_in_list(x->parents, p))
            status = link(x, p, added);
    for (kv_node_s *p : px)
        if (!status && !_kv_node_in_list(y->parents, p))
            status = link(y, p, added);
    if (!status)
        status = link(x, y, added);
    if (status) {
        for (const Link &l : added)
            unlink(l.child, l.parent);
        return status;
    }
    unlink(y, x);
    return kv_error_none;
}

static void install(kv_node_s *n, kv_table_s *fresh)
{
    if (n->table) {
        _kv_swap_table_data(n->table, fresh);
        _kv_free_table(fresh);
    } else {
        fresh->type = KV_PROBABILITY;
        fresh->role = KV_ROLE_NODE;
        fresh->owner = n;
        n->table = fresh;
    }
}

// The numeric part: new tables for X (given Y and all parents) and Y
// (given all parents), or the error code.
static int reversed_tables(kv_node_s *x, kv_node_s *y, kv_table_s *&tx, kv_table_s *&ty_new)
{
    ty_new = nullptr;
    kv_table_s *ty = working_copy(y);
    tx = ty ? working_copy(x) : nullptr;
    int status = tx ? kv_error_none : kv_error_code();
    if (!status)
        status = validate_conditional_probability_potential(tx, true);
    if (!status)
        status = validate_conditional_probability_potential(ty, true);
    // The joint of X and Y given all their parents.
    for (kv_node_s **p = y->parents; !status && p && *p; ++p)
        if (*p != x)
            status = _kv_table_add_node(tx, *p);
    if (!status)
        status = _kv_table_add_node(tx, y);
    if (!status)
        status = _kv_combine_tables(tx, ty);
    // Y given all parents: the marginal of the joint.
    if (!status) {
        ty_new = _kv_clone_table(ty);
        status = ty_new ? _kv_table_remove_node(ty_new, x) : kv_error_code();
    }
    for (kv_node_s **p = x->parents; !status && p && *p; ++p)
        status = _kv_table_add_node(ty_new, *p);
    if (!status)
        status = _kv_marginalize_tables(tx, ty_new, kv_equilibrium_sum, kv_mode_normal, 0);
    // X given Y and all parents.
    if (!status) {
        if (y->kind == kv_kind_continuous)
            status = _kv_table_complement(tx, _kv_table_node_position(tx, y) - tx->discrete_count);
        else if (!(status = _kv_divide_tables(tx, ty_new)))
            status = validate_conditional_probability_potential(tx, false);
    }
    if (!status && y->kind == kv_kind_continuous) {
        set_conditional_roles(tx, x);
        set_conditional_roles(ty_new, y);
    }
    _kv_free_table(ty);
    if (status) {
        kv::KeepError keep;
        _kv_free_table(tx);
        _kv_free_table(ty_new);
        tx = ty_new = nullptr;
    }
    return status;
}

kv_status_t kv_node_reverse_edge(kv_node_t first, kv_node_t second)
{
    if (_kv_set_error_code(!first || !second || first->home != second->home ||
                           first->category != kv_category_chance ||
                           second->category != kv_category_chance || first->kind != second->kind ||
                           first->chain_block || second->chain_block))
        return kv_error_usage;
    kv_node_s *x = first, *y = second;
    if (!_kv_node_in_list(y->parents, x)) {
        x = second;
        y = first;
    }
    if (_kv_set_error_code(!_kv_node_in_list(y->parents, x) || _kv_node_is_clone(x) ||
                           _kv_node_is_class_input(x)))
        return kv_error_usage;
    return kv::guard_status([&] {
        if (_kv_indirect_path_exists(x, y))
            return _kv_set_error_code(kv_error_cyclic_network);
        kv_table_s *tx, *ty;
        if (int status = reversed_tables(x, y, tx, ty))
            return status;
        if (int status = relink(x, y)) {
            _kv_free_table(tx);
            _kv_free_table(ty);
            return _kv_set_error_code(status);
        }
        install(x, tx);
        install(y, ty);
        for (kv_node_s *n : {x, y}) {
            _kv_free_model(n->model); // models no longer fit
            _kv_free_table(n->experience_table);
            _kv_free_table(n->fading_table);
            n->experience_table = n->fading_table = nullptr;
        }
        _kv_uncompile_domain_safely(x->home, 1);
        return _kv_set_error_code(kv_error_none);
    });
}
