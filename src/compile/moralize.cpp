// The moral graph: the acyclicity test with the elimination indices that
// constrain elimination orders, the moral links, and the necessary fill-ins
// that any order respecting those indices would create.
#include <cstdlib>
#include <vector>

#include "compile.h"
#include "core/api.h"
#include "core/chain_block.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "table/table.h"

static constexpr size_t VISITING = static_cast<size_t>(-1);

namespace {
using NodeVector = std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>>;
}

// Depth-first over children: a node's index is the least index of its
// children, less 2 for a decision; utility nodes sit at the top.
static int assign_elimination_index(kv_node_s *n, size_t D)
{
    if (n->elimination_index == VISITING)
        return _kv_set_error_code(kv_error_cyclic_network);
    if (n->elimination_index != 0)
        return kv_error_none;
    if (n->category == kv_category_utility) {
        n->elimination_index = 2 * D + 2;
        return kv_error_none;
    }
    kv_node_s *single[] = {n, nullptr};
    kv_node_s **group = n->chain_block ? n->chain_block->nodes : single;
    for (kv_node_s **g = group; *g; ++g)
        (*g)->elimination_index = VISITING;
    size_t m = 2 * D + 2;
    for (kv_node_s **g = group; *g; ++g)
        if ((*g)->children)
            for (kv_node_s **c = (*g)->children; *c; ++c) {
                if (int status = assign_elimination_index(*c, D))
                    return status;
                if ((*c)->elimination_index < m)
                    m = (*c)->elimination_index;
            }
    if (n->category == kv_category_decision)
        m -= 2;
    for (kv_node_s **g = group; *g; ++g)
        (*g)->elimination_index = m;
    return kv_error_none;
}

static int domain_test_acyclicity(kv_domain_s *d)
{
    size_t D = d->number_of_decision_nodes;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (int status = assign_elimination_index(n, D)) {
            // A failed walk leaves visiting marks behind; they go with the
            // rest of the triangulation when the caller uncompiles.
            return status;
        }
    if (D > 0) {
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->category == kv_category_chance)
                n->elimination_index = 2 * D + 1;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->category == kv_category_decision && n->parents)
                for (kv_node_s **p = n->parents; *p; ++p)
                    if ((*p)->elimination_index >= n->elimination_index)
                        (*p)->elimination_index = n->elimination_index - 1;
    } else {
        for (kv_node_s *n = d->first_node; n; n = n->next)
            n->elimination_index = n->category == kv_category_utility ? 3
                                   : n->kind == kv_kind_discrete      ? 1
                                                                      : 2;
    }
    if (D > 1) {
        bool level_two = false;
        for (kv_node_s *n = d->first_node; n && !level_two; n = n->next)
            level_two = n->elimination_index == 2;
        if (!level_two)
            return _kv_set_error_code(kv_error_decision_order);
    }
    return kv_error_none;
}

static bool is_chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

// The moral neighbours of v (marks are set on v and every listed node).
static int collect_neighbours(kv_domain_s *d, kv_node_s *v, NodeVector &buffer)
{
    auto take = [&](kv_node_s *x) {
        if (!x->mark) {
            x->mark = 1;
            buffer.push_back(x);
        }
    };
    v->mark = 1;
    if (v->category == kv_category_chance && v->parents)
        for (kv_node_s **p = v->parents; *p; ++p)
            take(*p);
    if (v->children)
        for (kv_node_s **c = v->children; *c; ++c)
            if ((*c)->category == kv_category_chance)
                take(*c);
    if (v->chain_block)
        for (kv_table_s **t = v->chain_block->potentials; t && *t; ++t)
            if (_kv_node_in_list((*t)->nodes, v))
                for (kv_node_s **x = (*t)->nodes; *x; ++x)
                    if ((*x)->chain_block == v->chain_block)
                        take(*x);
    if (v->children)
        for (kv_node_s **c = v->children; *c; ++c) {
            if ((*c)->category == kv_category_decision)
                continue;
            kv_node_s *single[] = {*c, nullptr};
            kv_node_s **members = (*c)->chain_block ? (*c)->chain_block->nodes : single;
            for (kv_node_s **m = members; *m; ++m)
                if ((*m)->parents)
                    for (kv_node_s **p = (*m)->parents; *p; ++p) {
                        if ((*p)->mark)
                            continue;
                        take(*p);
                        if (d->log_file && v->index < (*p)->index) {
                            const char *a = kv_node_get_name(v), *b = kv_node_get_name(*p);
                            if (!a || !b)
                                return kv_error_code();
                            if (int status = _kv_log(d, "    Marrying %s and %s\n", a, b))
                                return status;
                        }
                    }
        }
    return kv_error_none;
}

