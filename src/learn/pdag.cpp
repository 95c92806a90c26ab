// Orienting the learned graph: skeleton, colliders, the four orientation
// rules, the admissibility test and the completion to a DAG, and the
// transfer of its edges to the domain.
#include "pdag.h"

#include <cstdarg>
#include <cstdio>

#include "core/error.h"

namespace kv::learn {

Graph::Graph(kv_domain_s *domain, TestResults &results)
    : d(domain), r(results), n(results.number_of_nodes), adjacency(n * n, no_edge),
      status(results.pairs.size(), Status::none)
{
}

Graph::~Graph()
{
    free_regions();
    for (kv_uncertain_edge_s *e : uncertain)
        std::free(e);
}

void free_region_list(kv_ambiguous_region_s *r)
{
    while (r) {
        kv_ambiguous_region_s *next = r->next;
        destroy(r);
        r = next;
    }
}

void Graph::free_regions()
{
    free_region_list(first_region);
    first_region = nullptr;
}

bool Graph::surely_absent(size_t i, size_t j)
{
    if (adjacent(i, j))
        return false;
    if (!npc)
        return true;
    Status s = pair_status(i, j);
    return s == Status::decided_absent || s == Status::definitely_absent;
}

const char *Graph::name(size_t v)
{
    return kv_node_get_name(r.nodes[v]);
}

void Graph::log(const char *format, ...)
{
    if (!logging || !d->log_file || log_status)
        return;
    va_list args;
    va_start(args, format);
    if (std::vfprintf(d->log_file, format, args) < 0)
        log_status = kv_error_io;
    va_end(args);
}

void Graph::add_undirected(size_t i, size_t j)
{
    at(i, j) = at(j, i) = undirected;
    edges.push_back({i, j});
}

void Graph::set_direction(size_t from, size_t to)
{
    at(from, to) = tail;
    at(to, from) = head;
}

bool Graph::closes_cycle(size_t a, size_t b)
{
    // A path b ~> a along directed edges.
    if (a == b)
        return true;
    Vec<unsigned char> seen(n, 0);
    Vec<size_t> stack{b};
    seen[b] = 1;
    while (!stack.empty()) {
        size_t v = stack.back();
        stack.pop_back();
        const unsigned char *row = &adjacency[v * n];
        for (size_t w = 0; w < n; ++w)
            if (row[w] == tail && !seen[w]) {
                if (w == a)
                    return true;
                seen[w] = 1;
                stack.push_back(w);
            }
    }
    return false;
}

namespace {

// The direction a constraint as seen from i fixes for the pair (i, j):
// 1 for i -> j, -1 for j -> i, 0 for none.
int constrained_direction(int constraint)
{
    switch (constraint) {
    case kv_constraint_forward_edge_required:
    case kv_constraint_backward_edge_forbidden:
        return 1;
    case kv_constraint_backward_edge_required:
    case kv_constraint_forward_edge_forbidden:
        return -1;
    default:
        return 0;
    }
}

} // namespace

static void create_directed_skeleton_edge(Graph &g, size_t from, size_t to)
{
    g.add_undirected(from, to);
    if (g.closes_cycle(from, to)) {
        g.set_direction(to, from);
        g.log("%s <- %s to maintain acyclicity (constraint violated)\n", g.name(from), g.name(to));
    } else {
        g.set_direction(from, to);
        g.log("%s -> %s (constraint)\n", g.name(from), g.name(to));
    }
}

void Graph::identify_skeleton()
{
    log("\nIdentifying skeleton:\n");
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            PairRecord &p = r.pair(i, j);
            if (npc) {
                if (pair_status(i, j) != Status::present)
                    continue;
                log("(%s,%s) is definitely present\n", name(i), name(j));
            } else if (!_kv_pair_is_connected(p)) {
                continue;
            }
            int direction = constrained_direction(p.constraint);
            if (direction > 0)
                create_directed_skeleton_edge(*this, i, j);
            else if (direction < 0)
                create_directed_skeleton_edge(*this, j, i);
            else
                add_undirected(i, j);
        }
    log("%s edges out of %s\n", _kv_print_size(d, edges.size()), _kv_print_size(d, n * (n ? n - 1 : 0) / 2));
}

