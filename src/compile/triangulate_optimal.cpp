// Optimal triangulation of one prime component (method 19).
//
// The minimal separators of the component are enumerated (Berry, Bordat
// and Cogis, "Generating all the minimal separators of a graph", 1999); a
// greedy split along the lightest ones bounds the optimum; separators too
// heavy to occur in a triangulation within that bound are dropped; and a
// dynamic programme over the fragments the kept separators cut the graph
// into finds the least total clique weight.  A fragment P stands for its
// torso: two members are adjacent when an edge or a path outside P joins
// them.  Splitting the torso of P along a minimal separator T that lies in
// P gives, for every component K of the graph minus T that meets P, the
// fragment (K & P) | N(K), whose own torso is the piece's graph with N(K)
// completed; so a fragment is known by its vertex set alone, and the
// programme can share it between the splits that reach it.  The least
// weight triangulation of a fragment is a clique if its torso is complete,
// else the best over its kept separators of the sum over its pieces (every
// minimal triangulation has a minimal separator, and its cliques are those
// of the pieces).
//
// Every minimal separator S of a triangulation of cost c lies in at least
// two cliques that each weigh at least m w(S) (m the smallest state count,
// 1 with a continuous member), so c >= 2 m w(S): a triangulation no worse
// than the greedy one uses only separators with w(S) <= greedy / (2 m).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "compile.h"
#include "core/api.h"
#include "core/memory.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;
using Ids = Vec<int>;
using Bits = Vec<uint64_t>;

constexpr double unknown = -1.0;
constexpr double infinite = std::numeric_limits<double>::infinity();

bool has(const Bits &b, int v)
{
    return b[size_t(v) / 64] >> (size_t(v) % 64) & 1;
}
void put(Bits &b, int v)
{
    b[size_t(v) / 64] |= uint64_t(1) << (size_t(v) % 64);
}
bool subset(const Bits &a, const Bits &b)
{
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] & ~b[i])
            return false;
    return true;
}
size_t count(const Bits &b)
{
    size_t n = 0;
    for (uint64_t w : b)
        n += size_t(__builtin_popcountll(w));
    return n;
}
template <class F> void each_member(const Bits &b, F &&f)
{
    for (size_t i = 0; i < b.size(); ++i)
        for (uint64_t w = b[i]; w; w &= w - 1)
            f(int(i * 64 + size_t(__builtin_ctzll(w))));
}

// A graph to triangulate: a whole prime component, or a piece of one split
// along a separator (with that separator's part completed).
struct Graph {
    kv_domain_s *domain;
    size_t n = 0, words = 0;
    Vec<kv_node_s *> node;
    Vec<int> vertex;       // the caller's vertex of each local one
    Vec<uint64_t> rows;    // adjacency, n rows of words
    size_t number = 0;     // G<number> in the log
    bool whole = false;    // a whole prime component

    Bits empty() const { return Bits(words, 0); }
    const uint64_t *row(int v) const { return rows.data() + size_t(v) * words; }
    bool adjacent(int a, int b) const { return row(a)[size_t(b) / 64] >> (size_t(b) % 64) & 1; }
    const char *prefix() const { return whole ? "    " : "\t"; }
};

double node_weight(const kv_node_s *x)
{
    return x->kind == kv_kind_continuous ? 1.5 : double(x->number_of_states);
}

double weight_of(const Graph &g, const Bits &set)
{
    Vec<kv_node_s *> nodes;
    each_member(set, [&](int v) { nodes.push_back(g.node[size_t(v)]); });
    return _kv_weight_of_nodes(nodes.data(), nodes.size());
}

Ids members(const Bits &set)
{
    Ids list;
    each_member(set, [&](int v) { list.push_back(v); });
    return list;
}

int log_members(const Graph &g, const Bits &set, const char *indent, size_t width)
{
    Vec<kv_node_s *> nodes;
    each_member(set, [&](int v) { nodes.push_back(g.node[size_t(v)]); });
    return _kv_write_node_list_to_log(g.domain, nodes.data(), nodes.size(), indent, width);
}

