// Sum propagation over the nonzero entries of large clique tables.
//
// An entry that is zero in a clique's prior table stays zero under any
// evidence: every configuration of the network that projects onto it has
// probability zero, so no product or quotient of the propagation can make it
// anything else.  Many networks have large cliques that are mostly such
// zeros (deterministic or banded tables).  For those the tree keeps the
// positions of the nonzero prior entries, their values in a compact array,
// the product of the clique's potentials there (what a new case loads), and
// for each control out of the clique the small-table index of every
// position.  Sum propagation in normal mode then works on the compact
// values alone.
//
// The dense table stays the clique's table for everything else.  Its zeros
// are never written; its nonzero entries are brought up to date (scattered)
// before anything reads it, with the evidence slices, and the compact values
// are gathered again after a propagation over whole tables.
//
// A prior entry that underflows to zero counts as a structural zero, as it
// already does in every propagation that starts from the prior tables.
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/memory.h"
#include "propagate.h"
#include "table/kernels.h"
#include "table/operations.h"

// Cliques smaller than this are cheap enough over whole tables; denser
// ones lose more to the indirection than they gain from the zeros.
static size_t minimum_size = 1024;
static double maximum_density = 0.35;

// The node tables that go into the clique's table.
static bool clique_potentials(kv_junction_tree_s *jt, kv_table_s *t, std::vector<kv_control_s *> &out)
{
    for (kv_node_s **n = jt->nodes; *n; ++n) {
        kv_control_s *c = (*n)->potential_control;
        if (!c || (*n)->category != kv_category_chance || _kv_control_big(c) != t)
            continue;
        if (!_kv_discrete_probabilities(c))
            return false;
        out.push_back(c);
    }
    return true;
}

// The controls out of the clique that propagation uses: its links, and the
// evidence and belief controls of the nodes it serves.
static void clique_controls(kv_clique_s *c, std::vector<kv_control_s *> &out)
{
    kv_table_s *t = c->probability_table;
    for (kv_neighbor_s *cell = c->neighbors; cell; cell = cell->next)
        if (cell->control && cell->control->big_probability == t && cell->control->small_probability)
            out.push_back(cell->control);
    for (kv_node_s **m = c->junction_tree->nodes; *m; ++m) {
        kv_node_s *n = *m;
        if (n->category != kv_category_chance)
            continue;
        if (n->evidence_control && n->evidence_control->big_probability == t &&
            n->evidence_control->small_probability)
            out.push_back(n->evidence_control);
        if (n->belief_control && n->belief_control->big_probability == t &&
            n->belief_control->small_probability)
            out.push_back(n->belief_control);
    }
}

namespace {
struct Built {
    kv_sparse_s *sparse = nullptr;
    std::vector<uint32_t *> maps;
    ~Built()
    {
        for (uint32_t *m : maps)
            std::free(m);
        if (sparse) {
            std::free(sparse->positions);
            std::free(sparse->values);
            std::free(sparse->initial);
            std::free(sparse);
        }
    }
};
} // namespace

