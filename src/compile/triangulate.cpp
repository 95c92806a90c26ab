// Triangulation: the graph of the moral links, its decomposition into prime
// components (LEX M minimal elimination, then extraction along complete
// separators), the four greedy minimum heuristics, the numbering of the
// nodes from the resulting cliques, and user-specified elimination orders.
#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <vector>

#include "compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "table/table.h"

namespace {

// The triangulation's containers live in a region that ends with it.
template <class T> using Vec = std::vector<T, kv::RegionAlloc<T>>;
using Ids = Vec<int>;

// Vertex v stands for node[v]; per-vertex fields live in parallel arrays so
// that the heuristics' inner loops touch only what they read.
struct Graph {
    Vec<kv_node_s *> node;
    Vec<int> first, neighbours; // moral adjacency, sorted, of v in [first[v], first[v + 1])
    // Heuristic bookkeeping.
    Vec<Ids> working;
    Vec<size_t> fill_ins;
    Vec<double> score;
    Vec<char> mark, eliminated;
    Vec<double> weight;
    kv_domain_s *domain;
    int method;
    Vec<Ids> cliques;
    size_t graphs = 0; // the graphs G1, G2, ... of an optimal triangulation

    // The current component's working edges as rows of bits, by position
    // in the component (local); empty when the component is too large.
    Vec<int> local;
    size_t words = 0;
    Vec<uint64_t> bits;

    std::span<const int> adjacency(int v) const
    {
        return {neighbours.data() + first[size_t(v)], neighbours.data() + first[size_t(v) + 1]};
    }
    const uint64_t *row(int v) const { return bits.data() + size_t(local[size_t(v)]) * words; }
    void link(int a, int b)
    {
        size_t j = size_t(local[size_t(b)]);
        bits[size_t(local[size_t(a)]) * words + j / 64] |= uint64_t(1) << (j % 64);
    }
    // Whether a and b, both in the current component, are adjacent now.
    bool linked(int a, int b) const
    {
        if (bits.empty())
            return std::binary_search(working[size_t(a)].begin(), working[size_t(a)].end(), b);
        size_t j = size_t(local[size_t(b)]);
        return row(a)[j / 64] >> (j % 64) & 1;
    }
};

double node_weight(const kv_node_s *n)
{
    return n->kind == kv_kind_continuous ? 1.5 : double(n->number_of_states);
}

} // namespace

double _kv_weight_of_nodes(kv_node_s *const *nodes, size_t n)
{
    long double w = 1.0L;
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (nodes[i]->kind == kv_kind_continuous)
            ++k;
        else
            w *= nodes[i]->number_of_states;
    }
    if (k)
        w *= (long double)(k * (k + 3) / 2 + 1);
    return double(w);
}

static double weight_of(const Graph &g, const Ids &set)
{
    Vec<kv_node_s *> nodes;
    nodes.reserve(set.size());
    for (int v : set)
        nodes.push_back(g.node[v]);
    return _kv_weight_of_nodes(nodes.data(), nodes.size());
}

static const char *method_name(int method)
{
    switch (method) {
    case kv_tm_clique_weight:
        return "clique weight";
    case kv_tm_fill_in_size:
        return "fill-in size";
    case kv_tm_fill_in_weight:
        return "fill-in weight";
    default:
        return "clique size";
    }
}

const char *_kv_print_cost(kv_domain_s *d, double cost)
{
    if (!(cost <= 4294967295.0))
        return "HUGE";
    return _kv_print_size(d, static_cast<size_t>(cost));
}

int _kv_write_node_list_to_log(kv_domain_s *d, kv_node_s *const *nodes, size_t n,
                               const char *indent, size_t width)
{
    size_t length = 0;
    for (size_t i = 0; i < n; ++i) {
        const char *name = kv_node_get_name(nodes[i]);
        if (!name)
            return kv_error_code();
        size_t l = std::strlen(name);
        int status;
        if (i == 0) {
            status = _kv_log(d, "%s%s", indent, name);
            length = l;
        } else if (length + l + (i + 1 < n ? 3 : 2) <= width) {
            status = _kv_log(d, ", %s", name);
            length += 2 + l;
        } else {
            status = _kv_log(d, ",\n%s%s", indent, name);
            length = l;
        }
        if (status)
            return status;
    }
    return _kv_log(d, "\n");
}