// The components of the graph minus removed: label[v] for every vertex not
// removed (-1 for removed ones); gives the number of components.
int generate_component(const Graph &g, const Bits &removed, Vec<int> &label)
{
    label.assign(g.n, -1);
    Ids stack;
    int components = 0;
    for (int s = 0; s < int(g.n); ++s) {
        if (has(removed, s) || label[size_t(s)] >= 0)
            continue;
        label[size_t(s)] = components;
        stack.assign(1, s);
        while (!stack.empty()) {
            int v = stack.back();
            stack.pop_back();
            const uint64_t *r = g.row(v);
            for (size_t i = 0; i < g.words; ++i)
                for (uint64_t w = r[i] & ~removed[i]; w; w &= w - 1) {
                    int u = int(i * 64 + size_t(__builtin_ctzll(w)));
                    if (label[size_t(u)] < 0) {
                        label[size_t(u)] = components;
                        stack.push_back(u);
                    }
                }
        }
        ++components;
    }
    return components;
}

// The neighbourhood of each component: the removed vertices adjacent to it.
Vec<Bits> neighbourhoods(const Graph &g, const Vec<int> &label, int components)
{
    Vec<Bits> around(size_t(components), g.empty());
    Bits kept = g.empty();
    for (int u = 0; u < int(g.n); ++u) {
        int k = label[size_t(u)];
        if (k < 0)
            continue;
        put(kept, u);
        uint64_t *a = around[size_t(k)].data();
        const uint64_t *r = g.row(u);
        for (size_t w = 0; w < g.words; ++w)
            a[w] |= r[w];
    }
    for (Bits &a : around) // only the removed vertices
        for (size_t w = 0; w < g.words; ++w)
            a[w] &= ~kept[w];
    return around;
}

struct Separator {
    Bits set;
    double weight;
    size_t size;
};

// The minimal separators found so far, with an open hash table over their
// vertex lists for duplicates.
struct SeparatorCollection {
    Vec<Separator> entries;
    Vec<int> table; // entry index or -1
};

size_t hash(const Graph &g, const Bits &set, size_t size)
{
    uint64_t h = 0;
    each_member(set, [&](int v) { h = (uint64_t(g.n) * h + uint64_t(v)) % size; });
    return size_t(h);
}

void recompute_hash_table(const Graph &g, SeparatorCollection &c, size_t size)
{
    c.table.assign(size, -1);
    for (size_t i = 0; i < c.entries.size(); ++i) {
        size_t h = hash(g, c.entries[i].set, size);
        while (c.table[h] >= 0)
            h = (h + 1) % size;
        c.table[h] = int(i);
    }
}

bool separator_exists(const Graph &g, const SeparatorCollection &c, const Bits &set)
{
    size_t size = c.table.size();
    for (size_t h = hash(g, set, size); c.table[h] >= 0; h = (h + 1) % size)
        if (c.entries[size_t(c.table[h])].set == set)
            return true;
    return false;
}

// Adds set unless known; gives whether it was new.
bool add_separator(const Graph &g, SeparatorCollection &c, const Bits &set)
{
    if (separator_exists(g, c, set))
        return false;
    if (c.entries.size() == c.entries.capacity()) // enlarge_collection
        c.entries.reserve(std::max<size_t>(32, 2 * c.entries.capacity()));
    c.entries.push_back({set, weight_of(g, set), count(set)});
    if (2 * c.entries.size() >= c.table.size())
        recompute_hash_table(g, c, 4 * c.entries.capacity() + 1);
    else {
        size_t size = c.table.size();
        size_t h = hash(g, set, size);
        while (c.table[h] >= 0)
            h = (h + 1) % size;
        c.table[h] = int(c.entries.size() - 1);
    }
    return true;
}

// Every component C of the graph minus removed gives the minimal separator
// N(C); false once more than max (not 0) are known.
bool find_separators(const Graph &g, SeparatorCollection &c, const Bits &removed, size_t max)
{
    Vec<int> label;
    int components = generate_component(g, removed, label);
    Vec<Bits> around = neighbourhoods(g, label, components);
    for (const Bits &s : around) {
        if (!count(s))
            continue;
        if (add_separator(g, c, s) && max && c.entries.size() > max)
            return false;
    }
    return true;
}

