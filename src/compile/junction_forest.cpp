// The junction forest: cliques (made from an elimination order when the
// triangulation did not make them), their ordering, the trees with their
// separators and controls, and the per-node structures used by evidence and
// beliefs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "table/table.h"

namespace {
// Scratch containers; the compilation driver holds the region they use.
template <class T> using Vec = std::vector<T, kv::RegionAlloc<T>>;
}

kv_clique_s *_kv_new_clique(kv_domain_s *d)
{
    kv_clique_s *c = kv::allocate_array<kv_clique_s>(1);
    if (!c)
        return nullptr;
    std::memset(c, 0, sizeof *c);
    c->domain = d;
    c->number = ++d->number_of_cliques;
    c->factor = 1.0;
    c->next = d->first_clique;
    d->first_clique = c;
    return c;
}

static bool has_utilities(const kv_domain_s *d)
{
    return d->number_of_decision_nodes + d->number_of_utility_nodes > 0;
}

int _kv_make_clique(kv_table_s *t)
{
    kv_domain_s *d = t->domain;
    kv_clique_s *c = _kv_new_clique(d);
    if (!c)
        return kv_error_no_memory;
    c->probability_table = t;
    if (has_utilities(d)) {
        c->utility_table = _kv_create_table(d, t->nodes, KV_UTILITY, KV_ROLE_CLIQUE, 0, 0);
        if (!c->utility_table)
            return kv_error_code();
    }
    return kv_error_none;
}

int _kv_add_neighbor(kv_clique_s *c, kv_clique_s *neighbor, kv_control_s *control)
{
    kv_neighbor_s *cell = kv::allocate_array<kv_neighbor_s>(1);
    if (!cell)
        return kv_error_no_memory;
    cell->clique = neighbor;
    cell->control = control;
    cell->next = c->neighbors;
    c->neighbors = cell;
    return kv_error_none;
}

static void join_tree(kv_clique_s *c, kv_junction_tree_s *jt)
{
    c->junction_tree = jt;
    for (kv_node_s **n = c->probability_table->nodes; *n; ++n)
        (*n)->junction_tree = jt;
}

kv_junction_tree_s *_kv_new_junction_tree(kv_clique_s *root)
{
    if (!root || root->junction_tree) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    kv_domain_s *d = root->domain;
    kv_junction_tree_s *jt = kv::allocate_array<kv_junction_tree_s>(1);
    if (!jt)
        return nullptr;
    std::memset(jt, 0, sizeof *jt);
    jt->number = ++d->number_of_junction_trees;
    jt->domain = d;
    jt->next = d->first_junction_tree;
    d->first_junction_tree = jt;
    jt->root = root;
    jt->equilibrium = kv_equilibrium_none;
    jt->evidence_mode = kv_mode_normal;
    jt->step_constant = jt->normalization_constant = 1.0;
    jt->conflict = jt->approximation_constant = 1.0;
    join_tree(root, jt);
    return jt;
}

bool _kv_subset_of_clique(kv_node_s *const *nodes, const kv_clique_s *c)
{
    kv_node_s *const *members = c->probability_table->nodes;
    for (; *nodes; ++nodes)
        if (!_kv_node_in_list(members, *nodes))
            return false;
    return true;
}

namespace {
// A node list marked for the time of a few subset tests: each test is one
// pass over the clique's members instead of a search per listed node.
class Marked {
public:
    explicit Marked(kv_node_s *const *nodes) : nodes_(nodes), count_(_kv_node_list_length(nodes))
    {
        _kv_mark_nodes(nodes);
    }
    ~Marked() { _kv_unmark_nodes(nodes_); }
    Marked(const Marked &) = delete;
    Marked &operator=(const Marked &) = delete;
    bool within(const kv_clique_s *c) const
    {
        if (!count_)
            return true;
        size_t found = 0;
        for (kv_node_s *const *m = c->probability_table->nodes; *m; ++m)
            found += (*m)->mark == 1;
        return found == count_;
    }

private:
    kv_node_s *const *nodes_;
    size_t count_;
};
} // namespace