static void clear_buffer_marks(kv_node_s *v, NodeVector &buffer)
{
    v->mark = 0;
    for (kv_node_s *x : buffer)
        x->mark = 0;
}

// Marks the connected set of nodes above level l that contains s as inside
// (1) and its neighbours at or below the level as boundary (255 as a byte).
static void dfs_mark(kv_node_s *s, size_t l, NodeVector &stack)
{
    s->mark = 1;
    stack.push_back(s);
    while (!stack.empty()) {
        kv_node_s *x = stack.back();
        stack.pop_back();
        for (kv_node_s **u = x->neighbours; *u; ++u) {
            if ((*u)->mark)
                continue;
            if ((*u)->elimination_index > l) {
                (*u)->mark = 1;
                stack.push_back(*u);
            } else {
                (*u)->mark = static_cast<signed char>(255);
            }
        }
    }
}

static int append_neighbours(kv_node_s *a, const NodeVector &extra)
{
    size_t n = _kv_node_list_length(a->neighbours);
    kv_node_s **grown = kv::reallocate_array(a->neighbours, _kv_size_add(n + extra.size(), 1));
    if (!grown)
        return kv_error_no_memory;
    for (size_t i = 0; i < extra.size(); ++i)
        grown[n + i] = extra[i];
    grown[n + extra.size()] = nullptr;
    a->neighbours = grown;
    return kv_error_none;
}

static int add_necessary_fill_ins(kv_domain_s *d, size_t l, NodeVector &boundary,
                                  NodeVector &stack)
{
    for (kv_node_s *s = d->first_node; s; s = s->next) {
        if (s->mark || !s->neighbours || s->elimination_index <= l)
            continue;
        dfs_mark(s, l, stack);
        boundary.clear();
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->mark == static_cast<signed char>(255)) {
                n->mark = 0;
                boundary.push_back(n);
            }
        NodeVector extra;
        for (kv_node_s *a : boundary) {
            extra.clear();
            for (kv_node_s *b : boundary) {
                if (b == a || _kv_node_in_list(a->neighbours, b))
                    continue;
                extra.push_back(b);
                if (d->log_file && a->index < b->index) {
                    const char *na = kv_node_get_name(a), *nb = kv_node_get_name(b);
                    if (!na || !nb)
                        return kv_error_code();
                    if (int status = _kv_log(d, "    Creating necessary fill-in between %s and %s\n", na, nb))
                        return status;
                }
            }
            if (!extra.empty())
                if (int status = append_neighbours(a, extra))
                    return status;
        }
    }
    return kv_error_none;
}

static int find_all_necessary_fill_ins(kv_domain_s *d)
{
    size_t D = d->number_of_decision_nodes;
    size_t L = d->number_of_discrete_nodes && d->number_of_continuous_nodes ? 2 : 2 * D + 1;
    if (L < 2)
        return kv_error_none;
    if (int status = _kv_log(d, "\n\nNecessary fill-ins:\n\n"))
        return status;
    NodeVector boundary, stack;
    boundary.reserve(d->number_of_nodes);
    for (size_t l = 1; l < L; ++l) {
        int status = add_necessary_fill_ins(d, l, boundary, stack);
        for (kv_node_s *n = d->first_node; n; n = n->next)
            n->mark = 0;
        if (status)
            return status;
    }
    return kv_error_none;
}

int _kv_domain_moralize(kv_domain_s *d)
{
    d->is_moralized = 1;
    if (int status = domain_test_acyclicity(d)) {
        kv::KeepError keep;
        _kv_log(d, "\n\nCycle (or invalid decision order) detected in network.  Compilation aborted.\n");
        return status;
    }
    if (int status = _kv_log(d, "\n\nMoral links:\n\n"))
        return status;
    if (d->number_of_chance_nodes + d->number_of_decision_nodes > 0) {
        NodeVector buffer;
        buffer.reserve(d->number_of_chance_nodes + d->number_of_decision_nodes);
        for (kv_node_s *v = d->first_node; v; v = v->next) {
            if (!is_chance_or_decision(v))
                continue;
            buffer.clear();
            int status = collect_neighbours(d, v, buffer);
            clear_buffer_marks(v, buffer);
            if (status)
                return status;
            kv_node_s **list = kv::allocate_array<kv_node_s *>(buffer.size() + 1);
            if (!list)
                return kv_error_no_memory;
            for (size_t i = 0; i < buffer.size(); ++i)
                list[i] = buffer[i];
            list[buffer.size()] = nullptr;
            std::free(v->neighbours);
            v->neighbours = list;
        }
    }
    return find_all_necessary_fill_ins(d);
}
