// The conditional-independence tests of structure learning: counting the
// cases over {X, Y} + Z, the G^2 statistic with its degrees of freedom, and
// the schedule that decides which pairs are tested given which sets.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/api.h"
#include "expr/distributions.h"
#include "structure.h"

thread_local size_t kv::learn::dense_count_limit = size_t(1) << 22;

namespace {

using namespace kv::learn;

// Unit counts of tables up to this many entries go into four interleaved
// integer tables: consecutive cases that hit one cell then do not wait on
// each other's stores.
constexpr size_t interleave_limit = size_t(1) << 14;

// The case data in compact columns: a node's states in 16 bits, its
// missing entries as `missing`.
constexpr uint16_t missing = UINT16_MAX;

struct Data {
    kv_domain_s *d = nullptr;
    size_t cases = 0;
    Vec<double> weight;                 // a case's count, 0 if it is left out
    Vec<Vec<uint16_t>> column;          // by creation index; empty: no part
    Vec<unsigned char> complete;        // every entry of the column is set
    Vec<size_t> states;
    Vec<kv_node_s *> domain_order;      // position in the domain's node order
    Vec<size_t> order_of;               // by creation index
    bool unit_weights = true;           // every case counts 1
    // x * ry + y per case for the pair last counted without checks: the
    // many tests of one pair share it.
    Vec<uint32_t> xy;
    size_t xy_x = SIZE_MAX, xy_y = SIZE_MAX;
    Vec<uint32_t> tally;                // scratch of the interleaved counts
    // With unit weights, the cases of each state of a complete node of few
    // states as a bit set of `words` 64-bit words; small tables are then
    // counted by intersecting sets instead of visiting every case.
    size_t words = 0;
    Vec<uint64_t> bits;
    Vec<size_t> bits_at;                // by creation index; SIZE_MAX: none
    Vec<uint64_t> pair_bits;            // the sets of (x, y) for one pair
    size_t bits_x = SIZE_MAX, bits_y = SIZE_MAX;
    Vec<uint64_t> meet;                 // intersections of a prefix of Z
    uint64_t (*popcount_and)(const uint64_t *, const uint64_t *, size_t) = nullptr;
};

// The number of cases in both sets; inlined into each target's version.
inline __attribute__((always_inline)) uint64_t popcount_and_body(const uint64_t *a, const uint64_t *b, size_t n)
{
    uint64_t c = 0;
    for (size_t i = 0; i < n; ++i)
        c += uint64_t(__builtin_popcountll(a[i] & b[i]));
    return c;
}

uint64_t popcount_and_plain(const uint64_t *a, const uint64_t *b, size_t n)
{
    return popcount_and_body(a, b, n);
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the processor's population count, where it has one.
__attribute__((target("popcnt"))) uint64_t popcount_and_native(const uint64_t *a, const uint64_t *b, size_t n)
{
    return popcount_and_body(a, b, n);
}
#endif

// Nodes of more states than this get no bit sets: a table of them would
// be too large for counting by sets to pay.
constexpr size_t bits_states_limit = 16;
// Tables of at most this many cells are counted by sets: one pass over
// the sets of a cell costs about a sixth of a pass over the cases.
constexpr size_t bits_cells_limit = 128;

bool takes_part(const Data &data, size_t v)
{
    return !data.column[v].empty();
}

void prepare(Data &data, const TestResults &r)
{
    kv_domain_s *d = data.d;
    size_t n = r.number_of_nodes;
    data.cases = d->number_of_cases;
    data.weight.assign(data.cases, 1.0);
    for (size_t i = 0; i < data.cases && d->case_counts; ++i) {
        double w = d->case_counts[i];
        data.weight[i] = w > 0 && std::isfinite(w) ? w : 0.0;
        data.unit_weights = data.unit_weights && data.weight[i] == 1.0;
    }
    data.column.resize(n);
    data.complete.assign(n, 0);
    data.states.assign(n, 0);
    data.order_of.assign(n, 0);
    for (kv_node_s *x = d->first_node; x; x = x->next) {
        data.order_of[_kv_creation_index(x)] = data.domain_order.size();
        data.domain_order.push_back(x);
    }
    for (size_t v = 0; v < n; ++v) {
        kv_node_s *x = r.nodes[v];
        size_t k = x->number_of_states;
        data.states[v] = k;
        if (!x->case_states || k < 2 || k >= missing || data.cases == 0)
            continue;
        Vec<uint16_t> &c = data.column[v];
        c.resize(data.cases);
        bool all = true;
        for (size_t i = 0; i < data.cases; ++i) {
            int s = x->case_states[i];
            bool set = s >= 0 && size_t(s) < k;
            c[i] = set ? uint16_t(s) : missing;
            all = all && set;
        }
        data.complete[v] = all;
    }
    data.bits_at.assign(n, SIZE_MAX);
    if (!data.unit_weights || data.cases == 0)
        return;
    data.words = (data.cases + 63) / 64;
    size_t total = 0;
    for (size_t v = 0; v < n; ++v)
        if (data.complete[v] && data.states[v] <= bits_states_limit)
            data.bits_at[v] = total, total += data.states[v] * data.words;
    data.bits.assign(total, 0);
    for (size_t v = 0; v < n; ++v) {
        if (data.bits_at[v] == SIZE_MAX)
            continue;
        uint64_t *b = data.bits.data() + data.bits_at[v];
        const uint16_t *c = data.column[v].data();
        for (size_t i = 0; i < data.cases; ++i)
            b[c[i] * data.words + i / 64] |= uint64_t(1) << (i % 64);
    }
    data.popcount_and = popcount_and_plain;
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("popcnt"))
        data.popcount_and = popcount_and_native;
#endif
}

// Fills the cells of the configurations of z[level..] below the
// intersection `set` of the cases of the earlier ones (nullptr: all
// cases), z in the domain's node order with zi the configuration so far.
// Empty intersections are skipped: their cells stay 0.
void count_below(Data &data, const Vec<size_t> &z, size_t level, const uint64_t *set, size_t zi, size_t rxy,
                 double *cell)
{
    size_t words = data.words;
    if (level == z.size()) {
        const uint64_t *pair = data.pair_bits.data();
        for (size_t c = 0; c < rxy; ++c, pair += words)
            cell[zi * rxy + c] = double(data.popcount_and(set ? set : pair, pair, words));
        return;
    }
    size_t v = z[level], k = data.states[v];
    uint64_t *meet = data.meet.data() + level * words;
    for (size_t s = 0; s < k; ++s) {
        const uint64_t *b = data.bits.data() + data.bits_at[v] + s * words;
        if (set) {
            uint64_t any = 0;
            for (size_t i = 0; i < words; ++i)
                any |= meet[i] = set[i] & b[i];
            if (!any)
                continue;
            b = meet;
        }
        count_below(data, z, level + 1, b, zi * k + s, rxy, cell);
    }
}

// Whether the table of x, y and z is best counted by sets (it has the sets
// and few cells), all of its columns complete.
bool counts_by_bits(const Data &data, size_t x, size_t y, const Vec<size_t> &z, size_t size)
{
    if (size > bits_cells_limit || data.bits_at[x] == SIZE_MAX || data.bits_at[y] == SIZE_MAX)
        return false;
    for (size_t v : z)
        if (data.bits_at[v] == SIZE_MAX)
            return false;
    return true;
}

void count_by_bits(Data &data, size_t x, size_t y, const Vec<size_t> &z, double *cell)
{
    size_t words = data.words, rx = data.states[x], ry = data.states[y];
    if (data.bits_x != x || data.bits_y != y) {
        data.pair_bits.resize(rx * ry * words);
        const uint64_t *bx = data.bits.data() + data.bits_at[x], *by = data.bits.data() + data.bits_at[y];
        uint64_t *p = data.pair_bits.data();
        for (size_t a = 0; a < rx; ++a)
            for (size_t b = 0; b < ry; ++b, p += words)
                for (size_t i = 0; i < words; ++i)
                    p[i] = bx[a * words + i] & by[b * words + i];
        data.bits_x = x, data.bits_y = y;
    }
    data.meet.resize(z.size() * words);
    count_below(data, z, 0, nullptr, 0, rx * ry, cell);
}

// The counts of one test: cells n(x, y, z) with z the configuration of the
// conditioning set in the domain's node order (the first node varying
// slowest), x and y the states of the pair.
struct Counts {
    size_t rx, ry, rz;
    bool dense;
    Vec<double> cell;                  // dense: [z][x][y]
    struct Entry {
        uint64_t z;
        uint32_t x, y;
        double w;
    };
    Vec<Entry> entries;                // sparse: sorted by (z, x, y)
};

// The cell of case i in a dense table: z given by M columns, the pair's
// index from the shared column.
template <size_t M> struct CellIndex {
    const uint32_t *xy;
    const uint16_t *z0, *z1, *z2;
    size_t r1, r2, rxy;

    size_t operator()(size_t i) const
    {
        if constexpr (M == 0)
            return xy[i];
        else if constexpr (M == 1)
            return size_t(z0[i]) * rxy + xy[i];
        else if constexpr (M == 2)
            return (size_t(z0[i]) * r1 + z1[i]) * rxy + xy[i];
        else
            return ((size_t(z0[i]) * r1 + z1[i]) * r2 + z2[i]) * rxy + xy[i];
    }
};

template <class At> void count_weighted(At at, size_t n, const double *w, double *cell)
{
    for (size_t i = 0; i < n; ++i)
        cell[at(i)] += w[i];
}

template <class At> void count_units(At at, size_t n, size_t size, Vec<uint32_t> &tally, double *cell)
{
    if (size > interleave_limit || n > UINT32_MAX) {
        for (size_t i = 0; i < n; ++i)
            cell[at(i)] += 1.0;
        return;
    }
    tally.assign(4 * size, 0);
    uint32_t *t0 = tally.data(), *t1 = t0 + size, *t2 = t1 + size, *t3 = t2 + size;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++t0[at(i)];
        ++t1[at(i + 1)];
        ++t2[at(i + 2)];
        ++t3[at(i + 3)];
    }
    for (; i < n; ++i)
        ++t0[at(i)];
    for (size_t c = 0; c < size; ++c)
        cell[c] = double(t0[c]) + double(t1[c]) + double(t2[c]) + double(t3[c]);
}