// Walks the table once: records the nonzero positions and, for each
// control, the matching small-table index (row-major tables, last node
// fastest).  Gives false when out of memory.
static bool build_clique(kv_table_s *t, size_t count, const std::vector<kv_control_s *> &controls, Built &b)
{
    size_t D = t->discrete_count, nc = controls.size();
    b.sparse = kv::allocate_array<kv_sparse_s>(1);
    if (!b.sparse)
        return false;
    std::memset(b.sparse, 0, sizeof *b.sparse);
    b.sparse->count = count;
    b.sparse->positions = kv::allocate_array<uint32_t>(count);
    b.sparse->values = kv::allocate_array<double>(count);
    b.sparse->initial = kv::allocate_array<double>(count);
    if (!b.sparse->positions || !b.sparse->values || !b.sparse->initial)
        return false;
    for (size_t k = 0; k < nc; ++k) {
        b.maps.push_back(kv::allocate_array<uint32_t>(count));
        if (!b.maps.back())
            return false;
    }
    // strides[k * D + j]: the stride in control k's small table of big node j.
    std::vector<size_t> strides(nc * D, 0), states(D);
    for (size_t j = 0; j < D; ++j)
        states[j] = t->nodes[j]->number_of_states;
    for (size_t k = 0; k < nc; ++k) {
        const kv_table_s *small = controls[k]->small_probability;
        size_t stride = 1;
        for (size_t i = small->discrete_count; i-- > 0;) {
            strides[k * D + controls[k]->small_positions[i]] = stride;
            stride *= small->nodes[i]->number_of_states;
        }
    }
    const double *x = t->discrete_data;
    size_t inner = states[D - 1], n = 0;
    std::vector<size_t> digit(D, 0), base(nc, 0);
    for (size_t start = 0; start < t->size; start += inner) {
        for (size_t j = 0; j < inner; ++j) {
            if (x[start + j] == 0.0)
                continue;
            b.sparse->positions[n] = uint32_t(start + j);
            b.sparse->values[n] = x[start + j];
            for (size_t k = 0; k < nc; ++k)
                b.maps[k][n] = uint32_t(base[k] + j * strides[k * D + D - 1]);
            ++n;
        }
        for (size_t j = D - 1; j-- > 0;) {
            if (++digit[j] < states[j]) {
                for (size_t k = 0; k < nc; ++k)
                    base[k] += strides[k * D + j];
                break;
            }
            for (size_t k = 0; k < nc; ++k)
                base[k] -= (states[j] - 1) * strides[k * D + j];
            digit[j] = 0;
        }
    }
    return n == count;
}

static void free_map(kv_control_s *c)
{
    if (c->sparse_map) {
        std::free(c->sparse_map->data);
        std::free(c->sparse_map->support);
    }
    std::free(c->sparse_map);
    c->sparse_map = nullptr;
}

// Takes the per-entry map; keeps it as runs where those are fewer than half
// the entries.  NULL when out of memory (the map is freed).
static kv_sparse_map_s *make_map(uint32_t *map, size_t count, size_t small_size)
{
    kv_sparse_map_s *m = kv::allocate_array<kv_sparse_map_s>(1);
    if (!m) {
        std::free(map);
        return nullptr;
    }
    std::memset(m, 0, sizeof *m);
    std::vector<char> hit(small_size, 0);
    for (size_t i = 0; i < count; ++i) {
        m->support_count += !hit[map[i]];
        hit[map[i]] = 1;
    }
    m->support = kv::allocate_array<uint32_t>(m->support_count ? m->support_count : 1);
    if (!m->support) {
        std::free(map);
        std::free(m);
        return nullptr;
    }
    for (size_t i = 0, k = 0; i < small_size; ++i)
        if (hit[i])
            m->support[k++] = uint32_t(i);
    size_t runs[2] = {count ? 1u : 0u, count ? 1u : 0u};
    for (size_t i = 1; i < count; ++i)
        for (int step = 0; step < 2; ++step)
            runs[step] += map[i] != map[i - 1] + uint32_t(step);
    int step = runs[1] < runs[0] ? 1 : 0;
    if (2 * runs[step] > count) {
        m->step = -1;
        m->data = map;
        for (size_t k = 0; k <= kv_sparse_map_s::chunks; ++k)
            m->chunk_run[k] = m->chunk_entry[k] = _kv_share_bound(count, k, kv_sparse_map_s::chunks);
        return m;
    }
    uint32_t *pairs = kv::allocate_array<uint32_t>(2 * runs[step]);
    if (!pairs) {
        std::free(map);
        std::free(m->support);
        std::free(m);
        return nullptr;
    }
    size_t r = 0, chunk = 1;
    m->chunk_run[0] = m->chunk_entry[0] = 0;
    for (size_t i = 0; i < count; ++r) {
        // A chunk ends at the first run boundary past its share of entries.
        for (; chunk < kv_sparse_map_s::chunks && i >= _kv_share_bound(count, chunk, kv_sparse_map_s::chunks); ++chunk) {
            m->chunk_run[chunk] = r;
            m->chunk_entry[chunk] = i;
        }
        size_t j = i + 1;
        while (j < count && map[j] == map[j - 1] + uint32_t(step))
            ++j;
        pairs[2 * r] = uint32_t(j - i);
        pairs[2 * r + 1] = map[i];
        i = j;
    }
    for (; chunk <= kv_sparse_map_s::chunks; ++chunk) {
        m->chunk_run[chunk] = r;
        m->chunk_entry[chunk] = count;
    }
    std::free(map);
    m->step = step;
    m->runs = r;
    m->data = pairs;
    return m;
}


