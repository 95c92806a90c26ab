// Compression of a compiled network of chance nodes: clique and separator
// tables keep only their nonzero entries (with their CG blocks), in order,
// and every control gets, per stored entry of its big table, the position of
// the matching entry of its small table.  Operations then run one flat loop
// over the stored entries (table/combine.cpp, table/marginalize.cpp,
// table/cg.cpp); the few that add a node to a clique table or need a new
// control over it (continuous evidence, distributions) take a whole copy.
//
// Compressing after evidence keeps that evidence in the tables: the
// configurations it made impossible are gone for good, and a reset brings
// back the probability of the rest as the trees' approximation constants.
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "compile/compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "inference/propagate.h"
#include "table/control.h"
#include "table/table.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

constexpr size_t max_small_entries = 65535;
constexpr uint32_t dropped = UINT32_MAX;

// The tables compression works on, by number: the clique and separator
// tables.
Vec<char> choose_tables(const kv_domain_s *d)
{
    Vec<char> out(d->number_of_tables + 1, 0);
    for (const kv_table_s *t = d->first_table; t; t = t->next)
        out[t->number] = t->role == KV_ROLE_CLIQUE || t->role == KV_ROLE_SEPARATOR;
    return out;
}

size_t count_nonzero_elements(const kv_table_s *t)
{
    size_t n = 0;
    for (size_t i = 0; i < t->size; ++i)
        n += t->discrete_data[i] != 0.0;
    return n;
}

// Bytes of the clique and separator data and of the controls.
size_t space_used(const kv_domain_s *d)
{
    size_t bytes = 0;
    for (const kv_table_s *t = d->first_table; t; t = t->next)
        if (t->role == KV_ROLE_CLIQUE || t->role == KV_ROLE_SEPARATOR)
            bytes += t->size * (1 + t->cg_size) * sizeof(double);
    for (const kv_control_s *c = d->first_control; c; c = c->next) {
        const kv_table_s *big = _kv_control_big(c), *small = _kv_control_small(c);
        size_t D = big->discrete_count, s = small->discrete_count;
        bytes += sizeof(kv_control_s) + (D ? 2 * D * sizeof(kv_loop_s) + (D + s) * sizeof(size_t) : 0);
        bytes += small->continuous_count * sizeof(size_t);
        if (c->compressed_index)
            bytes += big->size * sizeof(uint16_t);
    }
    for (const kv_table_s *t = d->first_table; t; t = t->next)
        if (t->kept_configurations)
            bytes += t->size * sizeof(size_t);
    return bytes;
}

// Per table of the domain (by number): the new position of each stored
// entry (dropped for a zero), for the compressed tables on the small side of
// some control.
struct Plan {
    Vec<char> chosen;                                      // by table number
    bool compressible(const kv_table_s *t) const { return chosen[t->number] != 0; }
    Vec<size_t> kept;                                      // by table number
    std::vector<Vec<uint32_t>, kv::ScratchAlloc<Vec<uint32_t>>> rank; // by table number
    Vec<uint16_t *> index;                                 // by control, in list order
    // The configurations of the entries each table keeps, in a network with
    // continuous nodes (whose operations sometimes take tables whole).
    Vec<size_t *> configurations;                          // by table number
};

// Position in small's stored entries of each configuration of big, walked
// in order: the odometer over big's nodes adds their small-table strides.
template <class F> void for_each_small_index(const kv_control_s *c, F &&f)
{
    const kv_table_s *big = _kv_control_big(c);
    size_t D = big->discrete_count;
    if (!D) {
        f(size_t(0), size_t(0));
        return;
    }
    Vec<size_t> state(D, 0);
    const kv_loop_s *loops = c->loop_data; // static half: small strides
    size_t j = 0;
    for (size_t i = 0; i < big->size; ++i) {
        f(i, j);
        for (size_t k = D; k-- > 0;) {
            j += loops[k].stride;
            if (++state[k] < loops[k].count)
                break;
            j -= loops[k].stride * loops[k].count;
            state[k] = 0;
        }
    }
}