template <size_t M>
void count_complete(Data &data, CellIndex<M> at, size_t n, size_t size, double *cell)
{
    if (data.unit_weights)
        count_units(at, n, size, data.tally, cell);
    else
        count_weighted(at, n, data.weight.data(), cell);
}

void count_cases(Data &data, size_t x, size_t y, const Vec<size_t> &z, Counts &out)
{
    out.rx = data.states[x];
    out.ry = data.states[y];
    out.rz = 1;
    for (size_t v : z)
        out.rz = _kv_size_multiply(out.rz, data.states[v]);
    size_t size = _kv_size_multiply(_kv_size_multiply(out.rx, out.ry), out.rz);
    out.dense = size <= dense_count_limit;
    const uint16_t *cx = data.column[x].data(), *cy = data.column[y].data();
    const uint16_t *cz[3] = {};
    size_t radix[3] = {1, 1, 1};
    size_t m = z.size();
    for (size_t k = 0; k < m; ++k)
        cz[k] = data.column[z[k]].data(), radix[k] = data.states[z[k]];
    bool checks = !data.complete[x] || !data.complete[y];
    for (size_t k = 0; k < m; ++k)
        checks = checks || !data.complete[z[k]];
    const double *w = data.weight.data();
    size_t n = data.cases, rxy = out.rx * out.ry, ry = out.ry;
    if (out.dense) {
        out.cell.assign(size, 0.0);
        double *cell = out.cell.data();
        // Without missing entries the common shapes get their own loops:
        // counting dominates.
        if (!checks && counts_by_bits(data, x, y, z, size)) {
            count_by_bits(data, x, y, z, cell);
            return;
        }
        if (!checks && size <= UINT32_MAX) {
            if (data.xy_x != x || data.xy_y != y) {
                data.xy.resize(n);
                for (size_t i = 0; i < n; ++i)
                    data.xy[i] = uint32_t(size_t(cx[i]) * ry + cy[i]);
                data.xy_x = x, data.xy_y = y;
            }
            const uint32_t *xy = data.xy.data();
            size_t r1 = radix[1], r2 = radix[2];
            switch (m) {
            case 0:
                count_complete(data, CellIndex<0>{xy, cz[0], cz[1], cz[2], r1, r2, rxy}, n, size, cell);
                break;
            case 1:
                count_complete(data, CellIndex<1>{xy, cz[0], cz[1], cz[2], r1, r2, rxy}, n, size, cell);
                break;
            case 2:
                count_complete(data, CellIndex<2>{xy, cz[0], cz[1], cz[2], r1, r2, rxy}, n, size, cell);
                break;
            default:
                count_complete(data, CellIndex<3>{xy, cz[0], cz[1], cz[2], r1, r2, rxy}, n, size, cell);
            }
            return;
        }
        for (size_t i = 0; i < n; ++i) {
            if (checks) {
                bool gap = cx[i] == missing || cy[i] == missing;
                for (size_t k = 0; k < m; ++k)
                    gap = gap || cz[k][i] == missing;
                if (gap)
                    continue;
            }
            size_t zi = 0;
            for (size_t k = 0; k < m; ++k)
                zi = zi * radix[k] + cz[k][i];
            cell[zi * rxy + size_t(cx[i]) * ry + cy[i]] += w[i];
        }
        return;
    }
    out.entries.clear();
    for (size_t i = 0; i < n; ++i) {
        if (w[i] == 0 || cx[i] == missing || cy[i] == missing)
            continue;
        uint64_t zi = 0;
        bool gap = false;
        for (size_t k = 0; k < m; ++k) {
            gap = gap || cz[k][i] == missing;
            zi = zi * radix[k] + cz[k][i];
        }
        if (!gap)
            out.entries.push_back({zi, cx[i], cy[i], w[i]});
    }
    std::sort(out.entries.begin(), out.entries.end(), [](const Counts::Entry &a, const Counts::Entry &b) {
        return a.z != b.z ? a.z < b.z : a.x != b.x ? a.x < b.x : a.y < b.y;
    });
}