// Smaller: fewer configurations, then a smaller CG part.
static bool smaller(const kv_table_s *a, const kv_table_s *b)
{
    return a->size < b->size || (a->size == b->size && a->cg_size < b->cg_size);
}

kv_clique_s *_kv_select_clique(kv_clique_s *first, kv_node_s *const *nodes, kv_clique_s *stop)
{
    size_t wanted = _kv_node_list_length(nodes);
    for (size_t i = 0; i < wanted; ++i)
        nodes[i]->mark = 1;
    kv_clique_s *best = nullptr;
    for (kv_clique_s *c = first; c && c != stop; c = c->next) {
        size_t found = 0;
        for (kv_node_s **m = c->probability_table->nodes; *m; ++m)
            found += (*m)->mark == 1;
        if (found == wanted && (!best || smaller(c->probability_table, best->probability_table)))
            best = c;
    }
    for (size_t i = 0; i < wanted; ++i)
        nodes[i]->mark = 0;
    return best;
}

kv_clique_s *_kv_select_clique2(kv_clique_s *first, kv_junction_tree_s *jt, kv_clique_s *stop)
{
    kv_clique_s *best = nullptr;
    for (kv_clique_s *c = first; c && c != stop; c = c->next)
        if (c->junction_tree == jt && (!best || smaller(c->probability_table, best->probability_table)))
            best = c;
    return best;
}

// ---------------------------------------------------------------------------
// Clique index.

struct kv_clique_index_s {
    Vec<Vec<kv_clique_s *>> by_node; // by node index
};

kv_clique_index_s *_kv_new_clique_index(kv_domain_s *d)
{
    kv_clique_index_s *index = new kv_clique_index_s; // scratch: bad_alloc reaches the guard
    index->by_node.resize(d->number_of_nodes + 1);
    for (kv_clique_s *c = d->first_clique; c; c = c->next)
        for (kv_node_s **m = c->probability_table->nodes; *m; ++m)
            index->by_node[(*m)->index].push_back(c);
    return index;
}

void _kv_free_clique_index(kv_clique_index_s *index)
{
    delete index;
}

kv_clique_s *_kv_index_select_clique(const kv_clique_index_s *index, kv_node_s *const *nodes)
{
    if (!nodes[0])
        return nullptr;
    // The cliques listed for the first node hold it: only the rest are tested.
    kv_clique_s *best = nullptr;
    Marked wanted(nodes + 1);
    for (kv_clique_s *c : index->by_node[nodes[0]->index])
        if ((!best || smaller(c->probability_table, best->probability_table)) && wanted.within(c))
            best = c;
    return best;
}

// ---------------------------------------------------------------------------
// Cliques.

// Whether one of the cliques (those holding some member of nodes), other
// than except, holds all of nodes.
static bool contained_in_one(const Vec<kv_clique_s *> &cliques, kv_node_s *const *nodes,
                             const kv_clique_s *except)
{
    Marked wanted(nodes);
    for (kv_clique_s *c : cliques)
        if (c != except && wanted.within(c))
            return true;
    return false;
}