static int write_vertex_list_to_log(const Graph &g, const Ids &list, const char *indent,
                                    size_t width)
{
    Vec<kv_node_s *> nodes;
    for (int v : list)
        nodes.push_back(g.node[v]);
    return _kv_write_node_list_to_log(g.domain, nodes.data(), nodes.size(), indent, width);
}

static const char *name_of(const Graph &g, int v)
{
    return kv_node_get_name(g.node[v]);
}

// ---------------------------------------------------------------------------
// The triangulation graph.

static void create_moral_graph(kv_domain_s *d, Graph &g)
{
    g.domain = d;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if ((n->category == kv_category_chance || n->category == kv_category_decision) &&
            n->neighbours) {
            n->mark = 0;
            g.node.push_back(n);
        }
    size_t count = g.node.size();
    // Vertex ids through the node's scratch slot of the elimination number.
    for (size_t i = 0; i < count; ++i)
        g.node[i]->elimination_number = i + 1;
    g.first.assign(count + 1, 0);
    for (size_t v = 0; v < count; ++v) {
        size_t begin = g.neighbours.size();
        for (kv_node_s **u = g.node[v]->neighbours; *u; ++u)
            if ((*u)->elimination_number)
                g.neighbours.push_back(int((*u)->elimination_number - 1));
        std::sort(g.neighbours.begin() + begin, g.neighbours.end());
        g.neighbours.erase(std::unique(g.neighbours.begin() + begin, g.neighbours.end()), g.neighbours.end());
        g.first[v + 1] = int(g.neighbours.size());
    }
    for (kv_node_s *n : g.node)
        n->elimination_number = 0;
    g.working.resize(count);
    g.fill_ins.assign(count, 0);
    g.score.assign(count, 0.0);
    g.mark.assign(count, 0);
    g.eliminated.assign(count, 0);
    g.weight.resize(count);
    g.local.assign(count, -1);
    for (size_t v = 0; v < count; ++v)
        g.weight[v] = node_weight(g.node[v]);
}

static bool adjacent(const Graph &g, int a, int b)
{
    std::span<const int> adj = g.adjacency(a);
    return std::binary_search(adj.begin(), adj.end(), b);
}

// ---------------------------------------------------------------------------
// Prime components.