bool find_minimal_separators(const Graph &g, SeparatorCollection &c, size_t max)
{
    recompute_hash_table(g, c, 65);
    for (int v = 0; v < int(g.n); ++v) {
        Bits closed(g.row(v), g.row(v) + g.words);
        put(closed, v);
        if (!find_separators(g, c, closed, max))
            return false;
    }
    for (size_t i = 0; i < c.entries.size(); ++i) {
        Ids s = members(c.entries[i].set);
        for (int x : s) {
            Bits removed = c.entries[i].set;
            for (size_t w = 0; w < g.words; ++w)
                removed[w] |= g.row(x)[w];
            if (!find_separators(g, c, removed, max))
                return false;
        }
    }
    return true;
}

bool compare_separators(const Separator &a, const Separator &b)
{
    if (a.weight != b.weight)
        return a.weight < b.weight;
    return a.size < b.size;
}

// How the graph minus one separator falls apart, made when first needed.
struct Split {
    bool made = false;
    Vec<int> label;
    Vec<Bits> around;
    Vec<char> full;
};

struct Search {
    const Graph &g;
    const Vec<Separator> &separators;
    Vec<Split> splits;

    Search(const Graph &graph, const Vec<Separator> &s) : g(graph), separators(s), splits(s.size())
    {
    }

    const Split &split_of(size_t i)
    {
        Split &s = splits[i];
        if (!s.made) {
            int components = generate_component(g, separators[i].set, s.label);
            s.around = neighbourhoods(g, s.label, components);
            s.full.resize(size_t(components));
            for (int k = 0; k < components; ++k)
                s.full[size_t(k)] = s.around[size_t(k)] == separators[i].set;
            s.made = true;
        }
        return s;
    }

    // The pieces of the torso of p split along separator i, if i is a
    // minimal separator of that torso (at least two full components).
    bool pieces_of(const Bits &p, size_t i, Vec<Bits> &pieces)
    {
        const Bits &t = separators[i].set;
        if (!subset(t, p))
            return false;
        const Split &s = split_of(i);
        pieces.clear();
        Ids seen;
        int full = 0;
        each_member(p, [&](int v) {
            int k = s.label[size_t(v)];
            if (k >= 0 && std::find(seen.begin(), seen.end(), k) == seen.end()) {
                seen.push_back(k);
                full += s.full[size_t(k)];
            }
        });
        if (full < 2)
            return false;
        for (int k : seen) {
            Bits piece = s.around[size_t(k)];
            each_member(p, [&](int v) {
                if (s.label[size_t(v)] == k)
                    put(piece, v);
            });
            pieces.push_back(std::move(piece));
        }
        return true;
    }

    // Whether the torso of p is complete: every pair adjacent, or both on
    // some component outside p.
    bool torso_complete(const Bits &p)
    {
        Vec<int> label;
        int components = generate_component(g, p, label);
        Vec<Bits> around = neighbourhoods(g, label, components);
        Ids list = members(p);
        Bits row = g.empty();
        for (int v : list) {
            std::copy(g.row(v), g.row(v) + g.words, row.begin());
            put(row, v);
            for (const Bits &a : around)
                if (has(a, v))
                    for (size_t w = 0; w < g.words; ++w)
                        row[w] |= a[w];
            if (!subset(p, row))
                return false;
        }
        return true;
    }

};

// The optimal assembly.  A fragment is a full block (S, C) of a kept
// separator S: C a component of the graph minus S with N(C) = S; the whole
// graph is the fragment (empty, all).  A minimal triangulation of a
// fragment has exactly one clique holding S, a potential maximal clique
// Omega with S < Omega <= S + C, and the rest of it triangulates the
// fragments (N(K), K) of the components K of the graph minus Omega inside
// C.  The fragments are solved smallest first, each by a search for its
// Omega (search_for_pmc): the vertices of C are taken in order, each
// either a member of Omega or in a fragment cut off whole, so that every
// pair (Omega, children) is met once; the partial weight bounds the search.
struct FragmentRecord {
    Bits inside, separator;
    size_t size;
    double cost = infinite;
    Ids children; // the chosen fragments cut off
};

struct Assembly {
    const Graph &g;
    Vec<FragmentRecord> fragments;
    Vec<Ids> holding;   // by vertex: the fragments whose inside holds it
    Vec<Ids> bordering; // by vertex: the fragments whose separator holds it

    // The search state of one fragment.
    const FragmentRecord *current = nullptr;
    Bits rest, omega; // undecided vertices of C; S and the members so far
    Ids cut;
    Ids best_children;
    double best = infinite;

    explicit Assembly(const Graph &graph) : g(graph), holding(graph.n), bordering(graph.n) {}