static int create_cliques(kv_domain_s *d)
{
    kv_node_s **order = kv_domain_get_elimination_order(d);
    if (!order)
        return kv_error_code();
    for (kv_node_s **x = order; *x; ++x)
        if (int status = _kv_complete_unnumbered_neighbors(*x))
            return status;
    Vec<kv_node_s *> candidate;
    Vec<Vec<kv_clique_s *>> by_node(d->number_of_nodes + 1); // cliques made so far
    // Links the elimination itself adds: none when the fill-ins were
    // recorded, but a triangulation whose cliques were dropped (a failed
    // compilation keeps only its numbers) gets them back here.
    Vec<Vec<kv_node_s *>> added(d->number_of_nodes + 1);
    auto linked = [&](kv_node_s *a, kv_node_s *b) {
        if (_kv_node_in_list(a->neighbours, b))
            return true;
        for (kv_fill_in_s *f = a->fill_in_links; f; f = f->next)
            if (f->partner == b)
                return true;
        const Vec<kv_node_s *> &extra = added[a->index];
        return std::find(extra.begin(), extra.end(), b) != extra.end();
    };
    for (kv_node_s **x = order; *x; ++x) {
        candidate.assign(1, *x);
        auto take = [&](kv_node_s *u) {
            if (u->elimination_number < (*x)->elimination_number &&
                std::find(candidate.begin(), candidate.end(), u) == candidate.end())
                candidate.push_back(u);
        };
        for (kv_node_s **u = (*x)->neighbours; u && *u; ++u)
            take(*u);
        for (kv_fill_in_s *f = (*x)->fill_in_links; f; f = f->next)
            take(f->partner);
        for (kv_node_s *u : added[(*x)->index])
            take(u);
        for (size_t i = 1; i < candidate.size(); ++i)
            for (size_t j = i + 1; j < candidate.size(); ++j)
                if (!linked(candidate[i], candidate[j])) {
                    added[candidate[i]->index].push_back(candidate[j]);
                    added[candidate[j]->index].push_back(candidate[i]);
                }
        std::sort(candidate.begin(), candidate.end(), [](kv_node_s *a, kv_node_s *b) {
            return a->elimination_number < b->elimination_number;
        });
        candidate.push_back(nullptr);
        if (contained_in_one(by_node[candidate[0]->index], candidate.data(), nullptr))
            continue;
        kv_table_s *t = _kv_create_table(d, candidate.data(), KV_PROBABILITY, KV_ROLE_CLIQUE, 1, 0);
        if (!t)
            return kv_error_code();
        if (int status = _kv_make_clique(t))
            return status;
        for (kv_node_s **m = t->nodes; *m; ++m)
            by_node[(*m)->index].push_back(d->first_clique);
    }
    return kv_error_none;
}

// Orders the cliques so that each one's intersection with those before it
// lies inside one of them.
static int reorder_cliques(kv_domain_s *d)
{
    if (!d->first_clique || !d->first_clique->next)
        return kv_error_none;
    kv_node_s **order = kv_domain_get_elimination_order(d);
    if (!order)
        return kv_error_code();
    kv_clique_s *remaining = d->first_clique, *output = nullptr;
    size_t left = d->number_of_cliques;
    // The remaining cliques holding each node, in list order; positions
    // stand in for the numbers until the final numbering.
    Vec<Vec<kv_clique_s *>> by_node(d->number_of_nodes + 1);
    size_t position = 0;
    for (kv_clique_s *c = remaining; c; c = c->next) {
        c->number = position++;
        for (kv_node_s **m = c->probability_table->nodes; *m; ++m)
            by_node[(*m)->index].push_back(c);
    }
    Vec<char> moved(position, 0);
    Vec<kv_clique_s *> before(position, nullptr); // by position: the previous remaining clique
    for (kv_clique_s *c = remaining; c && c->next; c = c->next)
        before[c->next->number] = c;
    Vec<kv_node_s *> s;
    bool done = false;
    for (kv_node_s **x = order; *x && !done; ++x) {
        // The smallest remaining clique holding x, the first among equals.
        kv_clique_s *k = nullptr;
        for (kv_clique_s *c : by_node[(*x)->index])
            if (!moved[c->number] && (!k || smaller(c->probability_table, k->probability_table)))
                k = c;
        if (!k)
            continue;
        s.clear();
        for (kv_node_s **m = k->probability_table->nodes; *m; ++m)
            if ((*m)->elimination_number < (*x)->elimination_number)
                s.push_back(*m);
        s.push_back(nullptr);
        // Another remaining clique must hold s; with s empty any will do,
        // and at least one other remains while the loop runs.
        bool contained = !s[0];
        const Vec<kv_clique_s *> &holders = s[0] ? by_node[s[0]->index] : by_node[0];
        {
            Marked wanted(s.data());
            for (kv_clique_s *b : holders)
                if (b != k && !moved[b->number] && wanted.within(b)) {
                    contained = true;
                    break;
                }
        }
        if (!contained)
            continue;
        kv_clique_s *b = before[k->number];
        (b ? b->next : remaining) = k->next;
        if (k->next)
            before[k->next->number] = b;
        moved[k->number] = 1;
        k->next = output;
        output = k;
        if (--left == 1) {
            remaining->next = output;
            d->first_clique = remaining;
            done = true;
        }
    }
    if (!done) {
        // Put back whatever was moved so that uncompilation frees it all.
        kv_clique_s *tail = remaining;
        while (tail->next)
            tail = tail->next;
        tail->next = output;
        d->first_clique = remaining;
        return _kv_set_error_code(kv_error_error);
    }
    size_t number = d->number_of_cliques;
    for (kv_clique_s *c = d->first_clique; c; c = c->next)
        c->number = number--;
    return kv_error_none;
}