static Vec<Ids> find_prime_components(Graph &g)
{
    int n = int(g.node.size());
    Vec<int> number(n, 0);
    Vec<char> has_list(n, 1);
    Vec<Ids> candidates(n);
    Vec<int> numbered_as(n + 1, -1); // vertex with number k

    // The unnumbered vertices fall into classes of equal label, kept in
    // increasing label order with dense ranks: a vertex's label is the rank
    // of its class.  Raising the vertices of one class splits off a class
    // just above it.  Splits keep each class's members in vertex order, so
    // the next vertex to number is the least one of the highest class.
    Vec<int> cls(n, 0), slot(n, 0);
    Vec<Ids> members(1);
    members[0].resize(size_t(n));
    for (int i = 0; i < n; ++i)
        members[0][size_t(i)] = slot[i] = i;
    Vec<int> rank(1, 0), split(1, -1);
    Ids classes(1, 0), next_classes, spare; // classes by rank; unused class numbers
    auto remove = [&](int v) {
        Ids &m = members[size_t(cls[v])];
        int last = m.back();
        m[size_t(slot[v])] = last;
        slot[last] = slot[v];
        m.pop_back();
    };

    // The search only walks unnumbered vertices: a working copy of the
    // adjacency drops numbered ones as it meets them.  Which vertices a
    // search raises does not depend on the order of the lists.
    const Vec<int> &first = g.first;
    Vec<int> adjacent_to = g.neighbours, end(first.begin() + 1, first.end());
    // Per vertex: 0 free, 1 reached by this search, 2 numbered.
    Vec<char> state(n, 0);
    auto unreached_neighbours = [&](int w, auto &&f) {
        for (int i = first[w]; i < end[w];) {
            int z = adjacent_to[size_t(i)];
            if (state[z] == 2) {
                adjacent_to[size_t(i)] = adjacent_to[size_t(--end[w])];
                continue;
            }
            if (!state[z])
                f(z);
            ++i;
        }
    };

    // Vertices waiting to be searched from, in one stack per label.
    Vec<int> head, below(n, -1);
    int waiting = 0;
    auto push = [&](size_t label, int v) {
        below[v] = head[label];
        head[label] = v;
        ++waiting;
    };
    Ids touched, raised;
    Vec<int> unreached;
    for (int k = n; k >= 1; --k) {
        const Ids &top = members[size_t(classes.back())];
        int x = *std::min_element(top.begin(), top.end());
        remove(x);
        number[x] = k;
        state[x] = 2;
        numbered_as[k] = x;
        // Search for the vertices to raise: paths through unnumbered
        // vertices with smaller labels than the end vertex.
        size_t levels = classes.size();
        head.assign(levels, -1);
        waiting = 0;
        touched.clear();
        raised.clear();
        // Unreached vertices per label, and how many lie above the level
        // being searched: once none do, nothing more can be raised.
        unreached.resize(levels);
        int above = k - 1;
        for (size_t r = 0; r < levels; ++r)
            unreached[r] = int(members[size_t(classes[r])].size());
        unreached_neighbours(x, [&](int w) {
            state[w] = 1;
            touched.push_back(w);
            size_t label = size_t(rank[size_t(cls[w])]);
            push(label, w);
            --unreached[label];
            --above;
            raised.push_back(w);
        });
        for (size_t level = 0; level < levels && above && waiting; ++level) {
            above -= unreached[level];
            while (above && head[level] >= 0) {
                int w = head[level];
                head[level] = below[w];
                --waiting;
                unreached_neighbours(w, [&](int z) {
                    state[z] = 1;
                    touched.push_back(z);
                    size_t label = size_t(rank[size_t(cls[z])]);
                    if (label > level) {
                        push(label, z);
                        --unreached[label];
                        --above;
                        raised.push_back(z);
                    } else {
                        push(level, z);
                    }
                });
            }
        }
        for (int v : touched)
            state[v] = 0;
        for (int w : raised) {
            int c = cls[w];
            if (split[size_t(c)] < 0) {
                int made;
                if (!spare.empty()) {
                    made = spare.back();
                    spare.pop_back();
                } else {
                    made = int(members.size());
                    members.emplace_back();
                    rank.push_back(0);
                    split.push_back(-1);
                }
                split[size_t(c)] = made;
            }
            remove(w);
            cls[w] = split[size_t(c)];
            slot[w] = int(members[size_t(cls[w])].size());
            members[size_t(cls[w])].push_back(w);
            if (!has_list[w])
                continue;
            bool ok = true;
            for (int c2 : candidates[w])
                ok = ok && adjacent(g, c2, x);
            if (ok) {
                Ids &list = candidates[w];
                list.insert(std::upper_bound(list.begin(), list.end(), x), x);
            } else {
                has_list[w] = 0;
                candidates[w].clear();
            }
        }
        // New classes go just above the ones they split from; empty ones go.
        next_classes.clear();
        for (int c : classes) {
            if (!members[size_t(c)].empty())
                next_classes.push_back(c);
            else
                spare.push_back(c);
            if (split[size_t(c)] >= 0) {
                next_classes.push_back(split[size_t(c)]);
                split[size_t(c)] = -1;
            }
        }
        classes.swap(next_classes);
        for (size_t r = 0; r < classes.size(); ++r)
            rank[size_t(classes[r])] = int(r);
    }

    // Extraction.
    Vec<Ids> components;
    Vec<char> present(n, 1);
    Vec<int> mark(n, 0); // 1 separator, 2 component
    Ids stack;
    for (int k = 1; k <= n; ++k) {
        int x = numbered_as[k];
        if (!present[x] || !has_list[x])
            continue;
        const Ids &S = candidates[x];
        Ids component = S;
        for (int s : S)
            mark[s] = 1;
        mark[x] = 2;
        component.push_back(x);
        stack.assign(1, x);
        while (!stack.empty()) {
            int v = stack.back();
            stack.pop_back();
            for (int u : g.adjacency(v))
                if (present[u] && !mark[u]) {
                    mark[u] = 2;
                    component.push_back(u);
                    stack.push_back(u);
                }
        }
        std::sort(component.begin(), component.end());
        components.push_back(component);
        for (int v : component) {
            bool keep = false;
            if (mark[v] == 1)
                for (int u : g.adjacency(v))
                    keep = keep || (present[u] && !mark[u]);
            if (!keep)
                present[v] = 0;
        }
        for (int v : component)
            mark[v] = 0;
    }
    return components;
}

// ---------------------------------------------------------------------------
// Minimum heuristics on one prime component.

// Components up to this many vertices keep their edges as a bit matrix too,
// so that the heuristics test a pair without marking a neighbourhood.
static size_t matrix_limit = 4096;

size_t kv::set_triangulation_matrix_limit(size_t vertices)
{
    size_t previous = matrix_limit;
    matrix_limit = vertices;
    return previous;
}