namespace kv {
std::pair<size_t, double> set_sparse_limits(size_t size, double density)
{
    std::pair<size_t, double> previous{minimum_size, maximum_density};
    minimum_size = size;
    maximum_density = density;
    return previous;
}
} // namespace kv

void _kv_jt_free_sparse(kv_junction_tree_s *jt)
{
    for (kv_clique_s **c = jt->cliques; *c; ++c) {
        kv_table_s *t = (*c)->probability_table;
        for (kv_control_s *k = jt->domain->first_control; t->sparse && k; k = k->next)
            if (k->big_probability == t)
                free_map(k);
        if (t->sparse) {
            // The dense table becomes the only copy.
            _kv_sparse_fill(t);
            std::free(t->sparse->positions);
            std::free(t->sparse->values);
            std::free(t->sparse->initial);
            std::free(t->sparse);
            t->sparse = nullptr;
        }
    }
    jt->tables.sparse_built = 0;
}

// The sparse form of one clique of the tree, from its prior table; the
// clique keeps its whole table when the form does not pay or memory runs out.
static void build_sparse_clique(kv_clique_s *c)
{
    kv_table_s *t = c->probability_table;
    if (t->sparse || t->size < minimum_size || t->size > UINT32_MAX || !t->discrete_data ||
        t->discrete_count == 0 || c->utility_table)
        return;
    size_t count = 0;
    for (size_t i = 0; i < t->size; ++i)
        count += t->discrete_data[i] != 0.0;
    if (count == 0 || double(count) > maximum_density * double(t->size))
        return;
    std::vector<kv_control_s *> controls, potentials;
    clique_controls(c, controls);
    if (!clique_potentials(c->junction_tree, t, potentials))
        return;
    size_t kept = controls.size();
    controls.insert(controls.end(), potentials.begin(), potentials.end());
    Built b;
    if (!build_clique(t, count, controls, b))
        return;
    double *initial = b.sparse->initial;
    for (size_t i = 0; i < count; ++i)
        initial[i] = 1.0;
    for (size_t k = kept; k < controls.size(); ++k) {
        const double *p = controls[k]->small_probability->discrete_data;
        const uint32_t *map = b.maps[k];
        for (size_t i = 0; i < count; ++i)
            initial[i] *= p[map[i]];
    }
    bool made = true;
    for (size_t k = 0; k < kept && made; ++k) {
        free_map(controls[k]);
        controls[k]->sparse_map = make_map(b.maps[k], count, controls[k]->small_probability->size);
        made = controls[k]->sparse_map != nullptr;
        b.maps[k] = nullptr;
    }
    if (!made) {
        for (size_t k = 0; k < kept; ++k)
            free_map(controls[k]);
        return;
    }
    t->sparse = b.sparse;
    b.sparse = nullptr;
}

