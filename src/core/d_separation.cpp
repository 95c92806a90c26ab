// d-separation queries on a domain's graph, chain blocks included.  The
// node marks are the only working storage and are all 0 again afterwards.
#include <cstdlib>
#include <vector>

#include "api.h"
#include "chain_block.h"
#include "memory.h"
#include "node_list.h"
#include "table/table.h"

namespace {

constexpr signed char UNSEEN = 0, EVIDENCE = 1, ANCESTOR = 2, REACHED = -1, BELOW = -2;

using NodeStack = std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>>;

// Marks n and everything reached from it through parents (or children)
// with the mark, entering only unseen nodes; a block member brings its whole
// block and the walk goes on from every member.
void mark_reachable(kv_node_s *n, signed char mark, bool upward, NodeStack &stack)
{
    auto push = [&](kv_node_s *x) {
        if (x->mark == UNSEEN) {
            x->mark = mark;
            stack.push_back(x);
        }
    };
    push(n);
    while (!stack.empty()) {
        kv_node_s *x = stack.back();
        stack.pop_back();
        if (x->chain_block)
            for (kv_node_s **m = x->chain_block->nodes; *m; ++m)
                push(*m);
        if (kv_node_s **next = upward ? x->parents : x->children)
            for (; *next; ++next)
                push(*next);
    }
}

void mark_ancestors(kv_node_s *n, NodeStack &stack)
{
    mark_reachable(n, ANCESTOR, true, stack);
}

void mark_below(kv_node_s *n, NodeStack &stack)
{
    mark_reachable(n, BELOW, false, stack);
}

struct Visit {
    NodeStack pending, scratch;

    void visit(kv_node_s *n)
    {
        if (n->mark == ANCESTOR) {
            n->mark = REACHED;
            pending.push_back(n);
        }
    }
    void visit_parents(kv_node_s *n)
    {
        if (n->parents)
            for (kv_node_s **p = n->parents; *p; ++p)
                visit(*p);
    }
    void run()
    {
        while (!pending.empty()) {
            kv_node_s *n = pending.back();
            pending.pop_back();
            visit_parents(n);
            if (n->children)
                for (kv_node_s **c = n->children; *c; ++c) {
                    kv_node_s *child = *c;
                    if (child->mark == UNSEEN)
                        mark_below(child, scratch);
                    else if (child->mark == ANCESTOR)
                        visit(child);
                    else if (child->mark == EVIDENCE)
                        visit_parents(child); // a collider with evidence passes
                    if (child->chain_block)
                        for (kv_node_s **m = child->chain_block->nodes; *m; ++m)
                            if ((*m)->mark > 0)
                                visit_parents(*m);
                }
            if (n->chain_block)
                for (kv_table_s **t = n->chain_block->potentials; t && *t; ++t)
                    if (_kv_node_in_list((*t)->nodes, n))
                        for (kv_node_s **x = (*t)->nodes; *x; ++x)
                            visit(*x);
        }
    }
};

// Marks the nodes d-connected to the sources with a negative mark.  The
// caller clears the marks.  0 or usage.
int mark_d_connected_nodes(kv_domain_s *d, kv_node_s *const *sources, kv_node_s *const *evidence)
{
    if (!d || !sources || !_kv_nodes_are_distinct(d, sources) ||
        !_kv_nodes_are_distinct(d, evidence))
        return _kv_set_error_code(kv_error_usage);
    _kv_set_error_code(kv_error_none);
    NodeStack found;
    bool from_domain = evidence == nullptr;
    if (from_domain) {
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if ((n->category == kv_category_chance || n->category == kv_category_decision) &&
                _kv_node_evidence_is_entered(n))
                found.push_back(n);
    } else {
        for (kv_node_s *const *e = evidence; *e; ++e)
            found.push_back(*e);
    }
    NodeStack stack;
    for (kv_node_s *const *s = sources; *s; ++s)
        mark_ancestors(*s, stack);
    for (kv_node_s *e : found)
        mark_ancestors(e, stack);
    // Soft evidence opens the colliders above it but blocks nothing itself.
    for (kv_node_s *e : found)
        if (!from_domain || _kv_node_is_instantiated(e))
            e->mark = EVIDENCE;
    Visit v;
    for (kv_node_s *const *s = sources; *s; ++s)
        v.visit(*s);
    v.run();
    // A source is d-connected to itself, evidence or not.
    for (kv_node_s *const *s = sources; *s; ++s)
        if ((*s)->mark >= 0)
            (*s)->mark = REACHED;
    return kv_error_none;
}

} // namespace

kv_node_t *kv_domain_get_d_connected_nodes(kv_domain_t d, kv_node_t *sources, kv_node_t *hard)
{
    return kv::guard_ptr([&]() -> kv_node_t * {
        struct Clear {
            kv_domain_s *d;
            ~Clear()
            {
                if (d)
                    _kv_clear_node_marks(d);
            }
        } clear{d};
        if (mark_d_connected_nodes(d, sources, hard))
            return nullptr;
        size_t count = 0;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            count += n->mark < 0;
        kv_node_s **list = kv::allocate_array<kv_node_s *>(count + 1);
        if (!list)
            return nullptr;
        size_t i = 0;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->mark < 0)
                list[i++] = n;
        list[i] = nullptr;
        _kv_set_error_code(kv_error_none);
        return list;
    });
}

kv_boolean_t kv_domain_are_nodes_d_separated(kv_domain_t d, kv_node_t *list1, kv_node_t *list2,
                                             kv_node_t *hard)
{
    return kv::guard_boolean([&]() -> kv_boolean_t {
        if (!d || !list1 || !_kv_nodes_are_distinct(d, list1)) {
            _kv_set_error_code(kv_error_usage);
            return -1;
        }
        struct Clear {
            kv_domain_s *d;
            ~Clear() { _kv_clear_node_marks(d); }
        } clear{d};
        if (mark_d_connected_nodes(d, list2, hard))
            return -1;
        for (kv_node_s **n = list1; *n; ++n)
            if ((*n)->mark < 0)
                return 0;
        return 1;
    });
}

kv_boolean_t kv_domain_are_nodes_separated(kv_domain_t d, kv_node_t a, kv_node_t b,
                                           kv_node_t *hard)
{
    if (!a || !b) {
        _kv_set_error_code(kv_error_usage);
        return -1;
    }
    kv_node_t la[] = {a, nullptr}, lb[] = {b, nullptr};
    return kv_domain_are_nodes_d_separated(d, la, lb, hard);
}