static void build_matrix(Graph &g, const Ids &component)
{
    g.bits.clear();
    if (component.size() > matrix_limit)
        return;
    g.words = (component.size() + 63) / 64;
    g.bits.assign(g.words * component.size(), 0);
    for (size_t i = 0; i < component.size(); ++i)
        g.local[size_t(component[i])] = int(i);
    for (int v : component)
        for (int u : g.working[v])
            g.link(v, u);
}

// Calls f(i, j) for each pair i < j of list members that are not adjacent,
// in order of i, then j.
template <class F> static void each_missing_pair(Graph &g, const Ids &list, F &&f)
{
    size_t m = list.size();
    if (!g.bits.empty()) {
        for (size_t i = 0; i < m; ++i) {
            const uint64_t *row = g.row(list[i]);
            for (size_t j = i + 1; j < m; ++j) {
                size_t b = size_t(g.local[size_t(list[j])]);
                if (!(row[b / 64] >> (b % 64) & 1))
                    f(i, j);
            }
        }
        return;
    }
    for (size_t i = 0; i < m; ++i) {
        const Ids &adj = g.working[list[i]];
        for (int u : adj)
            g.mark[u] = 1;
        for (size_t j = i + 1; j < m; ++j)
            if (!g.mark[list[j]])
                f(i, j);
        for (int u : adj)
            g.mark[u] = 0;
    }
}

static double elimination_rank(Graph &g, int v)
{
    switch (g.method) {
    case kv_tm_clique_size:
        return double(g.working[v].size());
    case kv_tm_clique_weight: {
        Ids set = g.working[v];
        set.push_back(v);
        return weight_of(g, set);
    }
    case kv_tm_fill_in_size:
        return double(g.fill_ins[v]);
    default:
        _kv_set_error_code(kv_error_error);
        return -1.0;
    }
}

// The number of fill-ins eliminating v would create, and its score; the
// fill-in weight sums the products of the missing pairs' weights.
static void rescore(Graph &g, int v)
{
    const Ids &list = g.working[v];
    size_t count = 0;
    if (g.method == kv_tm_fill_in_weight) {
        long double sum = 0.0L;
        each_missing_pair(g, list, [&](size_t i, size_t j) {
            sum += (long double)g.weight[list[i]] * g.weight[list[j]];
            ++count;
        });
        g.fill_ins[v] = count;
        g.score[v] = double(sum);
        return;
    }
    each_missing_pair(g, list, [&](size_t, size_t) { ++count; });
    g.fill_ins[v] = count;
    g.score[v] = elimination_rank(g, v);
}

// The first vertex without fill-ins, else the first of least score; the
// vertices are those not yet eliminated, in the fragment's order.
static int get_best_vertex(const Graph &g, const Ids &remaining)
{
    int best = -1;
    for (int v : remaining) {
        if (g.fill_ins[v] == 0)
            return v;
        if (best < 0 || g.score[v] < g.score[best])
            best = v;
    }
    return best;
}