struct Statistic {
    double g2 = 0;
    size_t df = 0;
};

// G^2 of one configuration of Z from its cells, given by visit(f) calling
// f(x, y, n) for every positive cell in (x, y) order; nx and ny are zeroed
// scratch of rx and ry entries, left zeroed again.
template <class Visit>
void add_configuration(Statistic &s, Visit visit, double *nx, double *ny, size_t rx, size_t ry)
{
    visit([&](size_t x, size_t y, double n) { nx[x] += n, ny[y] += n; });
    size_t px = 0, py = 0;
    double total = 0;
    for (size_t x = 0; x < rx; ++x)
        px += nx[x] > 0;
    for (size_t y = 0; y < ry; ++y)
        if (ny[y] > 0)
            ++py, total += ny[y];
    if (px > 1 && py > 1) {
        s.df += (px - 1) * (py - 1);
        visit([&](size_t x, size_t y, double n) {
            double e = nx[x] * ny[y] / total;
            if (e > 0)
                s.g2 += 2 * n * std::log(n / e);
        });
    }
    std::fill(nx, nx + rx, 0.0);
    std::fill(ny, ny + ry, 0.0);
}

Statistic statistic(Counts &c)
{
    Statistic s;
    Vec<double> nx(c.rx, 0.0), ny(c.ry, 0.0);
    if (c.dense) {
        size_t rxy = c.rx * c.ry;
        for (size_t z = 0; z < c.rz; ++z) {
            const double *cell = c.cell.data() + z * rxy;
            add_configuration(
                s,
                [&](auto f) {
                    for (size_t x = 0; x < c.rx; ++x)
                        for (size_t y = 0; y < c.ry; ++y)
                            if (cell[x * c.ry + y] > 0)
                                f(x, y, cell[x * c.ry + y]);
                },
                nx.data(), ny.data(), c.rx, c.ry);
        }
        return s;
    }
    // Runs of equal (z, x, y) are one cell; runs of equal z one
    // configuration.
    const Counts::Entry *e = c.entries.data(), *end = e + c.entries.size();
    while (e != end) {
        const Counts::Entry *group = e;
        while (e != end && e->z == group->z)
            ++e;
        const Counts::Entry *stop = e;
        add_configuration(
            s,
            [&](auto f) {
                for (const Counts::Entry *p = group; p != stop;) {
                    double n = 0;
                    const Counts::Entry *q = p;
                    for (; q != stop && q->x == p->x && q->y == p->y; ++q)
                        n += q->w;
                    if (n > 0)
                        f(p->x, p->y, n);
                    p = q;
                }
            },
            nx.data(), ny.data(), c.rx, c.ry);
    }
    return s;
}

