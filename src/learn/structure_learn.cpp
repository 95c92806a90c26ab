// Structure learning from the case data: the PC algorithm, and the NPC
// variant whose graph stays in the domain until its uncertain edges are
// decided.
//
// The necessary path condition: an independence of X and Y given S is
// explained by the graph when every Z of S is joined to X by a path that
// avoids Y and to Y by a path that avoids X.  A pair whose independence
// no minimal separating set explains is uncertain, and so are the absent
// pairs (X, Z) and (Z, Y) whose links would explain it; uncertain edges
// that depend on each other form an ambiguous region.
#include <algorithm>
#include <bit>

#include "core/api.h"
#include "pdag.h"

using namespace kv::learn;

static void free_solutions(kv_solution_s *s)
{
    while (s) {
        kv_solution_s *next = s->next;
        destroy(s);
        s = next;
    }
}

kv_ambiguous_region_s::~kv_ambiguous_region_s()
{
    free_solutions(first_solution);
}

void _kv_discard_structure_learning(kv_domain_s *d)
{
    destroy(d->learned_graph);
    d->learned_graph = nullptr;
    destroy(d->test_results);
    d->test_results = nullptr;
}

namespace {

// Whether a path joins a and b in the present edges plus `extra` (pairs
// included by a trial), avoiding `avoid`.
bool joined(Graph &g, size_t a, size_t b, size_t avoid, const Vec<std::pair<size_t, size_t>> &extra)
{
    Vec<unsigned char> seen(g.n, 0);
    Vec<size_t> stack{a};
    seen[a] = 1;
    seen[avoid] = 1;
    while (!stack.empty()) {
        size_t v = stack.back();
        stack.pop_back();
        if (v == b)
            return true;
        auto visit = [&](size_t w) {
            if (!seen[w])
                seen[w] = 1, stack.push_back(w);
        };
        for (size_t w = 0; w < g.n; ++w)
            if (g.adjacent(v, w))
                visit(w);
        for (auto [p, q] : extra) {
            if (p == v)
                visit(q);
            else if (q == v)
                visit(p);
        }
    }
    return false;
}

// Whether some minimal accepted separating set of the pair is explained.
// `failing` receives the unexplained links of the first minimal set.
bool explained(Graph &g, size_t x, size_t y, const Vec<std::pair<size_t, size_t>> &extra,
               Vec<size_t> *failing)
{
    PairRecord &p = g.r.pair(x, y);
    bool first = true;
    for (const TestRecord &t : p.tests) {
        if (!t.independent || t.conditioning.size() != p.smallest_independence)
            continue;
        bool ok = true;
        for (kv_node_s *m : t.conditioning) {
            size_t z = _kv_creation_index(m);
            bool to_x = joined(g, x, z, y, extra), to_y = joined(g, y, z, x, extra);
            ok = ok && to_x && to_y;
            if (first && failing) {
                if (!to_x)
                    failing->push_back(x < z ? x + z * (z - 1) / 2 : z + x * (x - 1) / 2);
                if (!to_y)
                    failing->push_back(y < z ? y + z * (z - 1) / 2 : z + y * (y - 1) / 2);
            }
        }
        if (ok)
            return true;
        first = false;
    }
    return false;
}

std::pair<size_t, size_t> pair_of(size_t position)
{
    size_t j = 1;
    while ((j + 1) * j / 2 <= position)
        ++j;
    return {position - j * (j - 1) / 2, j};
}

size_t position_of(size_t i, size_t j)
{
    if (i > j)
        std::swap(i, j);
    return i + j * (j - 1) / 2;
}

// Statuses from the tests, then the uncertain edges and what each needs.
void identify_condition_graph(Graph &g)
{
    for (size_t j = 1; j < g.n; ++j)
        for (size_t i = 0; i < j; ++i) {
            PairRecord &p = g.r.pair(i, j);
            Status s = _kv_pair_is_connected(p) ? Status::present : Status::definitely_absent;
            g.pair_status(i, j) = s;
            if (s == Status::present)
                g.at(i, j) = g.at(j, i) = undirected; // for the path searches only
        }
    Vec<size_t> unexplained;
    Vec<Vec<size_t>> needs;
    Vec<std::pair<size_t, size_t>> none;
    for (size_t j = 1; j < g.n; ++j)
        for (size_t i = 0; i < j; ++i) {
            PairRecord &p = g.r.pair(i, j);
            if (g.pair_status(i, j) != Status::definitely_absent || p.number_of_independences == 0 ||
                p.constraint == kv_constraint_edge_forbidden)
                continue;
            Vec<size_t> failing;
            if (explained(g, i, j, none, &failing))
                continue;
            unexplained.push_back(position_of(i, j));
            Vec<size_t> usable;
            for (size_t q : failing) {
                auto [a, b] = pair_of(q);
                PairRecord &e = g.r.pair(a, b);
                if (e.constraint != kv_constraint_edge_forbidden && e.number_of_independences > 0 &&
                    std::find(usable.begin(), usable.end(), q) == usable.end())
                    usable.push_back(q);
            }
            needs.push_back(std::move(usable));
        }
    std::fill(g.adjacency.begin(), g.adjacency.end(), no_edge);
    // Every unexplained pair and every pair that could explain one.
    Vec<size_t> all = unexplained;
    for (const Vec<size_t> &v : needs)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (size_t q : all) {
        auto [a, b] = pair_of(q);
        auto *e = static_cast<kv_uncertain_edge_s *>(kv::raw_allocate(sizeof(kv_uncertain_edge_s)));
        if (!e)
            throw std::bad_alloc();
        *e = {&g, a, b, false};
        try {
            g.uncertain.push_back(e);
        } catch (...) {
            std::free(e);
            throw;
        }
        g.status[q] = Status::uncertain;
        auto it = std::find(unexplained.begin(), unexplained.end(), q);
        g.explainers.push_back(it == unexplained.end() ? Vec<size_t>{} : needs[size_t(it - unexplained.begin())]);
    }
}

// The regions: components of the still uncertain edges under "needs".
void collect_regions(Graph &g, kv_ambiguous_region_s *&first);

// Replaces the graph's regions; on failure the old ones stay.
void build_regions(Graph &g)
{
    kv_ambiguous_region_s *fresh = nullptr;
    try {
        collect_regions(g, fresh);
    } catch (...) {
        free_region_list(fresh);
        throw;
    }
    g.free_regions();
    g.first_region = fresh;
}

void collect_regions(Graph &g, kv_ambiguous_region_s *&first)
{
    size_t m = g.uncertain.size();
    auto find = [&](size_t q) {
        for (size_t k = 0; k < m; ++k)
            if (position_of(g.uncertain[k]->a, g.uncertain[k]->b) == q)
                return k;
        return SIZE_MAX;
    };
    auto open = [&](size_t k) { return g.status[position_of(g.uncertain[k]->a, g.uncertain[k]->b)] == Status::uncertain; };
    // Union-find over the needs relation.
    Vec<size_t> parent(m);
    for (size_t k = 0; k < m; ++k)
        parent[k] = k;
    auto root = [&](size_t k) {
        while (parent[k] != k)
            k = parent[k] = parent[parent[k]];
        return k;
    };
    for (size_t k = 0; k < m; ++k)
        if (open(k))
            for (size_t q : g.explainers[k]) {
                size_t l = find(q);
                if (l != SIZE_MAX && open(l))
                    parent[root(k)] = root(l);
            }
    // Regions in the order of their first edge.
    kv_ambiguous_region_s **tail = &first;
    for (size_t k = 0; k < m; ++k) {
        if (!open(k) || root(k) != k)
            continue;
        auto *region = create<kv_ambiguous_region_s>();
        region->graph = &g;
        *tail = region;
        tail = &region->next;
        for (size_t l = 0; l < m; ++l)
            if (open(l) && root(l) == k)
                region->edges.push_back(g.uncertain[l]);
        region->edges.push_back(nullptr);
    }
}

// Skeleton and orientation again from the statuses, without logging.
void rebuild_orientation(Graph &g)
{
    bool logging = g.logging;
    g.logging = false;
    std::fill(g.adjacency.begin(), g.adjacency.end(), no_edge);
    g.edges.clear();
    g.identify_skeleton();
    g.identify_colliders();
    g.identify_derived_directions();
    g.apply_manual_directions();
    g.logging = logging;
}

// What the edits of a kept graph change, copied before one starts so that
// a failure puts the graph back as it was.
struct Snapshot {
    Vec<unsigned char> adjacency;
    Vec<std::pair<size_t, size_t>> edges;
    Vec<Status> status;
    Vec<std::pair<size_t, size_t>> manual_directions;
    Vec<unsigned char> manual;