static int enumerate_by_minimum(Graph &g, const Ids &fragment, Vec<Ids> &cliques)
{
    kv_domain_s *d = g.domain;
    if (int status = _kv_log(d, "\n    Using minimum %s heuristic for triangulation:\n\n",
                             method_name(g.method)))
        return status;
    Vec<Ids> recorded;
    Vec<Ids> recorded_with; // by vertex: the recorded cliques holding it
    recorded_with.resize(g.node.size());
    Ids stale;
    Vec<std::pair<int, int>> created;
    Ids remaining = fragment;
    for (size_t k = fragment.size(); k >= 1; --k) {
        int v = get_best_vertex(g, remaining);
        remaining.erase(std::find(remaining.begin(), remaining.end(), v));
        g.node[v]->elimination_number = k;
        g.eliminated[v] = 1;
        if (d->log_file) {
            const char *name = name_of(g, v);
            if (!name)
                return kv_error_code();
            if (int status = _kv_log(d, "\tEliminating %s\n", name))
                return status;
        }
        Ids candidate = g.working[v];
        candidate.insert(std::upper_bound(candidate.begin(), candidate.end(), v), v);
        // A recorded clique covering the candidate holds v.
        bool covered = false;
        for (int c : recorded_with[size_t(v)]) {
            const Ids &r = recorded[size_t(c)];
            if (std::includes(r.begin(), r.end(), candidate.begin(), candidate.end())) {
                covered = true;
                break;
            }
        }
        if (!covered) {
            for (int u : candidate)
                recorded_with[size_t(u)].push_back(int(recorded.size()));
            recorded.push_back(candidate);
        }
        Ids neighbours = g.working[v];
        created.clear();
        for (int u : neighbours) {
            Ids &wu = g.working[u];
            wu.erase(std::find(wu.begin(), wu.end(), v));
            for (int w : neighbours) {
                if (w == u)
                    continue;
                auto at = std::lower_bound(wu.begin(), wu.end(), w);
                if (at != wu.end() && *at == w)
                    continue;
                wu.insert(at, w);
                if (!g.bits.empty())
                    g.link(u, w);
                if (u < w)
                    created.push_back({u, w});
                if (d->log_file && u < w) {
                    const char *a = name_of(g, u), *b = name_of(g, w);
                    if (!a || !b)
                        return kv_error_code();
                    if (int status = _kv_log(d, "\tCreating fill-in between %s and %s\n", a, b))
                        return status;
                }
            }
            g.score[u] = -1.0;
        }
        // Scores change for the neighbours, which lost v, and for the
        // common neighbours of the ends of each new edge; no one else's
        // neighbourhood or its edges changed.
        stale = neighbours;
        for (auto [u, w] : created)
            for (int z : g.working[w])
                if (!g.eliminated[z] && g.linked(u, z))
                    stale.push_back(z);
        std::sort(stale.begin(), stale.end());
        stale.erase(std::unique(stale.begin(), stale.end()), stale.end());
        for (int u : stale)
            rescore(g, u);
        if (kv_error_code() == kv_error_error)
            return kv_error_error;
    }
    if (d->log_file) {
        long double cost = 0.0L;
        for (const Ids &c : recorded)
            cost += weight_of(g, c);
        if (int status = _kv_log(d, "\nFound triangulation of prime component of cost %s\n",
                                 _kv_print_cost(d, double(cost))))
            return status;
    }
    for (Ids &c : recorded)
        cliques.push_back(c);
    return kv_error_none;
}

static bool is_complete(const Graph &g, const Ids &c)
{
    for (size_t i = 0; i < c.size(); ++i)
        for (size_t j = i + 1; j < c.size(); ++j)
            if (!adjacent(g, c[i], c[j]))
                return false;
    return true;
}

static int triangulate_by_heuristic(Graph &g, const Ids &component, Vec<Ids> &cliques)
{
    for (int v : component) {
        g.node[v]->elimination_number = 0;
        g.eliminated[v] = 0;
    }
    for (int v : component) {
        Ids &working = g.working[v];
        working.clear();
        for (int u : g.adjacency(v))
            if (std::binary_search(component.begin(), component.end(), u))
                working.push_back(u);
    }
    build_matrix(g, component);
    for (int v : component)
        rescore(g, v);
    return enumerate_by_minimum(g, component, cliques);
}

// Method 19.  A component with more minimal separators than the maximum is
// split along one, and the result is no longer known to be optimal: then
// the four heuristics run too (silently) and the cheapest result is taken.
static int triangulate_optimally(Graph &g, const Ids &component)
{
    kv_domain_s *d = g.domain;
    std::vector<kv_node_s *> nodes;
    std::vector<std::vector<int>> adjacency(component.size()), found;
    std::vector<int> vertices(component.begin(), component.end());
    for (size_t i = 0; i < component.size(); ++i) {
        int v = component[i];
        nodes.push_back(g.node[v]);
        for (int u : g.adjacency(v)) {
            auto at = std::lower_bound(component.begin(), component.end(), u);
            if (at != component.end() && *at == u)
                adjacency[i].push_back(int(at - component.begin()));
        }
    }
    bool split = false;
    if (int status = _kv_triangulate_optimally(d, nodes, adjacency, vertices, &g.graphs, found, &split))
        return status;
    Vec<Ids> best;
    for (const auto &c : found)
        best.emplace_back(c.begin(), c.end());
    long double cost = 0.0L;
    for (const Ids &c : best)
        cost += weight_of(g, c);
    if (split) {
        FILE *log = d->log_file;
        d->log_file = nullptr;
        int chosen = 0;
        int status = kv_error_none;
        for (int m = kv_tm_clique_size; m <= kv_tm_fill_in_weight && !status; ++m) {
            Vec<Ids> cliques;
            g.method = m;
            status = triangulate_by_heuristic(g, component, cliques);
            long double c = 0.0L;
            for (const Ids &k : cliques)
                c += weight_of(g, k);
            if (!status && c < cost) {
                cost = c;
                best = std::move(cliques);
                chosen = m;
            }
        }
        g.method = kv_tm_optimal;
        d->log_file = log;
        if (status)
            return status;
        if (chosen)
            if (int s = _kv_log(d, "\n    The minimum %s heuristic gives a cheaper triangulation\n",
                                method_name(chosen)))
                return s;
    }
    if (int status = _kv_log(d, "\nFound triangulation of prime component of cost %s\n",
                             _kv_print_cost(d, double(cost))))
        return status;
    for (Ids &c : best)
        g.cliques.push_back(std::move(c));
    return kv_error_none;
}