    // Whether the non-adjacent pair x, y of Omega can still be covered:
    // both in S or in a separator of a fragment cut or still to cut.
    bool coverable(int x, int y) const
    {
        if (has(current->separator, x) && has(current->separator, y))
            return true;
        for (int k : cut)
            if (has(fragments[size_t(k)].separator, x) && has(fragments[size_t(k)].separator, y))
                return true;
        for (int k : bordering[size_t(x)]) {
            const FragmentRecord &f = fragments[size_t(k)];
            if (&f != current && has(f.separator, y) && f.cost != infinite && subset(f.inside, rest))
                return true;
        }
        return false;
    }

    // Whether the members added can still form a potential maximal clique
    // with what the rest allows.
    bool feasible(const Ids &added) const
    {
        Ids list = members(omega);
        for (int x : added)
            for (int y : list)
                if (x != y && !g.adjacent(x, y) && !coverable(x, y))
                    return false;
        return true;
    }

    double lower_bound() const
    {
        long double sum = weight_of(g, omega);
        for (int k : cut)
            sum += fragments[size_t(k)].cost;
        return double(sum);
    }

    void evaluate_candidate()
    {
        if (omega == current->separator)
            return; // Omega must exceed S
        for (int k : cut)
            if (fragments[size_t(k)].separator == omega)
                return; // a full component: not a potential maximal clique
        Ids list = members(omega);
        for (size_t i = 0; i < list.size(); ++i)
            for (size_t j = i + 1; j < list.size(); ++j)
                if (!g.adjacent(list[i], list[j]) && !coverable(list[i], list[j]))
                    return;
        double cost = lower_bound();
        if (cost < best) {
            best = cost;
            best_children = cut;
        }
    }

    void search_for_pmc()
    {
        if (!(lower_bound() < best))
            return;
        int x = -1;
        for (size_t i = 0; i < rest.size() && x < 0; ++i)
            if (rest[i])
                x = int(i * 64 + size_t(__builtin_ctzll(rest[i])));
        if (x < 0) {
            evaluate_candidate();
            return;
        }
        // x in a fragment cut off whole, its separator joining Omega.
        for (int k : holding[size_t(x)]) {
            const FragmentRecord &f = fragments[size_t(k)];
            if (&f == current || f.cost == infinite || !subset(f.inside, rest))
                continue;
            Bits allowed = rest;
            for (size_t w = 0; w < allowed.size(); ++w)
                allowed[w] |= omega[w];
            if (!subset(f.separator, allowed))
                continue;
            Bits saved_rest = rest, saved_omega = omega;
            Ids added;
            each_member(f.separator, [&](int v) {
                if (!has(omega, v))
                    added.push_back(v);
            });
            for (size_t w = 0; w < rest.size(); ++w) {
                rest[w] &= ~(f.inside[w] | f.separator[w]);
                omega[w] |= f.separator[w];
            }
            cut.push_back(k);
            if (feasible(added))
                search_for_pmc();
            cut.pop_back();
            rest = saved_rest, omega = saved_omega;
        }
        // x in Omega.
        rest[size_t(x) / 64] &= ~(uint64_t(1) << (size_t(x) % 64));
        put(omega, x);
        if (feasible(Ids(1, x)))
            search_for_pmc();
        omega[size_t(x) / 64] &= ~(uint64_t(1) << (size_t(x) % 64));
        put(rest, x);
    }

    void triangulate_all_fragments()
    {
        Vec<size_t> order(fragments.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return fragments[a].size < fragments[b].size; });
        for (size_t i : order) {
            FragmentRecord &f = fragments[i];
            current = &f;
            rest = f.inside;
            omega = f.separator;
            cut.clear();
            best = infinite;
            best_children.clear();
            search_for_pmc();
            f.cost = best;
            f.children = best_children;
        }
        current = nullptr;
    }

    // The cliques of the chosen triangulation of fragment f.
    void identify_cliques(int f, Vec<Bits> &cliques) const
    {
        Ids stack(1, f);
        while (!stack.empty()) {
            const FragmentRecord &r = fragments[size_t(stack.back())];
            stack.pop_back();
            Bits omega = r.inside;
            for (size_t w = 0; w < omega.size(); ++w)
                omega[w] |= r.separator[w];
            for (int k : r.children)
                for (size_t w = 0; w < omega.size(); ++w)
                    omega[w] &= ~fragments[size_t(k)].inside[w];
            cliques.push_back(omega);
            stack.insert(stack.end(), r.children.rbegin(), r.children.rend());
        }
    }
};