struct Schedule {
    kv_domain_s *d;
    TestResults &r;
    Data &data;
    Counts counts;
    bool npc;

    // Tests X and Y given Z (creation indices) and stores the result.
    bool do_independence_test(size_t x, size_t y, Vec<size_t> z)
    {
        // The set in the domain's node order.
        std::sort(z.begin(), z.end(), [&](size_t a, size_t b) { return data.order_of[a] < data.order_of[b]; });
        count_cases(data, x, y, z, counts);
        Statistic s = statistic(counts);
        double p = s.df == 0 ? 1.0 : _kv_chi_square_c(s.g2, double(s.df));
        TestRecord t;
        for (size_t v : z)
            t.conditioning.push_back(r.nodes[v]);
        t.degrees_of_freedom = s.df;
        t.g2 = s.g2;
        t.p_value = p;
        t.independent = p >= d->significance_level;
        return add_dependency(x, y, std::move(t));
    }

    bool add_dependency(size_t x, size_t y, TestRecord t)
    {
        PairRecord &p = r.pair(x, y);
        bool independent = t.independent;
        if (p.tests.empty())
            p.strength = t.g2;
        if (independent) {
            ++p.number_of_independences;
            p.smallest_independence = std::min(p.smallest_independence, t.conditioning.size());
        }
        p.tests.push_back(std::move(t));
        ++r.number_of_tests;
        return independent;
    }