    explicit Snapshot(Graph &g)
        : adjacency(g.adjacency), edges(g.edges), status(g.status), manual_directions(g.manual_directions)
    {
        for (kv_uncertain_edge_s *e : g.uncertain)
            manual.push_back(e->manual);
    }

    void restore(Graph &g)
    {
        g.adjacency.swap(adjacency);
        g.edges.swap(edges);
        g.status.swap(status);
        g.manual_directions.swap(manual_directions);
        for (size_t k = 0; k < manual.size(); ++k)
            g.uncertain[k]->manual = manual[k] != 0;
    }
};

// Runs an edit of the graph; a failure (an exception or a nonzero status)
// restores the graph and is returned.
template <class Edit> int edit_graph(Graph &g, Edit edit)
{
    Snapshot before(g);
    int status;
    try {
        status = edit();
    } catch (const std::bad_alloc &) {
        status = kv_error_no_memory;
    }
    if (status)
        before.restore(g);
    return _kv_set_error_code(status);
}

bool learnable(kv_domain_s *d)
{
    if (_kv_domain_is_class(d) || d->chain_blocks)
        return false;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (n->category != kv_category_chance || n->kind != kv_kind_discrete ||
            (n->parents && n->parents[0]))
            return false;
    return true;
}

bool requires_links(kv_domain_s *d)
{
    for (kv_node_s *n = d->first_node; n; n = n->next)
        for (kv_edge_constraint_s *e = n->constraints; e; e = e->next)
            if (e->constraint >= kv_constraint_edge_required &&
                e->constraint <= kv_constraint_backward_edge_required)
                return true;
    return false;
}

int finish(kv_domain_s *d, Graph &g)
{
    if (g.log_status)
        return _kv_set_error_code(g.log_status);
    if (d->log_file && _kv_domain_flush_log_file(d))
        return _kv_set_error_code(kv_error_io);
    return g.add_links();
}

// Frees what a failed run made and returns its error code.
int fail(kv_domain_s *d, Graph *g, int status)
{
    destroy(g);
    if (d->learned_graph == g)
        d->learned_graph = nullptr;
    _kv_discard_structure_learning(d);
    return _kv_set_error_code(status);
}

int learn_structure(kv_domain_s *d)
{
    _kv_discard_structure_learning(d);
    d->npc_mode = 0;
    Graph *g = nullptr;
    try {
        _kv_domain_learn_dependencies(d, 3);
        if (d->test_results->number_of_tests == 0 && !requires_links(d))
            return _kv_set_error_code(kv_error_none);
        g = create<Graph>(d, *d->test_results);
        g->identify_skeleton();
        g->identify_colliders();
        g->log_admissibility();
        g->identify_derived_directions();
        g->complete_orientation();
        if (int status = finish(d, *g))
            return fail(d, g, status);
    } catch (const std::bad_alloc &) {
        return fail(d, g, kv_error_no_memory);
    }
    destroy(g);
    return _kv_set_error_code(kv_error_none);
}

int domain_learn_graph(kv_domain_s *d)
{
    _kv_discard_structure_learning(d);
    Graph *g = nullptr;
    d->npc_mode = 1;
    try {
        _kv_domain_learn_dependencies(d, 3);
        g = create<Graph>(d, *d->test_results);
        g->npc = true;
        identify_condition_graph(*g);
        g->identify_skeleton();
        g->identify_colliders();
        g->log_admissibility();
        g->identify_derived_directions();
        build_regions(*g);
    } catch (const std::bad_alloc &) {
        d->npc_mode = 0;
        return fail(d, g, kv_error_no_memory);
    }
    d->npc_mode = 0;
    if (g->log_status)
        return fail(d, g, g->log_status);
    d->learned_graph = g;
    return _kv_set_error_code(kv_error_none);
}

} // namespace