// Whether the pair has an accepted independence, and none of its accepted
// separating sets holds z.
static bool separated_without(Graph &g, size_t x, size_t y, size_t z)
{
    PairRecord &p = g.r.pair(x, y);
    if (p.number_of_independences == 0)
        return false;
    kv_node_s *node = g.r.nodes[z];
    for (const TestRecord &t : p.tests)
        if (t.independent)
            for (kv_node_s *m : t.conditioning)
                if (m == node)
                    return false;
    return true;
}

void Graph::identify_colliders()
{
    log("\nIdentifying colliders:\n");
    for (size_t z = 0; z < n; ++z)
        for (size_t x = 0; x < n; ++x)
            for (size_t y = 0; y < n; ++y) {
                // Both orders of x and y: the first edge may already point
                // into z.
                if (x == y || x == z || y == z)
                    continue;
                if (!(is_undirected(x, z) || directed(x, z)) || !is_undirected(z, y))
                    continue;
                if (!surely_absent(x, y) || !separated_without(*this, x, y, z))
                    continue;
                bool first_was_undirected = is_undirected(x, z);
                set_direction(x, z);
                set_direction(y, z);
                log("R0: %s -> %s <- %s", name(x), name(z), name(y));
                // Both new arrows point into z: a cycle runs through z and
                // back to x or y.
                if (closes_cycle(x, z) || closes_cycle(y, z)) {
                    if (first_was_undirected)
                        at(x, z) = at(z, x) = undirected;
                    at(y, z) = at(z, y) = undirected;
                    log(". Ignored to maintain acyclicity");
                }
                log("\n");
            }
}

void Graph::log_admissibility()
{
    // Dor and Tarsi: remove sinks whose undirected neighbours are adjacent
    // to all their other neighbours; an extension exists when every vertex
    // goes.
    Vec<unsigned char> alive(n, 1);
    size_t left = n;
    bool progress = true;
    while (left && progress) {
        progress = false;
        for (size_t x = 0; x < n && !progress; ++x) {
            if (!alive[x])
                continue;
            bool sink = true, fits = true;
            for (size_t y = 0; y < n && sink; ++y)
                sink = !(alive[y] && directed(x, y));
            for (size_t y = 0; y < n && sink && fits; ++y) {
                if (!alive[y] || !is_undirected(x, y))
                    continue;
                for (size_t w = 0; w < n && fits; ++w)
                    fits = !(alive[w] && w != y && adjacent(x, w) && !adjacent(y, w));
            }
            if (sink && fits) {
                alive[x] = 0, --left, progress = true;
            }
        }
    }
    log("\nPDAG %s an admissible DAG extension.\n", left == 0 ? "has" : "does not have");
}

// Orients a -> b, or b -> a when a -> b would close a cycle; logs the
// outcome after the rule's premises.
static void orient(Graph &g, size_t a, size_t b)
{
    if (g.closes_cycle(a, b)) {
        g.set_direction(b, a);
        g.log("%s <- %s to maintain acyclicity\n", g.name(a), g.name(b));
    } else {
        g.set_direction(a, b);
        g.log("%s -> %s\n", g.name(a), g.name(b));
    }
}

// The rules for the undirected edge x - y, oriented x -> y.
static bool rule_1(Graph &g, size_t y, size_t z)
{
    for (size_t x = 0; x < g.n; ++x)
        if (x != z && g.directed(x, y) && g.surely_absent(x, z)) {
            g.log("R1: %s -> %s - %s => ", g.name(x), g.name(y), g.name(z));
            orient(g, y, z);
            return true;
        }
    return false;
}

static bool rule_2(Graph &g, size_t x, size_t y)
{
    for (size_t z = 0; z < g.n; ++z)
        if (g.directed(x, z) && g.directed(z, y)) {
            g.log("R2: %s - %s, ", g.name(x), g.name(y));
            g.log("%s -> %s -> %s => ", g.name(x), g.name(z), g.name(y));
            orient(g, x, y);
            return true;
        }
    return false;
}