void _kv_jt_build_sparse(kv_junction_tree_s *jt)
{
    kv_domain_s *d = jt->domain;
    jt->tables.sparse_built = 1;
    if (d->is_compressed || d->memory_data || jt->tables.exposed || jt->tables.flat || d->chain_blocks ||
        d->number_of_continuous_nodes + d->number_of_decision_nodes + d->number_of_utility_nodes)
        return;
    for (kv_clique_s **c = jt->cliques; *c; ++c) {
        try {
            build_sparse_clique(*c);
        } catch (const std::bad_alloc &) {
            // The sparse form is optional: the clique keeps its whole table.
        }
    }
}

void _kv_jt_sparse_gather(kv_junction_tree_s *jt)
{
    for (kv_clique_s **c = jt->cliques; *c; ++c) {
        kv_sparse_s *s = (*c)->probability_table->sparse;
        if (!s || s->current != KV_SPARSE_DENSE)
            continue;
        const double *x = (*c)->probability_table->discrete_data;
        for (size_t i = 0; i < s->count; ++i)
            s->values[i] = x[s->positions[i]];
        s->current = KV_SPARSE_AGREE;
    }
}

void _kv_jt_sparse_stale(kv_junction_tree_s *jt, bool dense_rewritten)
{
    for (kv_clique_s **c = jt->cliques; *c; ++c) {
        kv_sparse_s *s = (*c)->probability_table->sparse;
        if (!s)
            continue;
        if (!dense_rewritten)
            _kv_sparse_fill((*c)->probability_table);
        s->current = KV_SPARSE_DENSE;
    }
}

// The current values: a case's load is not copied until something writes.
static const double *current(const kv_sparse_s *s)
{
    return s->current == KV_SPARSE_INITIAL || s->current == KV_SPARSE_INITIAL_AGREE ? s->initial
                                                                                    : s->values;
}

void _kv_sparse_fill(kv_table_s *t)
{
    kv_sparse_s *s = t->sparse;
    if (!s || (s->current != KV_SPARSE_VALUES && s->current != KV_SPARSE_INITIAL))
        return;
    double *x = t->discrete_data;
    const double *v = current(s);
    for (size_t i = 0; i < s->count; ++i)
        x[s->positions[i]] = v[i];
    s->current = s->current == KV_SPARSE_INITIAL ? KV_SPARSE_INITIAL_AGREE : KV_SPARSE_AGREE;
}

void _kv_sparse_load(kv_table_s *t)
{
    kv_sparse_s *s = t->sparse;
    s->current = KV_SPARSE_INITIAL;
}

namespace {
struct Share {
    const kv_sparse_map_s *m;
    const double *v;
    const double *y; // multiply: the small table
    double *x;       // multiply: the values; sums: the partials
    size_t size;     // sums: entries of each partial
};
} // namespace

// Calls f(first run, first entry, end run, end entry) for chunk k.
template <class F> static void for_chunk(const kv_sparse_map_s *m, size_t k, F &&f)
{
    f(m->chunk_run[k], m->chunk_entry[k], m->chunk_run[k + 1], m->chunk_entry[k + 1]);
}

static void multiply_chunks(size_t b, size_t e, void *context)
{
    const Share &s = *static_cast<const Share *>(context);
    const kv_sparse_map_s *m = s.m;
    const uint32_t *p = m->data;
    for (size_t k = b; k < e; ++k)
        for_chunk(m, k, [&](size_t r, size_t i, size_t r_end, size_t i_end) {
            if (m->step < 0) {
                for (; i < i_end; ++i)
                    s.x[i] = s.v[i] * s.y[p[i]];
            } else if (m->step == 0) {
                for (; r < r_end; ++r) {
                    double f = s.y[p[2 * r + 1]];
                    for (size_t end = i + p[2 * r]; i < end; ++i)
                        s.x[i] = s.v[i] * f;
                }
            } else {
                for (; r < r_end; ++r) {
                    size_t n = p[2 * r];
                    const double *f = s.y + p[2 * r + 1];
                    for (size_t j = 0; j < n; ++j)
                        s.x[i + j] = s.v[i + j] * f[j];
                    i += n;
                }
            }
        });
}