kv_status_t kv_domain_learn_structure(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !learnable(d)))
        return kv_error_usage;
    return kv::guard_status([&] { return learn_structure(d); });
}

kv_status_t kv_domain_learn_structure_npc(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !learnable(d)))
        return kv_error_usage;
    return kv::guard_status([&] { return domain_learn_graph(d); });
}

kv_ambiguous_region_t kv_domain_get_first_ambiguous_region(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !d->learned_graph))
        return nullptr;
    return d->learned_graph->first_region;
}

kv_ambiguous_region_t kv_ambiguous_region_get_next(kv_ambiguous_region_t region)
{
    if (_kv_set_error_code(!region))
        return nullptr;
    return region->next;
}

kv_uncertain_edge_t *kv_ambiguous_region_get_edges(kv_ambiguous_region_t region)
{
    if (_kv_set_error_code(!region))
        return nullptr;
    return region->edges.data();
}

kv_node_t kv_uncertain_edge_get_first_node(kv_uncertain_edge_t edge)
{
    if (_kv_set_error_code(!edge))
        return nullptr;
    return edge->graph->r.nodes[edge->a];
}

kv_node_t kv_uncertain_edge_get_second_node(kv_uncertain_edge_t edge)
{
    if (_kv_set_error_code(!edge))
        return nullptr;
    return edge->graph->r.nodes[edge->b];
}