// The fragments of the kept separators, and the whole graph last.
void create_fragments(Search &s, size_t kept, Assembly &a)
{
    for (size_t i = 0; i < kept; ++i) {
        const Split &split = s.split_of(i);
        for (size_t k = 0; k < split.full.size(); ++k) {
            if (!split.full[k])
                continue;
            Bits inside = s.g.empty();
            for (int v = 0; v < int(s.g.n); ++v)
                if (split.label[size_t(v)] == int(k))
                    put(inside, v);
            a.fragments.push_back({inside, s.separators[i].set, count(inside), infinite, {}});
        }
    }
    Bits all = s.g.empty();
    for (int v = 0; v < int(s.g.n); ++v)
        put(all, v);
    a.fragments.push_back({all, s.g.empty(), s.g.n, infinite, {}});
    for (size_t f = 0; f + 1 < a.fragments.size(); ++f)
    {
        each_member(a.fragments[f].inside, [&](int v) { a.holding[size_t(v)].push_back(int(f)); });
        each_member(a.fragments[f].separator, [&](int v) { a.bordering[size_t(v)].push_back(int(f)); });
    }
}

// The greedy bound: split along the first separator (in sorted order, from
// first on) that splits the fragment's torso, and again in each piece with
// the separators after it.
double greedy_triangulate(Search &s, const Bits &p, size_t first, Vec<Bits> &cliques)
{
    if (s.torso_complete(p)) {
        cliques.push_back(p);
        return weight_of(s.g, p);
    }
    Vec<Bits> pieces;
    for (size_t i = first; i < s.separators.size(); ++i) {
        if (!s.pieces_of(p, i, pieces))
            continue;
        long double cost = 0.0L;
        for (const Bits &piece : pieces)
            cost += greedy_triangulate(s, piece, i + 1, cliques);
        return double(cost);
    }
    return infinite; // not reached: a torso that is not complete has a separator
}

double compute_min_number_of_states(const Graph &g)
{
    double m = infinite;
    for (kv_node_s *x : g.node) {
        if (x->kind == kv_kind_continuous)
            return 1.0;
        m = std::min(m, double(x->number_of_states));
    }
    return std::max(m, 1.0);
}

double compute_fill_in_weight(const Graph &g, const Bits &set)
{
    Ids list = members(set);
    long double sum = 0.0L;
    for (size_t i = 0; i < list.size(); ++i)
        for (size_t j = i + 1; j < list.size(); ++j)
            if (!g.adjacent(list[i], list[j]))
                sum += (long double)node_weight(g.node[size_t(list[i])]) *
                       node_weight(g.node[size_t(list[j])]);
    return double(sum);
}

// The pieces of the whole graph split along set: each component with its
// neighbourhood.
Vec<Bits> split_fragment(const Graph &g, const Bits &set)
{
    Vec<int> label;
    int components = generate_component(g, set, label);
    Vec<Bits> pieces = neighbourhoods(g, label, components);
    for (int v = 0; v < int(g.n); ++v)
        if (label[size_t(v)] >= 0)
            put(pieces[size_t(label[size_t(v)])], v);
    return pieces;
}

size_t compute_size_of_largest_fragment(const Graph &g, const Bits &set)
{
    size_t largest = 0;
    for (const Bits &piece : split_fragment(g, set))
        largest = std::max(largest, count(piece));
    return largest;
}

double compute_score(const Graph &g, const Separator &s)
{
    double l = std::log(s.weight);
    return l * l * l / double(g.n - compute_size_of_largest_fragment(g, s.set));
}

// Among the separators no heavier than the fourth power of the lightest,
// the one of least score, on ties the one needing the least fill-in weight.
size_t select_separator(const Graph &g, const Vec<Separator> &sorted)
{
    double limit = std::pow(sorted[0].weight, 4.0);
    size_t best = 0;
    double best_score = infinite, best_fill = infinite;
    for (size_t i = 0; i < sorted.size() && sorted[i].weight <= limit; ++i) {
        double score = compute_score(g, sorted[i]);
        if (score < best_score) {
            best = i, best_score = score, best_fill = compute_fill_in_weight(g, sorted[i].set);
        } else if (score == best_score) {
            double fill = compute_fill_in_weight(g, sorted[i].set);
            if (fill < best_fill)
                best = i, best_fill = fill;
        }
    }
    return best;
}