static int report_table_size(kv_domain_s *d, const kv_table_s *t)
{
    if (int status = _kv_log(d, "%s", _kv_print_size(d, t->size)))
        return status;
    size_t cg = _kv_size_multiply(t->size, t->cg_size);
    if (cg != 0)
        return _kv_log(d, " + %s", _kv_print_size(d, cg));
    return kv_error_none;
}

static int report_clique_sizes(kv_domain_s *d)
{
    if (!d->log_file)
        return kv_error_none;
    if (int status = _kv_log(d, "\n\nCliques:\n"))
        return status;
    size_t total = 0;
    for (kv_clique_s *c = d->first_clique; c; c = c->next) {
        kv_table_s *t = c->probability_table;
        size_t members = _kv_node_list_length(t->nodes);
        if (int status = _kv_log(d, "\nClique %s, %s member%s, table size = ", _kv_print_size(d, c->number),
                                 _kv_print_size(d, members), members == 1 ? "" : "s"))
            return status;
        if (int status = report_table_size(d, t))
            return status;
        if (int status = _kv_log(d, ":\n"))
            return status;
        if (int status = _kv_write_node_list_to_log(d, t->nodes, members, "    ", 75))
            return status;
        total = _kv_size_add(total, _kv_size_add(t->size, _kv_size_multiply(t->size, t->cg_size)));
    }
    return _kv_log(d, "\nTotal clique table size: %s\n", _kv_print_size(d, total));
}

int _kv_prepare_cliques(kv_domain_s *d, bool reorder)
{
    if (!d->first_clique)
        if (int status = create_cliques(d))
            return status;
    if (reorder)
        if (int status = reorder_cliques(d))
            return status;
    return report_clique_sizes(d);
}

// ---------------------------------------------------------------------------
// The forest.

