// Reordering the nodes of a table, with its data permuted to match.
#include <cstdlib>

#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "operations.h"
#include "compile/compile.h"

// A table with data holds fewer nodes of more than one state than bits in a
// size.
static constexpr size_t kv_max_table_nodes = 8 * sizeof(size_t) + 1;

// The node whose conditional distribution a node table gives: the last
// discrete node, or the first continuous node when there are any.
static size_t owner_position(const kv_table_s *t)
{
    return t->continuous_count ? t->discrete_count : t->discrete_count - 1;
}

// The order restricted to the nodes of t (t's nodes are a subset of order).
static kv_node_s **restricted_order(const kv_table_s *t, kv_node_s *const *order)
{
    kv_node_s **r = _kv_copy_nodes(order);
    if (!r)
        return nullptr;
    size_t n = 0;
    for (size_t i = 0; r[i]; ++i)
        if (_kv_node_in_list(t->nodes, r[i]))
            r[n++] = r[i];
    r[n] = nullptr;
    return r;
}

// A caller-owned copy of t over order (a permutation of its nodes) with
// every number moved to its new place, or NULL.
static kv_table_s *permuted(kv_table_s *t, kv_node_s *const *order)
{
    kv_table_s *r = _kv_create_table(t->domain, order, t->type, t->role, 0,
                                     t->discrete_data != nullptr);
    if (!r)
        return nullptr;
    _kv_unlink_table(r);
    if (!t->discrete_data)
        return r;
    // Stride in t of each discrete node of r, walked as an odometer in r's
    // order so that r is written sequentially.
    size_t d = t->discrete_count, q = t->continuous_count;
    size_t stride[kv_max_table_nodes], count[kv_max_table_nodes], index[kv_max_table_nodes] = {};
    size_t m = 0;
    for (size_t i = 0; i < d; ++i) {
        size_t p = _kv_table_node_position(t, order[i]);
        size_t st = 1;
        for (size_t j = p + 1; j < d; ++j)
            st *= t->nodes[j]->number_of_states;
        if (order[i]->number_of_states > 1) {
            stride[m] = st;
            count[m++] = order[i]->number_of_states;
        }
    }
    size_t *cmap = nullptr;
    if (q) {
        cmap = kv::allocate_array<size_t>(q);
        if (!cmap) {
            _kv_free_table(r);
            return nullptr;
        }
        for (size_t k = 0; k < q; ++k)
            cmap[k] = _kv_table_node_position(t, order[d + k]) - d;
        for (size_t k = 0; k < q; ++k)
            r->continuous_roles[k] = t->continuous_roles ? t->continuous_roles[cmap[k]] : KV_ABSENT;
    }
    size_t from = 0;
    for (size_t i = 0; i < r->size; ++i) {
        r->discrete_data[i] = t->discrete_data[from];
        if (q && t->cg_data) {
            const double *src = t->cg_data + from * t->cg_size;
            double *dst = r->cg_data + i * r->cg_size;
            for (size_t k = 0; k < q; ++k) {
                dst[_kv_cg_mean_offset(k)] = src[_kv_cg_mean_offset(cmap[k])];
                for (size_t j = 0; j <= k; ++j)
                    dst[_kv_cg_cov_offset(j, k)] = src[_kv_cg_cov_offset(cmap[j], cmap[k])];
            }
        }
        for (size_t k = m; k-- > 0;) {
            if (++index[k] < count[k]) {
                from += stride[k];
                break;
            }
            index[k] = 0;
            from -= (count[k] - 1) * stride[k];
        }
    }
    std::free(cmap);
    return r;
}

static void install(kv_table_s *t, kv_table_s *p)
{
    _kv_swap_table_data(t, p);
    _kv_free_table(p);
}

kv_status_t kv_table_reorder_nodes(kv_table_t t, kv_node_t *order)
{
    if (_kv_set_error_code(!t || !order || (t->number && t->role != KV_ROLE_NODE)))
        return kv_error_usage;
    if (_kv_node_lists_are_equal(t->nodes, order))
        return kv_error_none;
    size_t n = _kv_node_list_length(t->nodes);
    if (_kv_set_error_code(_kv_node_list_length(order) != n ||
                           !_kv_subset_of_node_list(t->nodes, order) ||
                           !_kv_nodes_are_distinct(t->domain, order)))
        return kv_error_usage;
    kv_node_s *owner = t->owner;
    bool owners_table = owner && owner->table == t && t->type == KV_PROBABILITY;
    if (owners_table && n > 0) {
        size_t p = owner_position(t);
        if (_kv_set_error_code(order[p] != t->nodes[p]))
            return kv_error_usage;
    }
    for (size_t i = 0; i < n; ++i) // discrete nodes must stay first
        if (_kv_set_error_code(i > 0 && order[i]->kind == kv_kind_discrete &&
                               order[i - 1]->kind == kv_kind_continuous))
            return kv_error_usage;

    return kv::guard_status([&] {
        // Build every permuted table first, so that a failure changes nothing.
        kv_table_s *adapted[2] = {};
        kv_table_s *sources[2] = {owners_table ? owner->experience_table : nullptr,
                                  owners_table ? owner->fading_table : nullptr};
        kv_table_s *main = permuted(t, order);
        int status = main ? kv_error_none : kv_error_code();
        for (int k = 0; k < 2 && !status; ++k) {
            if (!sources[k])
                continue;
            kv_node_s **sub = restricted_order(sources[k], order);
            adapted[k] = sub ? permuted(sources[k], sub) : nullptr;
            std::free(sub);
            if (!adapted[k])
                status = kv_error_code();
        }
        if (status) {
            kv::KeepError keep;
            _kv_free_table(main);
            _kv_free_table(adapted[0]);
            _kv_free_table(adapted[1]);
            return status;
        }
        install(t, main);
        for (int k = 0; k < 2; ++k)
            if (adapted[k])
                install(sources[k], adapted[k]);
        if (t->number)
            _kv_uncompile_domain_safely(t->domain, 1);
        return _kv_set_error_code(kv_error_none);
    });
}