// The index array of control c for big's kept entries; NULL with the error
// code set.
uint16_t *construct_index_array(const kv_control_s *c, const Plan &plan)
{
    const kv_table_s *big = _kv_control_big(c), *small = _kv_control_small(c);
    const Vec<uint32_t> *rank =
        plan.compressible(small) && !plan.rank[small->number].empty() ? &plan.rank[small->number] : nullptr;
    size_t kept = plan.compressible(big) ? plan.kept[big->number] : big->size;
    uint16_t *index = kv::allocate_array<uint16_t>(kept ? kept : 1);
    if (!index) {
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    const double *x = big->discrete_data;
    size_t k = 0;
    bool ok = true;
    auto put = [&](size_t i, size_t j) {
        if (plan.compressible(big) && x[i] == 0.0)
            return;
        size_t to = rank ? (*rank)[j] : j;
        // A nonzero entry of a table in equilibrium projects onto a nonzero
        // entry of its separator; anything else is no map we can keep.
        ok = ok && to != dropped && to <= max_small_entries;
        index[k++] = uint16_t(to);
    };
    if (c->compressed_index)
        for (size_t i = 0; i < big->size; ++i)
            put(i, c->compressed_index[i]);
    else
        try {
            for_each_small_index(c, put);
        } catch (const std::bad_alloc &) {
            std::free(index);
            throw;
        }
    if (!ok) {
        std::free(index);
        _kv_set_error_code(kv_error_error);
        return nullptr;
    }
    return index;
}

void free_plan(Plan &plan)
{
    for (uint16_t *p : plan.index)
        std::free(p);
    plan.index.clear();
    for (size_t *p : plan.configurations)
        std::free(p);
    plan.configurations.clear();
}

int construct_index_arrays(kv_domain_s *d, Plan &plan)
{
    size_t n = d->number_of_tables + 1;
    plan.kept.assign(n, 0);
    plan.rank.assign(n, {});
    for (kv_table_s *t = d->first_table; t; t = t->next) {
        size_t size = plan.compressible(t) ? count_nonzero_elements(t) : t->size;
        if (plan.compressible(t) && !size)
            return _kv_set_error_code(kv_error_no_equilibrium); // nothing left to propagate
        if (t->role != KV_ROLE_CLIQUE && size > max_small_entries)
            return _kv_set_error_code(kv_error_table_too_large);
        plan.kept[t->number] = size;
    }
    for (kv_control_s *c = d->first_control; c; c = c->next) {
        kv_table_s *small = _kv_control_small(c);
        // Controls between other tables keep their loops; the tables of a
        // network of chance nodes have no utility parts.
        if (c->big_utility || c->small_utility ||
            (!plan.compressible(_kv_control_big(c)) && plan.compressible(small)))
            return _kv_set_error_code(kv_error_usage);
        Vec<uint32_t> &rank = plan.rank[small->number];
        if (!plan.compressible(small) || !rank.empty())
            continue;
        rank.resize(small->size);
        uint32_t next = 0;
        for (size_t i = 0; i < small->size; ++i)
            rank[i] = small->discrete_data[i] != 0.0 ? next++ : dropped;
    }
    if (d->number_of_continuous_nodes) {
        plan.configurations.assign(n, nullptr);
        for (kv_table_s *t = d->first_table; t; t = t->next) {
            if (!plan.compressible(t))
                continue;
            size_t *to = kv::allocate_array<size_t>(plan.kept[t->number]);
            if (!to)
                return kv_error_no_memory;
            plan.configurations[t->number] = to;
            // Entries of an already compressed table keep their configurations.
            for (size_t i = 0, k = 0; i < t->size; ++i)
                if (t->discrete_data[i] != 0.0)
                    to[k++] = t->kept_configurations ? t->kept_configurations[i] : i;
        }
    }
    plan.index.reserve(d->number_of_controls);
    for (kv_control_s *c = d->first_control; c; c = c->next) {
        if (!plan.compressible(_kv_control_big(c))) {
            plan.index.push_back(nullptr);
            continue;
        }
        uint16_t *index = construct_index_array(c, plan);
        if (!index)
            return kv_error_code();
        plan.index.push_back(index);
    }
    return kv_error_none;
}

// The nonzero entries (with their CG blocks) move to the front, in order.
void compress_table(kv_table_s *t, size_t kept)
{
    if (kept == t->size)
        return;
    double *x = t->discrete_data, *cg = t->cg_data;
    size_t q = t->cg_size, k = 0;
    for (size_t i = 0; i < t->size; ++i) {
        if (x[i] == 0.0)
            continue;
        x[k] = x[i];
        if (cg && q)
            std::memmove(cg + k * q, cg + i * q, q * sizeof(double));
        ++k;
    }
    t->size = kept;
    t->discrete_data = static_cast<double *>(_kv_shrink(x, kept * sizeof(double)));
    if (cg && q)
        t->cg_data = static_cast<double *>(_kv_shrink(cg, kept * q * sizeof(double)));
}

// Everything the count must see is in the dense tables: the slices filled,
// the sparse forms scattered back, the cliques counting as ones given them.
void make_tables_whole(kv_domain_s *d)
{
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
        for (kv_clique_s **c = jt->cliques; *c; ++c)
            _kv_clique_take_ones(*c);
        _kv_jt_fill_slices(jt);
        _kv_jt_sparse_stale(jt, false);
    }
}

void convert_all_controls(kv_domain_s *d, Plan &plan)
{
    size_t k = 0;
    for (kv_control_s *c = d->first_control; c; c = c->next, ++k) {
        if (!plan.index[k])
            continue;
        std::free(c->compressed_index);
        c->compressed_index = plan.index[k];
    }
    plan.index.clear();
}