int _kv_build_junction_forest(kv_domain_s *d)
{
    if (int status = _kv_log(d, "\n\nThe junction forest:\n"))
        return status;
    Vec<kv_node_s *> sep;
    Vec<char> seen(d->number_of_nodes + 1, 0); // by node index: met in an earlier clique
    Vec<Vec<kv_clique_s *>> by_node(d->number_of_nodes + 1); // earlier cliques, in list order
    for (kv_clique_s *k = d->first_clique; k; k = k->next) {
        for (kv_node_s **m = k->probability_table->nodes; *m; ++m)
            by_node[(*m)->index].push_back(k);
        sep.clear();
        for (kv_node_s **m = k->probability_table->nodes; *m; ++m)
            if (seen[(*m)->index])
                sep.push_back(*m);
        for (kv_node_s **m = k->probability_table->nodes; *m; ++m)
            seen[(*m)->index] = 1;
        if (sep.empty()) {
            if (!_kv_new_junction_tree(k))
                return kv_error_code();
            if (int status = _kv_log(d, "\nCreating junction tree with clique %s as root ...\n",
                                     _kv_print_size(d, k->number)))
                return status;
            continue;
        }
        sep.push_back(nullptr);
        kv_table_s *su = nullptr, *sp;
        if (k->utility_table) {
            su = _kv_create_table(d, sep.data(), KV_UTILITY, KV_ROLE_SEPARATOR, 0, 0);
            if (!su)
                return kv_error_code();
        }
        sp = _kv_create_table(d, sep.data(), KV_PROBABILITY, KV_ROLE_SEPARATOR, 0, 0);
        if (!sp)
            return kv_error_code();
        // The smallest earlier clique holding the separator, the first
        // among equals.
        kv_clique_s *p = nullptr;
        {
            Marked wanted(sep.data());
            for (kv_clique_s *c : by_node[sep[0]->index])
                if (c != k && (!p || smaller(c->probability_table, p->probability_table)) && wanted.within(c))
                    p = c;
        }
        if (!p)
            return _kv_set_error_code(kv_error_error);
        kv_control_s *cp = _kv_create_control(p->probability_table, p->utility_table, sp, su);
        if (!cp)
            return kv_error_code();
        kv_control_s *ck = _kv_create_control(k->probability_table, k->utility_table, sp, su);
        if (!ck)
            return kv_error_code();
        if (int status = _kv_add_neighbor(p, k, cp))
            return status;
        if (int status = _kv_add_neighbor(k, p, ck))
            return status;
        join_tree(k, p->junction_tree);
        if (d->log_file) {
            size_t members = sep.size() - 1;
            if (int status = _kv_log(d, "\nCliques %s and %s linked, ", _kv_print_size(d, p->number),
                                     _kv_print_size(d, k->number)))
                return status;
            if (int status = _kv_log(d, "separator has %s member%s and table size = ",
                                     _kv_print_size(d, members), members == 1 ? "" : "s"))
                return status;
            if (int status = report_table_size(d, sp))
                return status;
            if (int status = _kv_log(d, ":\n"))
                return status;
            if (int status = _kv_write_node_list_to_log(d, sp->nodes, members, "    ", 75))
                return status;
        }
    }
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Tree members.

int _kv_index_tree_cliques(kv_domain_s *d)
{
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        jt->clique_count = 0;
    for (kv_clique_s *c = d->first_clique; c; c = c->next)
        ++c->junction_tree->clique_count;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
        size_t n = jt->clique_count;
        jt->cliques = kv::allocate_array<kv_clique_s *>(n + 1);
        jt->walk_order = kv::allocate_array<kv_clique_s *>(n + 1);
        jt->walk_stack = kv::allocate_array<kv_walk_frame_s>(n);
        if (!jt->cliques || !jt->walk_order || !jt->walk_stack)
            return kv_error_no_memory;
        jt->clique_count = 0;
    }
    for (kv_clique_s *c = d->first_clique; c; c = c->next) {
        kv_junction_tree_s *jt = c->junction_tree;
        jt->cliques[jt->clique_count++] = c;
    }
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
        jt->cliques[jt->clique_count] = nullptr;
        size_t k = 0;
        _kv_jt_walk(
            jt, jt->root,
            [&](kv_walk_frame_s &f) {
                jt->walk_order[k++] = f.clique;
                return 0;
            },
            [](kv_walk_frame_s &, kv_walk_frame_s *) { return 0; });
        jt->walk_order[k] = nullptr;
    }
    return kv_error_none;
}

static bool takes_potential(const kv_node_s *n)
{
    return n->potential_control && n->category != kv_category_decision && n->junction_tree;
}

// Nodes with their children first: every node after all of its
// descendants that the walk from an earlier node did not reach first.
// The marks are left clear.
static void children_first(kv_domain_s *d, std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> &order)
{
    struct Frame {
        kv_node_s *node;
        kv_node_s **next;
    };
    std::vector<Frame, kv::ScratchAlloc<Frame>> stack;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (n->mark)
            continue;
        n->mark = 1;
        stack.push_back({n, n->children});
        while (!stack.empty()) {
            Frame &f = stack.back();
            kv_node_s *c = f.next ? *f.next : nullptr;
            if (c) {
                ++f.next;
                if (!c->mark) {
                    c->mark = 1;
                    stack.push_back({c, c->children});
                }
                continue;
            }
            order.push_back(f.node);
            stack.pop_back();
        }
    }
    for (kv_node_s *n : order)
        n->mark = 0;
}