// The graph of one piece: its members, their edges, and its separator part
// completed.
Graph piece_graph(const Graph &g, const Bits &piece, const Bits &separator)
{
    Graph h;
    h.domain = g.domain;
    Ids list = members(piece);
    h.n = list.size();
    h.words = (h.n + 63) / 64;
    Vec<int> local(g.n, -1);
    for (size_t i = 0; i < list.size(); ++i) {
        local[size_t(list[i])] = int(i);
        h.node.push_back(g.node[size_t(list[i])]);
        h.vertex.push_back(g.vertex[size_t(list[i])]);
    }
    h.rows.assign(h.n * h.words, 0);
    for (size_t i = 0; i < list.size(); ++i)
        for (size_t j = 0; j < list.size(); ++j) {
            int a = list[i], b = list[j];
            if (i != j && (g.adjacent(a, b) || (has(separator, a) && has(separator, b))))
                h.rows[i * h.words + j / 64] |= uint64_t(1) << (j % 64);
        }
    return h;
}

struct Run {
    size_t max;
    size_t *counter;
    Vec<Ids> *cliques; // the caller's vertices
    bool split = false;
};

long double add_cliques(const Graph &g, const Vec<Bits> &found, Run &run)
{
    long double cost = 0.0L;
    for (const Bits &c : found) {
        cost += weight_of(g, c);
        Ids clique;
        each_member(c, [&](int v) { clique.push_back(g.vertex[size_t(v)]); });
        std::sort(clique.begin(), clique.end());
        run.cliques->push_back(std::move(clique));
    }
    return cost;
}

int triangulate_using_separators(const Graph &g, Run &run, long double &cost);

// Too many separators: split along one and triangulate the pieces.
int split_and_triangulate(const Graph &g, SeparatorCollection &c, Run &run, long double &cost)
{
    kv_domain_s *d = g.domain;
    Vec<Separator> &sorted = c.entries;
    std::stable_sort(sorted.begin(), sorted.end(), compare_separators);
    if (g.whole) {
        if (int status = _kv_log(d, "\n    This component"))
            return status;
    } else if (int status = _kv_log(d, "\n    Graph G%s", _kv_print_size(d, g.number))) {
        return status;
    }
    if (int status = _kv_log(d, " has more than %s minimal separators\n", _kv_print_size(d, run.max)))
        return status;
    Bits all = g.empty();
    for (int v = 0; v < int(g.n); ++v)
        put(all, v);
    if (int status = log_members(g, all, "\t", 71))
        return status;
    const Separator &s = sorted[select_separator(g, sorted)];
    if (int status = _kv_log(d, "    Using the following separator of size %s and cost %s:\n",
                             _kv_print_size(d, s.size), _kv_print_cost(d, s.weight)))
        return status;
    if (int status = log_members(g, s.set, "\t", 71))
        return status;
    if (int status = _kv_log(d, "    to split the %s into the following subgraphs:\n",
                             g.whole ? "component" : "graph"))
        return status;
    Vec<Bits> pieces = split_fragment(g, s.set);
    Vec<Graph> graphs;
    for (const Bits &piece : pieces) {
        Bits part = piece;
        for (size_t w = 0; w < g.words; ++w)
            part[w] &= s.set[w];
        graphs.push_back(piece_graph(g, piece, part));
        graphs.back().number = ++*run.counter;
        if (int status = _kv_log(d, "\tG%s (size: %s)\n", _kv_print_size(d, graphs.back().number),
                                 _kv_print_size(d, graphs.back().n)))
            return status;
    }
    c = SeparatorCollection(); // free_separator_collection before the pieces
    cost = 0.0L;
    for (const Graph &h : graphs) {
        Bits all_h = h.empty();
        for (int v = 0; v < int(h.n); ++v)
            put(all_h, v);
        bool complete = true;
        for (int v = 0; v < int(h.n) && complete; ++v)
            for (int u = v + 1; u < int(h.n) && complete; ++u)
                complete = h.adjacent(v, u);
        if (complete) {
            double w = weight_of(h, all_h);
            if (int status = _kv_log(d, "\n    Graph G%s is a clique of cost %s\n",
                                     _kv_print_size(d, h.number), _kv_print_cost(d, w)))
                return status;
            cost += add_cliques(h, Vec<Bits>(1, all_h), run);
            continue;
        }
        if (int status = _kv_log(d, "Triangulating graph G%s:\n\t", _kv_print_size(d, h.number)))
            return status;
        long double piece_cost = 0.0L;
        if (int status = triangulate_using_separators(h, run, piece_cost))
            return status;
        cost += piece_cost;
    }
    return kv_error_none;
}