// Clique tables are at most this large (entries) in a flat tree, and its
// cliques hold at most flat_tree_entries together: beyond that the strided
// kernels over evidence slices are faster than one loop over every entry.
size_t flat_largest_clique = 8192;
size_t flat_tree_entries = 16384;

} // namespace

namespace kv {
std::pair<size_t, size_t> set_flat_limits(size_t largest_clique, size_t tree_entries)
{
    std::pair<size_t, size_t> previous{flat_largest_clique, flat_tree_entries};
    flat_largest_clique = largest_clique;
    flat_tree_entries = tree_entries;
    return previous;
}
} // namespace kv

void _kv_jt_make_flat(kv_junction_tree_s *jt)
{
    kv_domain_s *d = jt->domain;
    if (jt->tables.flat || d->is_compressed || d->chain_blocks ||
        d->number_of_continuous_nodes + d->number_of_decision_nodes + d->number_of_utility_nodes)
        return;
    size_t entries = 0;
    for (kv_clique_s **c = jt->cliques; *c; ++c) {
        size_t n = (*c)->probability_table->size;
        if (n > flat_largest_clique || n > max_small_entries || (*c)->utility_table)
            return;
        entries += n;
    }
    if (entries > flat_tree_entries)
        return;
    try {
        // The tree's clique and separator tables (beliefs come from either).
        Vec<char> mine(d->number_of_tables + 1, 0);
        for (kv_clique_s **c = jt->cliques; *c; ++c) {
            mine[(*c)->probability_table->number] = 1;
            for (kv_neighbor_s *cell = (*c)->neighbors; cell; cell = cell->next)
                mine[_kv_control_small(cell->control)->number] = 1;
        }
        Vec<kv_control_s *> controls;
        for (kv_control_s *c = d->first_control; c; c = c->next) {
            const kv_table_s *big = c->big_probability;
            if (big && big->number < mine.size() && mine[big->number] && !c->compressed_index)
                controls.push_back(c);
        }
        Vec<uint16_t *> index(controls.size(), nullptr);
        auto drop = [&index] {
            for (uint16_t *p : index)
                std::free(p);
        };
        for (size_t k = 0; k < controls.size(); ++k) {
            index[k] = kv::allocate_array<uint16_t>(controls[k]->big_probability->size);
            if (!index[k])
                return drop();
            uint16_t *to = index[k];
            try {
                for_each_small_index(controls[k], [to](size_t i, size_t j) { to[i] = uint16_t(j); });
            } catch (const std::bad_alloc &) {
                return drop();
            }
        }
        for (size_t k = 0; k < controls.size(); ++k)
            controls[k]->compressed_index = index[k];
        jt->tables.flat = 1;
    } catch (const std::bad_alloc &) {
        // The tree keeps its strided kernels.
    }
    _kv_set_error_code(kv_error_none);
}

kv_number_t kv_domain_compress(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    for (const kv_node_s *n = d->first_node; n; n = n->next)
        if (n->category != kv_category_chance) {
            _kv_set_error_code(kv_error_usage);
            return -1.0;
        }
    if (!d->is_compiled) {
        _kv_set_error_code(kv_error_not_compiled);
        return -1.0;
    }
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        // Tables made before a change of node tables are no equilibrium of
        // them: the zeros compression would drop may have become nonzero.
        if ((jt->equilibrium != kv_equilibrium_sum && jt->equilibrium != kv_equilibrium_max) ||
            jt->tables_to_propagate) {
            _kv_set_error_code(kv_error_no_equilibrium);
            return -1.0;
        }
    double ratio = -1.0;
    Plan plan;
    int status = kv::guard_status([&]() -> int {
        plan.chosen = choose_tables(d);
        for (kv_table_s *t = d->first_table; t; t = t->next)
            if (plan.compressible(t) && _kv_allocate_data_arrays(t))
                return kv_error_no_memory;
        make_tables_whole(d);
        double before = double(space_used(d));
        if (int s = construct_index_arrays(d, plan))
            return s;
        // Nothing fails from here on.
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
            _kv_jt_expose_tables(jt);
            _kv_jt_free_sparse(jt);
        }
        convert_all_controls(d, plan);
        for (kv_table_s *t = d->first_table; t; t = t->next)
            if (plan.compressible(t)) {
                compress_table(t, plan.kept[t->number]);
                t->compressed = 1;
                if (!plan.configurations.empty()) {
                    std::free(t->kept_configurations);
                    t->kept_configurations = plan.configurations[t->number];
                    plan.configurations[t->number] = nullptr;
                }
            }
        d->is_compressed = 1;
        _kv_domain_free_memory_tables(d);
        ratio = double(space_used(d)) / before;
        return _kv_set_error_code(kv_error_none);
    });
    free_plan(plan);
    return status ? -1.0 : ratio;
}