// Regions of more edges than this get the one solution that includes
// every unexplained edge instead of an enumeration.
static constexpr size_t enumeration_limit = 16;

// Finds the region's solutions anew; the path searches use the present
// edges only, and the orientation is rebuilt afterwards.
static int find_minimal_solutions(kv_ambiguous_region_s *region)
{
    Graph &g = *region->graph;
    Vec<kv_uncertain_edge_s *> edges(region->edges.begin(), region->edges.end() - 1);
    size_t m = edges.size();
    // Present edges for the path searches.
    std::fill(g.adjacency.begin(), g.adjacency.end(), no_edge);
    for (size_t j = 1; j < g.n; ++j)
        for (size_t i = 0; i < j; ++i)
            if (g.pair_status(i, j) == Status::present)
                g.at(i, j) = g.at(j, i) = undirected;
    auto solves = [&](uint32_t mask) {
        Vec<std::pair<size_t, size_t>> extra;
        for (size_t k = 0; k < m; ++k)
            if (mask >> k & 1)
                extra.push_back({edges[k]->a, edges[k]->b});
        for (size_t k = 0; k < m; ++k)
            if (!(mask >> k & 1) && g.r.pair(edges[k]->a, edges[k]->b).number_of_independences &&
                !explained(g, edges[k]->a, edges[k]->b, extra, nullptr))
                return false;
        return true;
    };
    Vec<uint32_t> found;
    if (m <= enumeration_limit) {
        Vec<uint32_t> masks;
        for (uint32_t mask = 0; mask < (uint32_t(1) << m); ++mask)
            masks.push_back(mask);
        std::stable_sort(masks.begin(), masks.end(),
                         [](uint32_t a, uint32_t b) { return std::popcount(a) < std::popcount(b); });
        for (uint32_t mask : masks) {
            bool covers = false;
            for (uint32_t f : found)
                covers = covers || (f & mask) == f;
            if (!covers && solves(mask))
                found.push_back(mask);
        }
    }
    kv_solution_s *first = nullptr, **tail = &first;
    auto add = [&](auto include) {
        auto *s = create<kv_solution_s>();
        *tail = s;
        tail = &s->next;
        for (size_t k = 0; k < m; ++k)
            if (include(k))
                s->edges.push_back(edges[k]);
        s->edges.push_back(nullptr);
    };
    try {
        if (m > enumeration_limit) {
            Vec<std::pair<size_t, size_t>> none;
            add([&](size_t k) { return !explained(g, edges[k]->a, edges[k]->b, none, nullptr); });
        } else {
            for (uint32_t f : found)
                add([&](size_t k) { return (f >> k & 1) != 0; });
        }
        rebuild_orientation(g);
    } catch (...) {
        free_solutions(first);
        throw;
    }
    free_solutions(region->first_solution);
    region->first_solution = first;
    return 0;
}

kv_status_t kv_ambiguous_region_find_minimal_solutions(kv_ambiguous_region_t region)
{
    if (_kv_set_error_code(!region))
        return kv_error_usage;
    return kv::guard_status([&] { return edit_graph(*region->graph, [&] { return find_minimal_solutions(region); }); });
}

kv_solution_t kv_ambiguous_region_get_first_solution(kv_ambiguous_region_t region)
{
    if (_kv_set_error_code(!region))
        return nullptr;
    return region->first_solution;
}

kv_solution_t kv_solution_get_next(kv_solution_t solution)
{
    if (_kv_set_error_code(!solution))
        return nullptr;
    return solution->next;
}

kv_uncertain_edge_t *kv_solution_get_edges(kv_solution_t solution)
{
    if (_kv_set_error_code(!solution))
        return nullptr;
    return solution->edges.data();
}