int triangulate_using_separators(const Graph &g, Run &run, long double &cost)
{
    kv_domain_s *d = g.domain;
    SeparatorCollection c; // new_separator_collection
    if (!find_minimal_separators(g, c, run.max)) {
        run.split = true;
        return split_and_triangulate(g, c, run, cost);
    }
    Vec<Separator> &sorted = c.entries;
    if (int status = _kv_log(d, "\nFound %s minimal separators\n", _kv_print_size(d, sorted.size())))
        return status;
    std::stable_sort(sorted.begin(), sorted.end(), compare_separators);

    Bits all = g.empty();
    for (int v = 0; v < int(g.n); ++v)
        put(all, v);
    Search greedy(g, sorted);
    Vec<Bits> greedy_cliques;
    double bound = greedy_triangulate(greedy, all, 0, greedy_cliques);
    if (int status = _kv_log(d, "%sFound greedy triangulation of cost %s\n", g.prefix(),
                             _kv_print_cost(d, bound)))
        return status;

    double threshold = bound / (2.0 * compute_min_number_of_states(g));
    size_t kept = 0;
    while (kept < sorted.size() && sorted[kept].weight <= threshold)
        ++kept;
    if (int status = _kv_log(d, "%sKept %s separators for triangulation\n", g.prefix(),
                             _kv_print_size(d, kept)))
        return status;

    Assembly assembly(g);
    create_fragments(greedy, kept, assembly);
    if (int status = _kv_log(d, "%sCreated %s fragments\n", g.prefix(),
                             _kv_print_size(d, assembly.fragments.size())))
        return status;
    assembly.triangulate_all_fragments();
    int root = int(assembly.fragments.size() - 1);
    Vec<Bits> found;
    if (assembly.fragments[size_t(root)].cost <= bound)
        assembly.identify_cliques(root, found);
    else
        found = std::move(greedy_cliques); // never worse than the bound
    cost = add_cliques(g, found, run);
    if (int status = _kv_log(d, "    Optimal triangulation of graph G%s has cost %s\n",
                             _kv_print_size(d, g.number), _kv_print_cost(d, double(cost))))
        return status;
    if (g.whole)
        return _kv_log(d, "\nFound optimal triangulation of cost %s\n", _kv_print_cost(d, double(cost)));
    return kv_error_none;
}

} // namespace

int _kv_triangulate_optimally(kv_domain_s *d, const std::vector<kv_node_s *> &nodes,
                              const std::vector<std::vector<int>> &adjacency,
                              const std::vector<int> &vertices, size_t *graph_counter,
                              std::vector<std::vector<int>> &cliques, bool *split)
{
    Graph g;
    g.domain = d;
    g.whole = true;
    g.n = nodes.size();
    g.words = (g.n + 63) / 64;
    g.node.assign(nodes.begin(), nodes.end());
    g.vertex.assign(vertices.begin(), vertices.end());
    g.rows.assign(g.n * g.words, 0);
    for (size_t v = 0; v < g.n; ++v)
        for (int u : adjacency[v])
            g.rows[v * g.words + size_t(u) / 64] |= uint64_t(1) << (size_t(u) % 64);
    g.number = ++*graph_counter;
    Vec<Ids> found;
    Run run{d->max_number_of_separators, graph_counter, &found};
    long double cost = 0.0L;
    if (int status = triangulate_using_separators(g, run, cost))
        return status;
    *split = run.split;
    for (const Ids &c : found)
        cliques.emplace_back(c.begin(), c.end());
    return kv_error_none;
}

kv_status_t kv_domain_set_max_number_of_separators(kv_domain_t d, size_t count)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    d->max_number_of_separators = count;
    return kv_error_none;
}

size_t kv_domain_get_max_number_of_separators(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return static_cast<size_t>(-1);
    return d->max_number_of_separators;
}