static bool rule_3(Graph &g, size_t x, size_t y)
{
    for (size_t z1 = 0; z1 < g.n; ++z1) {
        if (!g.is_undirected(x, z1) || !g.directed(z1, y))
            continue;
        for (size_t z2 = z1 + 1; z2 < g.n; ++z2)
            if (g.is_undirected(x, z2) && g.directed(z2, y) && g.surely_absent(z1, z2)) {
                g.log("R3: %s - %s, ", g.name(x), g.name(y));
                g.log("%s - %s -> %s, ", g.name(x), g.name(z1), g.name(y));
                g.log("not %s - %s, ", g.name(z1), g.name(z2));
                g.log("%s - %s -> %s => ", g.name(x), g.name(z2), g.name(y));
                orient(g, x, y);
                return true;
            }
    }
    return false;
}

static bool rule_4(Graph &g, size_t x, size_t y)
{
    for (size_t z = 0; z < g.n; ++z) {
        if (z == y || !g.is_undirected(x, z) || !g.surely_absent(z, y))
            continue;
        for (size_t w = 0; w < g.n; ++w)
            if (w != x && g.directed(z, w) && g.directed(w, y) && g.adjacent(w, x)) {
                g.log("R4: %s - %s, ", g.name(x), g.name(y));
                g.log("%s - %s -> %s, ", g.name(x), g.name(z), g.name(w));
                g.log("(%s - %s, ", g.name(x), g.name(w));
                g.log("%s -> %s, or ", g.name(x), g.name(w));
                g.log("%s <- %s), ", g.name(x), g.name(w));
                g.log("%s -> %s -> %s => ", g.name(z), g.name(w), g.name(y));
                orient(g, x, y);
                return true;
            }
    }
    return false;
}

static bool apply_rules(Graph &g)
{
    bool any = false;
    for (size_t e = 0; e < g.edges.size(); ++e) {
        auto [a, b] = g.edges[e];
        for (int turn = 0; turn < 2 && g.is_undirected(a, b); ++turn) {
            size_t x = turn ? b : a, y = turn ? a : b;
            if (rule_1(g, x, y) || rule_2(g, x, y) || rule_3(g, x, y) || rule_4(g, x, y))
                any = true;
        }
    }
    return any;
}

void Graph::identify_derived_directions()
{
    log("\nIdentifying derived directions:\n");
    while (apply_rules(*this)) {
    }
}

void Graph::complete_orientation()
{
    log("\nCompleting orientation:\n");
    auto states = [&](size_t v) { return double(r.nodes[v]->number_of_states); };
    auto cost = [&](size_t a, size_t b) {
        double c = (states(a) - 1) * states(b);
        for (size_t p = 0; p < n; ++p)
            if (directed(p, a))
                c *= states(p);
        return c;
    };
    auto undirected_degree = [&](size_t v) {
        size_t k = 0;
        for (size_t w = 0; w < n; ++w)
            k += is_undirected(v, w);
        return k;
    };
    for (size_t e = 0; e < edges.size(); ++e) {
        auto [a, b] = edges[e];
        if (!is_undirected(a, b))
            continue;
        double ca = cost(a, b), cb = cost(b, a);
        bool forward = cb < ca || (cb == ca && undirected_degree(b) < undirected_degree(a));
        size_t from = forward ? a : b, to = forward ? b : a;
        if (closes_cycle(from, to))
            std::swap(from, to);
        set_direction(from, to);
        log("%s -> %s\n", name(from), name(to));
        while (apply_rules(*this)) {
        }
    }
}

void Graph::apply_manual_directions()
{
    for (auto [parent, child] : manual_directions) {
        if (!adjacent(parent, child))
            continue;
        at(parent, child) = at(child, parent) = no_edge;
        bool cycle = closes_cycle(parent, child);
        at(parent, child) = at(child, parent) = undirected;
        if (cycle)
            set_direction(child, parent);
        else
            set_direction(parent, child);
        while (apply_rules(*this)) {
        }
    }
}

int Graph::add_links()
{
    size_t added = 0;
    int status = 0;
    for (; added < edges.size(); ++added) {
        auto [a, b] = edges[added];
        size_t from = directed(a, b) ? a : b, to = from == a ? b : a;
        if ((status = kv_node_add_parent(r.nodes[to], r.nodes[from])))
            break;
    }
    if (!status)
        return 0;
    while (added-- > 0) {
        auto [a, b] = edges[added];
        size_t from = directed(a, b) ? a : b, to = from == a ? b : a;
        kv_node_remove_parent(r.nodes[to], r.nodes[from]);
    }
    return _kv_set_error_code(status);
}

} // namespace kv::learn