static int triangulate_prime_component(Graph &g, const Ids &component)
{
    kv_domain_s *d = g.domain;
    if (d->log_file) {
        size_t n = component.size();
        if (int status = _kv_log(d, "\nTriangulating prime component with %s member%s:\n",
                                 _kv_print_size(d, n), n == 1 ? "" : "s"))
            return status;
        if (int status = write_vertex_list_to_log(g, component, "    ", 75))
            return status;
    }
    if (is_complete(g, component)) {
        if (int status = _kv_log(d, "This component is a clique of cost %s\n",
                                 _kv_print_cost(d, weight_of(g, component))))
            return status;
        g.cliques.push_back(component);
        return kv_error_none;
    }
    if (g.method == kv_tm_optimal)
        return triangulate_optimally(g, component);
    return triangulate_by_heuristic(g, component, g.cliques);
}

// ---------------------------------------------------------------------------
// Numbering from the cliques.

static int generate_elimination_order(Graph &g)
{
    kv_domain_s *d = g.domain;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        n->elimination_number = 0;
    size_t top = d->number_of_nodes;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (n->category == kv_category_utility)
            n->elimination_number = top--;

    int n = int(g.node.size());
    // The cliques of each vertex, and per clique its numbered members and
    // its unnumbered members of the level being numbered.
    Vec<Ids> cliques_of(n);
    for (size_t c = 0; c < g.cliques.size(); ++c)
        for (int v : g.cliques[c])
            cliques_of[v].push_back(int(c));
    // Every edge must lie inside a clique.
    Vec<int> seen_with(n, -1);
    for (int v = 0; v < n; ++v) {
        for (int c : cliques_of[v])
            for (int u : g.cliques[size_t(c)])
                seen_with[u] = v;
        for (int u : g.adjacency(v))
            if (seen_with[u] != v)
                return _kv_set_error_code(kv_error_error);
    }
    Ids levels;
    for (kv_node_s *v : g.node)
        levels.push_back(int(v->elimination_index));
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
    Vec<int> numbered_members(g.cliques.size(), 0), open(g.cliques.size(), 0);
    Vec<char> numbered(n, 0);
    size_t next = 1;
    // Candidates keyed by numbered members, then by the complement of the
    // clique's number: the greatest key is the clique with most members,
    // the first on ties.  An entry is stale once the clique's count moved
    // on or it has nothing of the level left.  Counts only grow, so the
    // newest entry of a clique is the one that counts.
    Vec<uint64_t> heap;
    auto offer = [&](int c) {
        heap.push_back(uint64_t(numbered_members[size_t(c)]) << 32 | (UINT32_MAX - uint32_t(c)));
        std::push_heap(heap.begin(), heap.end());
    };
    for (int level : levels) {
        heap.clear();
        for (size_t c = 0; c < g.cliques.size(); ++c) {
            open[c] = 0;
            for (int v : g.cliques[c])
                open[c] += !numbered[v] && int(g.node[v]->elimination_index) == level;
            if (open[c])
                offer(int(c));
        }
        for (;;) {
            // The clique with most numbered members among those that still
            // have an unnumbered member of this level; the first on ties.
            int best = -1;
            while (!heap.empty()) {
                int count = int(heap.front() >> 32);
                int c = int(UINT32_MAX - uint32_t(heap.front()));
                std::pop_heap(heap.begin(), heap.end());
                heap.pop_back();
                if (open[size_t(c)] && count == numbered_members[size_t(c)]) {
                    best = c;
                    break;
                }
            }
            if (best < 0)
                break;
            for (;;) {
                int pick = -1;
                for (int v : g.cliques[best])
                    if (!numbered[v] && int(g.node[v]->elimination_index) == level &&
                        (pick < 0 || cliques_of[v].size() > cliques_of[pick].size()))
                        pick = v;
                if (pick < 0)
                    break;
                numbered[pick] = 1;
                g.node[pick]->elimination_number = next++;
                for (int c : cliques_of[pick]) {
                    ++numbered_members[c];
                    --open[c];
                    if (open[c] && c != best)
                        offer(c);
                }
            }
        }
    }
    return kv_error_none;
}