// Adds the entries of chunks [b, e) into dest, which covers the small table.
static void sum_chunks(const Share &s, size_t b, size_t e, double *dest)
{
    const kv_sparse_map_s *m = s.m;
    const uint32_t *p = m->data;
    for (size_t k = b; k < e; ++k)
        for_chunk(m, k, [&](size_t r, size_t i, size_t r_end, size_t i_end) {
            if (m->step < 0) {
                for (; i < i_end; ++i)
                    dest[p[i]] += s.v[i];
            } else if (m->step == 0) {
                for (; r < r_end; ++r) {
                    double sum = 0.0;
                    for (size_t end = i + p[2 * r]; i < end; ++i)
                        sum += s.v[i];
                    dest[p[2 * r + 1]] += sum;
                }
            } else {
                for (; r < r_end; ++r) {
                    size_t n = p[2 * r];
                    double *to = dest + p[2 * r + 1];
                    for (size_t j = 0; j < n; ++j)
                        to[j] += s.v[i + j];
                    i += n;
                }
            }
        });
}

void _kv_sparse_multiply(const kv_control_s *c)
{
    kv_sparse_s *s = c->big_probability->sparse;
    Share share{c->sparse_map, current(s), c->small_probability->discrete_data, s->values, 0};
    _kv_run_ranges(c->domain, kv_sparse_map_s::chunks, s->count / kv_sparse_map_s::chunks,
                   multiply_chunks, &share);
    s->current = KV_SPARSE_VALUES;
}

int _kv_sparse_marginalize(const kv_control_s *c, bool whole)
{
    const kv_table_s *t = c->big_probability;
    size_t size = c->small_probability->size;
    kv_domain_s *d = t->domain;
    if (_kv_check_buffer(d, size))
        return kv_error_no_memory;
    double *dest = _kv_scratch(d);
    const kv_sparse_map_s *m = c->sparse_map;
    if (whole)
        std::memset(dest, 0, size * sizeof(double));
    else
        for (size_t k = 0; k < m->support_count; ++k)
            dest[m->support[k]] = 0.0;
    const kv_sparse_s *s = t->sparse;
    Share share{m, current(s), nullptr, nullptr, size};
    // As the whole-table reductions: a large sum onto a small table goes in
    // chunks with partial results, added in chunk order.
    if (!kv::chunked_reduction(s->count, size, true)) {
        sum_chunks(share, 0, kv_sparse_map_s::chunks, dest);
        return _kv_set_error_code(kv_error_none);
    }
    size_t n = kv_sparse_map_s::chunks * size;
    share.x = kv::allocate_array<double>(n);
    if (!share.x)
        return _kv_set_error_code(kv_error_no_memory);
    std::memset(share.x, 0, n * sizeof(double));
    _kv_run_ranges(d, kv_sparse_map_s::chunks, s->count / kv_sparse_map_s::chunks,
                   [](size_t b, size_t e, void *context) {
                       const Share &s = *static_cast<const Share *>(context);
                       for (size_t k = b; k < e; ++k)
                           sum_chunks(s, k, k + 1, s.x + k * s.size);
                   },
                   &share);
    _kv_add_partials(dest, share.x, kv_sparse_map_s::chunks, size, false);
    std::free(share.x);
    return _kv_set_error_code(kv_error_none);
}

double _kv_sparse_sum(const kv_table_s *t)
{
    return double(_kv_extended_sum(current(t->sparse), t->sparse->count));
}

void _kv_sparse_scale(kv_table_s *t, double r)
{
    kv_sparse_s *s = t->sparse;
    const double *v = current(s);
    for (size_t i = 0; i < s->count; ++i)
        s->values[i] = v[i] * r;
    s->current = KV_SPARSE_VALUES;
}