    // Marginal tests of the pairs whose columns are complete, in blocks of
    // cases so that the columns of one block of nodes stay in cache.
    void test_using_blocks()
    {
        Vec<size_t> complete;
        for (size_t v = 0; v < r.number_of_nodes; ++v)
            if (takes_part(data, v) && data.complete[v])
                complete.push_back(v);
        // Many pairs share each pass over the cases: the pair tables of one
        // node against the later ones fill together, case block by block.
        constexpr size_t block = 4096;
        Vec<Vec<double>> tables;
        for (size_t a = 0; a < complete.size(); ++a) {
            size_t x = complete[a];
            size_t later = complete.size() - a - 1;
            tables.resize(later);
            for (size_t b = 0; b < later; ++b)
                tables[b].assign(data.states[x] * data.states[complete[a + 1 + b]], 0.0);
            const uint16_t *cx = data.column[x].data();
            const double *w = data.weight.data();
            for (size_t from = 0; from < data.cases; from += block) {
                size_t to = std::min(data.cases, from + block);
                for (size_t b = 0; b < later; ++b) {
                    size_t y = complete[a + 1 + b], ry = data.states[y];
                    const uint16_t *cy = data.column[y].data();
                    double *t = tables[b].data();
                    for (size_t i = from; i < to; ++i)
                        t[size_t(cx[i]) * ry + cy[i]] += w[i];
                }
            }
            for (size_t b = 0; b < later; ++b) {
                size_t y = complete[a + 1 + b];
                counts.rx = data.states[x], counts.ry = data.states[y], counts.rz = 1;
                counts.dense = true;
                counts.cell.swap(tables[b]);
                Statistic s = statistic(counts);
                counts.cell.swap(tables[b]);
                TestRecord t;
                t.degrees_of_freedom = s.df;
                t.g2 = s.g2;
                t.p_value = s.df == 0 ? 1.0 : _kv_chi_square_c(s.g2, double(s.df));
                t.independent = t.p_value >= d->significance_level;
                add_dependency(x, y, std::move(t));
            }
        }
    }

    // The marginal tests the blocks left: pairs with a missing entry.
    void test_untested_pairs()
    {
        for (size_t j = 1; j < r.number_of_nodes; ++j)
            for (size_t i = 0; i < j; ++i)
                if (takes_part(data, i) && takes_part(data, j) && r.pair(i, j).tests.empty())
                    do_independence_test(i, j, {});
    }

    bool connected(size_t i, size_t j) { return _kv_pair_is_connected(r.pair(i, j)); }

    // The pairs still connected (all testable pairs in NPC mode), by
    // decreasing strength, ties by position.
    Vec<std::pair<size_t, size_t>> pairs_to_test(size_t k)
    {
        Vec<std::pair<size_t, size_t>> list;
        for (size_t j = 1; j < r.number_of_nodes; ++j)
            for (size_t i = 0; i < j; ++i) {
                PairRecord &p = r.pair(i, j);
                if (!takes_part(data, i) || !takes_part(data, j) ||
                    p.constraint == kv_constraint_edge_forbidden || p.smallest_independence < k)
                    continue;
                if (npc ? p.tests.empty() : !connected(i, j))
                    continue;
                list.push_back({i, j});
            }
        std::stable_sort(list.begin(), list.end(), [&](auto a, auto b) {
            return r.pair(a.first, a.second).strength > r.pair(b.first, b.second).strength;
        });
        return list;
    }