static int create_domain_cliques(Graph &g)
{
    for (const Ids &c : g.cliques) {
        Vec<kv_node_s *> nodes;
        for (int v : c)
            nodes.push_back(g.node[v]);
        std::sort(nodes.begin(), nodes.end(), [](kv_node_s *a, kv_node_s *b) {
            return a->elimination_number < b->elimination_number;
        });
        nodes.push_back(nullptr);
        kv_table_s *t = _kv_create_table(g.domain, nodes.data(), KV_PROBABILITY, KV_ROLE_CLIQUE, 1, 0);
        if (!t)
            return kv_error_code();
        if (int status = _kv_make_clique(t))
            return status;
    }
    return kv_error_none;
}

static int log_elimination_sequence(kv_domain_s *d)
{
    if (!d->log_file)
        return kv_error_none;
    kv_node_s **order = kv_domain_get_elimination_order(d);
    if (!order)
        return kv_error_code();
    if (int status = _kv_log(d, "\n\nElimination sequence:\n\n"))
        return status;
    for (kv_node_s **n = order; *n; ++n) {
        const char *name = kv_node_get_name(*n);
        if (!name)
            return kv_error_code();
        if (int status = _kv_log(d, "    %s\n", name))
            return status;
    }
    return kv_error_none;
}

int _kv_triangulate_domain(kv_domain_s *d, int method)
{
    kv::Region region; // outlives every container of the graph
    Graph g;
    g.method = method;
    create_moral_graph(d, g);
    if (int status = _kv_log(d, "\n"))
        return status;
    Vec<Ids> components = find_prime_components(g);
    for (const Ids &c : components)
        if (int status = triangulate_prime_component(g, c))
            return status;
    if (d->log_file) {
        long double cost = 0.0L;
        for (const Ids &c : g.cliques)
            cost += weight_of(g, c);
        if (int status = _kv_log(d, "\n\nTotal cost of triangulation for all prime components is %s\n",
                                 _kv_print_cost(d, double(cost))))
            return status;
    }
    if (int status = generate_elimination_order(g))
        return status;
    if (int status = create_domain_cliques(g))
        return status;
    return log_elimination_sequence(d);
}

// ---------------------------------------------------------------------------
// Entry points.

static int stamp_time(kv_domain_s *d)
{
    if (!d->log_file)
        return kv_error_none;
    time_t now = std::time(nullptr);
    char buffer[64];
    const char *text = ctime_r(&now, buffer);
    return _kv_log(d, "%s", text ? text : "\n");
}

// Stamps the log, moralises and runs a triangulation step; on failure
// removes the partial triangulation, flushes the log and reports the first
// error.  A failed final flush also removes it and gives io.
template <class F> static int triangulation_transaction(kv_domain_s *d, F &&work)
{
    int status = kv::guard_status([&] {
        if (int s = stamp_time(d))
            return s;
        if (int s = _kv_domain_moralize(d))
            return s;
        return work();
    });
    if (status) {
        kv::KeepError keep;
        _kv_clear_node_marks(d);
        _kv_uncompile_domain_safely(d, 1);
        if (d->log_file)
            std::fflush(d->log_file);
        return status;
    }
    if (_kv_domain_flush_log_file(d)) {
        _kv_uncompile_domain_safely(d, 1);
        return _kv_set_error_code(kv_error_io);
    }
    return _kv_set_error_code(kv_error_none);
}

kv_status_t kv_domain_triangulate(kv_domain_t d, kv_triangulation_method_t method)
{
    if (_kv_set_error_code(!d || _kv_domain_is_class(d) || _kv_domain_is_triangulated(d) ||
                           method < kv_tm_clique_size || method > kv_tm_optimal))
        return kv_error_usage;
    return triangulation_transaction(d, [&] { return _kv_triangulate_domain(d, method); });
}

static bool connected(kv_node_s *a, kv_node_s *b)
{
    if (_kv_node_in_list(a->neighbours, b))
        return true;
    for (kv_fill_in_s *f = a->fill_in_links; f; f = f->next)
        if (f->partner == b)
            return true;
    return false;
}