int _kv_index_tree_nodes(kv_domain_s *d)
{
    std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> order;
    children_first(d, order);
    size_t trees = d->number_of_junction_trees + 1;
    std::vector<size_t, kv::ScratchAlloc<size_t>> count(2 * trees, 0);
    size_t *members = count.data(), *potentials = count.data() + trees;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (n->junction_tree) {
            ++members[n->junction_tree->number];
            potentials[n->junction_tree->number] += takes_potential(n);
        }
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
        size_t k = jt->number;
        std::free(jt->nodes);
        std::free(jt->potential_order);
        jt->nodes = kv::allocate_array<kv_node_s *>(members[k] + 1);
        jt->potential_order = kv::allocate_array<kv_node_s *>(potentials[k] + 1);
        if (!jt->nodes || !jt->potential_order)
            return kv_error_no_memory;
        jt->nodes[members[k]] = jt->potential_order[potentials[k]] = nullptr;
        members[k] = potentials[k] = 0;
    }
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (kv_junction_tree_s *jt = n->junction_tree)
            jt->nodes[members[jt->number]++] = n;
    for (kv_node_s *n : order)
        if (takes_potential(n))
            n->junction_tree->potential_order[potentials[n->junction_tree->number]++] = n;
    return kv_error_none;
}

// The first clique of the walk from the root that holds n.
static kv_clique_s *first_in_walk(const kv_junction_tree_s *jt, kv_node_s *n)
{
    for (kv_clique_s **c = jt->walk_order; *c; ++c)
        if (_kv_node_in_list((*c)->probability_table->nodes, n))
            return *c;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Per-node structures.

int _kv_create_node_data_structures(kv_domain_s *d, const kv_clique_index_s *index)
{
    // The smallest separator holding each node, links visited clique by
    // clique, each from its lower-numbered end, the first found on ties.
    Vec<kv_neighbor_s *> smallest_separator(d->number_of_nodes + 1, nullptr);
    for (kv_clique_s *c = d->first_clique; c; c = c->next)
        for (kv_neighbor_s *b = c->neighbors; b; b = b->next) {
            if (b->clique->number < c->number)
                continue;
            kv_table_s *t = b->control->small_probability;
            for (kv_node_s **m = t->nodes; *m; ++m) {
                kv_neighbor_s *&slot = smallest_separator[(*m)->index];
                if (!slot || smaller(t, slot->control->small_probability))
                    slot = b;
            }
        }
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (n->category != kv_category_chance && n->category != kv_category_decision)
            continue;
        kv_node_s *single[] = {n, nullptr};
        kv_clique_s *clique;
        kv_table_s *sp, *su;
        if (n->category == kv_category_chance) {
            clique = _kv_index_select_clique(index, single);
            if (!clique)
                return _kv_set_error_code(kv_error_error);
            sp = clique->probability_table;
            su = clique->utility_table;
            if (kv_neighbor_s *b = smallest_separator[n->index]) {
                sp = b->control->small_probability;
                su = b->control->small_utility;
            }
        } else {
            clique = n->junction_tree ? first_in_walk(n->junction_tree, n) : nullptr;
            if (!clique)
                return _kv_set_error_code(kv_error_error);
            sp = clique->probability_table;
            su = clique->utility_table;
        }
        n->belief_table = _kv_create_table(d, single, KV_PROBABILITY, KV_ROLE_BELIEF, 0, 0);
        if (!n->belief_table)
            return kv_error_code();
        if (su) {
            n->utility_belief_table = _kv_create_table(d, single, KV_UTILITY, KV_ROLE_BELIEF, 0, 0);
            if (!n->utility_belief_table)
                return kv_error_code();
        }
        n->belief_control = _kv_create_control(sp, su, n->belief_table, n->utility_belief_table);
        if (!n->belief_control)
            return kv_error_code();
        if (n->kind != kv_kind_discrete)
            continue;
        n->entered_state = n->number_of_states == 1 ? 0 : -1; // nothing propagated yet
        n->finding_clique = clique;
        n->evidence_table = _kv_create_table(d, single, KV_PROBABILITY, KV_ROLE_EVIDENCE, 0, 0);
        if (!n->evidence_table)
            return kv_error_code();
        n->evidence_control = _kv_create_control(clique->probability_table, clique->utility_table,
                                                 n->evidence_table, nullptr);
        if (!n->evidence_control)
            return kv_error_code();
        if (n->number_of_states > 1 && !n->entered_finding) {
            n->entered_finding = kv::allocate_array<double>(n->number_of_states);
            if (!n->entered_finding)
                return kv_error_no_memory;
            for (size_t s = 0; s < n->number_of_states; ++s)
                n->entered_finding[s] = 1.0;
        }
    }
    return kv_error_none;
}