    // The current neighbours of X or Y that can be conditioned on, by
    // decreasing association with the pair, ties by creation index.
    Vec<size_t> find_candidates(size_t x, size_t y)
    {
        Vec<size_t> list;
        Vec<double> association;
        for (size_t v = 0; v < r.number_of_nodes; ++v)
            if (v != x && v != y && takes_part(data, v) && (connected(x, v) || connected(y, v)))
                list.push_back(v);
        std::stable_sort(list.begin(), list.end(), [&](size_t a, size_t b) {
            return r.pair(x, a).strength + r.pair(y, a).strength > r.pair(x, b).strength + r.pair(y, b).strength;
        });
        return list;
    }

    bool tested(size_t x, size_t y, const Vec<size_t> &z)
    {
        for (const TestRecord &t : r.pair(x, y).tests) {
            if (t.conditioning.size() != z.size())
                continue;
            bool same = true;
            for (size_t v : z)
                same = same && std::find(t.conditioning.begin(), t.conditioning.end(), r.nodes[v]) !=
                                   t.conditioning.end();
            if (same)
                return true;
        }
        return false;
    }

    // One test given the strongest candidate, for every connected pair.
    void test_primary_candidates()
    {
        for (auto [x, y] : pairs_to_test(1)) {
            if (!connected(x, y))
                continue;
            Vec<size_t> c = find_candidates(x, y);
            if (!c.empty())
                do_independence_test(x, y, {c.front()});
        }
    }

    // Every subset of k candidates, in the order of the candidates, until
    // an independence is accepted (in NPC mode: all of them).
    void test_edges(size_t k)
    {
        for (auto [x, y] : pairs_to_test(k)) {
            PairRecord &p = r.pair(x, y);
            if (p.smallest_independence < k || (!npc && p.smallest_independence == k))
                continue;
            Vec<size_t> c = find_candidates(x, y);
            if (c.size() < k)
                continue;
            Vec<size_t> pick(k);
            for (size_t i = 0; i < k; ++i)
                pick[i] = i;
            for (;;) {
                Vec<size_t> z(k);
                for (size_t i = 0; i < k; ++i)
                    z[i] = c[pick[i]];
                if (!tested(x, y, z) && do_independence_test(x, y, z) && !npc)
                    break;
                size_t i = k;
                while (i > 0 && pick[i - 1] == c.size() - k + i - 1)
                    --i;
                if (i == 0)
                    break;
                ++pick[i - 1];
                for (size_t j = i; j < k; ++j)
                    pick[j] = pick[j - 1] + 1;
            }
        }
    }
};

} // namespace

bool _kv_pair_is_connected(const PairRecord &p)
{
    switch (p.constraint) {
    case kv_constraint_edge_required:
    case kv_constraint_forward_edge_required:
    case kv_constraint_backward_edge_required:
        return true;
    case kv_constraint_edge_forbidden:
        return false;
    default:
        return !p.tests.empty() && p.number_of_independences == 0;
    }
}

void _kv_domain_learn_dependencies(kv_domain_s *d, size_t max_size)
{
    TestResults *r = create<TestResults>();
    try {
        r->number_of_nodes = d->number_of_nodes;
        r->nodes.resize(r->number_of_nodes);
        for (kv_node_s *n = d->first_node; n; n = n->next)
            r->nodes[_kv_creation_index(n)] = n;
        size_t n = r->number_of_nodes;
        r->pairs.resize(n * (n > 0 ? n - 1 : 0) / 2);
        Data data;
        data.d = d;
        prepare(data, *r);
        Schedule s{d, *r, data, {}, d->npc_mode != 0};
        s.test_using_blocks();
        s.test_untested_pairs();
        for (size_t j = 1; j < n; ++j)
            for (size_t i = 0; i < j; ++i)
                r->pair(i, j).constraint = _kv_edge_constraint(r->nodes[i], r->nodes[j]);
        if (!s.npc)
            s.test_primary_candidates();
        for (size_t k = 1; k <= max_size; ++k)
            for (int pass = 0; pass < 2; ++pass)
                s.test_edges(k);
    } catch (...) {
        destroy(r);
        throw;
    }
    d->test_results = r;
}