static int create_fill_in(kv_node_s *a, kv_node_s *b)
{
    kv_fill_in_s *fa = kv::allocate_array<kv_fill_in_s>(1);
    kv_fill_in_s *fb = fa ? kv::allocate_array<kv_fill_in_s>(1) : nullptr;
    if (!fb) {
        std::free(fa);
        return kv_error_no_memory;
    }
    fa->partner = b, fa->next = a->fill_in_links, a->fill_in_links = fa;
    fb->partner = a, fb->next = b->fill_in_links, b->fill_in_links = fb;
    return kv_error_none;
}

int _kv_complete_unnumbered_neighbors(kv_node_s *x)
{
    std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> around;
    if (x->neighbours)
        for (kv_node_s **u = x->neighbours; *u; ++u)
            around.push_back(*u);
    for (kv_fill_in_s *f = x->fill_in_links; f; f = f->next)
        around.push_back(f->partner);
    for (size_t i = 0; i < around.size(); ++i)
        for (size_t j = i + 1; j < around.size(); ++j) {
            kv_node_s *a = around[i], *b = around[j];
            if (a == b || a->elimination_number || b->elimination_number || connected(a, b))
                continue;
            if (int status = create_fill_in(a, b))
                return status;
            if (x->home->log_file) {
                const char *na = kv_node_get_name(a), *nb = kv_node_get_name(b);
                if (!na || !nb)
                    return kv_error_code();
                if (int status = _kv_log(x->home, "Adding fill-in between %s and %s\n", na, nb))
                    return status;
            }
        }
    return kv_error_none;
}

kv_status_t kv_domain_triangulate_with_order(kv_domain_t d, kv_node_t *order)
{
    if (_kv_set_error_code(!d || _kv_domain_is_class(d) || _kv_domain_is_triangulated(d) ||
                           !order))
        return kv_error_usage;
    return triangulation_transaction(d, [&] {
        if (int status = _kv_log(d, "\n\nUser specified triangulation -- Fill-in links and node numbering:\n\n"))
            return status;
        size_t m = d->number_of_nodes;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->category == kv_category_utility)
                n->elimination_number = m--;
        size_t previous = static_cast<size_t>(-1);
        for (kv_node_s **x = order; *x; ++x) {
            if ((*x)->home != d)
                return _kv_set_error_code(kv_error_usage);
            if ((*x)->elimination_number || m == 0)
                return _kv_set_error_code(kv_error_enumeration);
            (*x)->elimination_number = m--;
            if ((*x)->elimination_index > previous)
                return _kv_set_error_code(kv_error_enumeration);
            previous = (*x)->elimination_index;
            if (d->log_file) {
                const char *name = kv_node_get_name(*x);
                if (!name)
                    return static_cast<int>(kv_error_code());
                if (int status = _kv_log(d, "%5s %s\n", _kv_print_size(d, (*x)->elimination_number), name))
                    return status;
            }
            if (int status = _kv_complete_unnumbered_neighbors(*x))
                return status;
        }
        if (m != 0)
            return _kv_set_error_code(kv_error_enumeration);
        return static_cast<int>(kv_error_none);
    });
}

kv_node_t *kv_domain_get_elimination_order(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !_kv_domain_is_triangulated(d)))
        return nullptr;
    if (d->elimination_order)
        return d->elimination_order;
    size_t n = d->number_of_chance_nodes + d->number_of_decision_nodes;
    kv_node_s **order = kv::allocate_array<kv_node_s *>(n + 1);
    if (!order)
        return nullptr;
    for (size_t i = 0; i <= n; ++i)
        order[i] = nullptr;
    for (kv_node_s *x = d->first_node; x; x = x->next) {
        if (x->category != kv_category_chance && x->category != kv_category_decision)
            continue;
        size_t k = x->elimination_number;
        if (k == 0 || k > n || order[n - k]) {
            std::free(order);
            _kv_set_error_code(kv_error_enumeration);
            return nullptr;
        }
        order[n - k] = x;
    }
    d->elimination_order = order;
    return order;
}

size_t kv_domain_get_jt_cost(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !d->first_clique))
        return static_cast<size_t>(-1);
    size_t total = 0;
    for (kv_clique_s *c = d->first_clique; c; c = c->next) {
        kv_table_s *t = c->probability_table;
        if (t->size == SIZE_MAX)
            return static_cast<size_t>(-1);
        total = _kv_size_add(total, _kv_size_multiply(t->size, _kv_size_add(t->cg_size, 1)));
    }
    return total;
}