kv_status_t kv_uncertain_edge_manual_decision(kv_uncertain_edge_t edge, kv_boolean_t include)
{
    if (_kv_set_error_code(!edge))
        return kv_error_usage;
    Graph &g = *edge->graph;
    Status &s = g.pair_status(edge->a, edge->b);
    if (_kv_set_error_code(s != Status::uncertain))
        return kv_error_usage;
    return kv::guard_status([&] {
        return edit_graph(g, [&] {
            g.pair_status(edge->a, edge->b) = include ? Status::present : Status::decided_absent;
            edge->manual = true;
            g.log("\nManual decision: ");
            g.log(include ? "%s - %s included\n" : "%s - %s excluded\n", g.name(edge->a), g.name(edge->b));
            rebuild_orientation(g);
            build_regions(g);
            int status = g.log_status;
            g.log_status = 0;
            return status;
        });
    });
}

kv_status_t kv_domain_undo_manual_decisions(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !d->learned_graph))
        return kv_error_usage;
    return kv::guard_status([&] {
        Graph &g = *d->learned_graph;
        return edit_graph(g, [&] {
            for (kv_uncertain_edge_s *e : g.uncertain)
                if (e->manual) {
                    e->manual = false;
                    g.pair_status(e->a, e->b) = Status::uncertain;
                }
            g.manual_directions.clear();
            rebuild_orientation(g);
            build_regions(g);
            return 0;
        });
    });
}

kv_status_t kv_domain_decide_automatically(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !d->learned_graph))
        return kv_error_usage;
    return kv::guard_status([&] {
        // Like a failed learning run, a failure frees the graph and the test
        // results; add_links has taken back the links it made.
        Graph *g = d->learned_graph;
        int status;
        try {
            for (kv_uncertain_edge_s *e : g->uncertain)
                if (g->pair_status(e->a, e->b) == Status::uncertain)
                    g->pair_status(e->a, e->b) = Status::decided_absent;
            g->log("\nDeciding automatically:\n");
            bool logging = g->logging;
            g->logging = false;
            std::fill(g->adjacency.begin(), g->adjacency.end(), no_edge);
            g->edges.clear();
            g->identify_skeleton();
            g->logging = logging;
            g->identify_colliders();
            g->apply_manual_directions();
            g->identify_derived_directions();
            g->complete_orientation();
            status = finish(d, *g);
        } catch (const std::bad_alloc &) {
            status = kv_error_no_memory;
        }
        if (status)
            return fail(d, g, status);
        d->learned_graph = nullptr;
        destroy(g);
        return _kv_set_error_code(kv_error_none);
    });
}

static bool in_graph(kv_node_s *n)
{
    Graph *g = n->home->learned_graph;
    return g && _kv_creation_index(n) < g->n && g->r.nodes[_kv_creation_index(n)] == n;
}

static kv_node_t *node_list(kv_node_s *n, bool parents)
{
    Graph &g = *n->home->learned_graph;
    if (g.parent_lists.empty()) {
        g.parent_lists.resize(g.n);
        g.neighbour_lists.resize(g.n);
    }
    size_t v = _kv_creation_index(n);
    Vec<kv_node_s *> &list = parents ? g.parent_lists[v] : g.neighbour_lists[v];
    list.clear();
    for (size_t w = 0; w < g.n; ++w)
        if (parents ? g.directed(w, v) : g.is_undirected(v, w))
            list.push_back(g.r.nodes[w]);
    list.push_back(nullptr);
    return list.data();
}

kv_node_t *kv_node_get_pdag_parents(kv_node_t n)
{
    if (_kv_set_error_code(!n || !in_graph(n)))
        return nullptr;
    return kv::guard_ptr([&] { return node_list(n, true); });
}

kv_node_t *kv_node_get_pdag_neighbors(kv_node_t n)
{
    if (_kv_set_error_code(!n || !in_graph(n)))
        return nullptr;
    return kv::guard_ptr([&] { return node_list(n, false); });
}

kv_status_t kv_node_add_pdag_parent(kv_node_t n, kv_node_t parent)
{
    if (_kv_set_error_code(!n || !parent || n == parent || n->home != parent->home || !in_graph(n) ||
                           !in_graph(parent)))
        return kv_error_usage;
    Graph &g = *n->home->learned_graph;
    size_t child = _kv_creation_index(n), p = _kv_creation_index(parent);
    if (_kv_set_error_code(!g.adjacent(child, p)))
        return kv_error_usage;
    return kv::guard_status([&] {
        g.manual_directions.push_back({p, child});
        rebuild_orientation(g);
        g.log("\nManual decision: ");
        if (g.directed(p, child))
            g.log("%s <- %s\n", g.name(child), g.name(p));
        else
            g.log("%s -> %s to maintain acyclicity\n", g.name(child), g.name(p));
        int status = g.log_status;
        g.log_status = 0;
        return _kv_set_error_code(status);
    });
}
