// Editing a table in place: changing a node's state count, adding and
// removing nodes, and instantiating a node.  Every edit leaves the table as
// it was when an allocation fails.
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "table.h"

// Products of the state counts of the discrete nodes before (A) and after
// (B) position k.
static void outer_inner(const kv_table_s *t, size_t k, size_t &A, size_t &B)
{
    A = 1;
    B = 1;
    for (size_t i = 0; i < k; ++i)
        A = _kv_size_multiply(t->nodes[i]->number_of_states, A);
    for (size_t i = k + 1; i < t->discrete_count; ++i)
        B = _kv_size_multiply(t->nodes[i]->number_of_states, B);
}

// Moves each outer block's slice [from, from+keep) of `unit`-sized segments
// to the front of a block of new_width segments.  Blocks go in increasing
// order, so the copy never overwrites unread data when shrinking.
static void compact_blocks(double *data, size_t A, size_t old_width, size_t new_width,
                           size_t from, size_t keep, size_t unit)
{
    for (size_t a = 0; a < A; ++a) {
        double *src = data + (a * old_width + from) * unit;
        double *dst = data + a * new_width * unit;
        if (src != dst)
            std::memmove(dst, src, keep * unit * sizeof(double));
    }
}

// Spreads blocks of old_width segments to blocks of new_width, last block
// first, filling each new segment with a copy of the block's first one.
static void spread_blocks(double *data, size_t A, size_t old_width, size_t new_width,
                          size_t unit)
{
    for (size_t a = A; a-- > 0;) {
        double *src = data + a * old_width * unit;
        double *dst = data + a * new_width * unit;
        if (src != dst)
            std::memmove(dst, src, old_width * unit * sizeof(double));
        for (size_t s = old_width; s < new_width; ++s)
            std::memcpy(dst + s * unit, dst, unit * sizeof(double));
    }
}

int _kv_table_resize(kv_table_s *t, kv_node_s *node, size_t n)
{
    size_t k = _kv_table_node_position(t, node);
    if (k == static_cast<size_t>(-1) || k >= t->discrete_count || n == 0)
        return _kv_set_error_code(kv_error_usage);
    size_t A, B;
    outer_inner(t, k, A, B);
    size_t new_size = _kv_size_multiply(_kv_size_multiply(n, A), B);
    if (t->size == SIZE_MAX || A * B == 0 || !t->discrete_data) {
        t->size = new_size;
        return _kv_set_error_code(kv_error_none);
    }
    size_t m = t->size / (A * B);
    if (new_size == t->size)
        return _kv_set_error_code(kv_error_none);
    if (new_size == SIZE_MAX)
        return _kv_set_error_code(kv_error_no_memory);
    size_t c = t->cg_data ? t->cg_size : 0;
    if (n < m) {
        compact_blocks(t->discrete_data, A, m * B, n * B, 0, n * B, 1);
        t->discrete_data =
            static_cast<double *>(_kv_shrink(t->discrete_data, new_size * sizeof(double)));
        if (c) {
            compact_blocks(t->cg_data, A, m * B, n * B, 0, n * B, c);
            t->cg_data = static_cast<double *>(
                _kv_shrink(t->cg_data, new_size * c * sizeof(double)));
        }
    } else {
        double *data = kv::reallocate_array(t->discrete_data, new_size);
        if (!data)
            return kv_error_no_memory;
        t->discrete_data = data;
        if (c) {
            double *cg = kv::reallocate_array(t->cg_data, _kv_size_multiply(new_size, c));
            if (!cg) {
                t->discrete_data = static_cast<double *>(
                    _kv_shrink(t->discrete_data, t->size * sizeof(double)));
                return kv_error_no_memory;
            }
            t->cg_data = cg;
            spread_blocks(t->cg_data, A, m, n, B * c);
        }
        spread_blocks(t->discrete_data, A, m, n, B);
    }
    t->size = new_size;
    return _kv_set_error_code(kv_error_none);
}

int _kv_table_add_node(kv_table_s *t, kv_node_s *node)
{
    if (!t || !node || node->home != t->domain)
        return _kv_set_error_code(kv_error_usage);
    if (_kv_table_node_position(t, node) != static_cast<size_t>(-1))
        return _kv_set_error_code(kv_error_none);

    kv_node_s **nodes = _kv_copy_nodes(t->nodes);
    if (!nodes || _kv_node_list_extend(&nodes)) {
        std::free(nodes);
        return kv_error_no_memory;
    }
    if (node->kind == kv_kind_discrete) {
        size_t k = node->number_of_states;
        size_t new_size = _kv_size_multiply(k, t->size);
        double *data = nullptr, *cg = nullptr;
        if (t->discrete_data) {
            data = kv::allocate_array<double>(new_size);
            if (data && t->cg_data)
                cg = kv::allocate_array<double>(_kv_size_multiply(new_size, t->cg_size));
            if (!data || (t->cg_data && !cg)) {
                std::free(data);
                std::free(nodes);
                return _kv_set_error_code(kv_error_no_memory);
            }
            // The new node varies slowest: each state gets the old data.
            for (size_t s = 0; s < k; ++s) {
                std::memcpy(data + s * t->size, t->discrete_data, t->size * sizeof(double));
                if (cg)
                    std::memcpy(cg + s * t->size * t->cg_size, t->cg_data,
                                t->size * t->cg_size * sizeof(double));
            }
            std::free(t->discrete_data);
            std::free(t->cg_data);
            t->discrete_data = data;
            t->cg_data = cg;
        }
        t->size = new_size;
        ++t->discrete_count;
    } else {
        size_t q = t->continuous_count;
        size_t new_cg = _kv_calculate_c_size(q + 1);
        double *cg = nullptr;
        signed char *roles = nullptr;
        // Roles may exist before the data (node tables mark heads and tails
        // at creation); they grow with the node list either way.
        bool with_roles = t->continuous_roles || t->discrete_data;
        if (t->discrete_data)
            cg = kv::allocate_array<double>(_kv_size_multiply(t->size, new_cg));
        if (with_roles && (!t->discrete_data || cg))
            roles = kv::allocate_array<signed char>(q + 1);
        if ((t->discrete_data && !cg) || (with_roles && !roles)) {
            std::free(cg);
            std::free(nodes);
            return _kv_set_error_code(kv_error_no_memory);
        }
        if (cg) {
            for (size_t i = 0; i < t->size; ++i) {
                double *dst = cg + i * new_cg;
                if (t->cg_data)
                    std::memcpy(dst, t->cg_data + i * t->cg_size, t->cg_size * sizeof(double));
                std::memset(dst + t->cg_size, 0, (new_cg - t->cg_size) * sizeof(double));
            }
            std::free(t->cg_data);
            t->cg_data = cg;
        }
        if (roles) {
            if (t->continuous_roles)
                std::memcpy(roles, t->continuous_roles, q);
            else
                std::memset(roles, KV_ABSENT, q);
            roles[q] = KV_ABSENT;
            std::free(t->continuous_roles);
            t->continuous_roles = roles;
        }
        t->cg_size = new_cg;
        ++t->continuous_count;
    }
    _kv_node_list_insert(nodes, node);
    _kv_free_table_nodes(t);
    t->nodes = nodes;
    return _kv_set_error_code(kv_error_none);
}

int _kv_table_instantiate(kv_table_s *t, kv_node_s *node, size_t s)
{
    size_t k = _kv_table_node_position(t, node);
    if (k == static_cast<size_t>(-1) || k >= t->discrete_count || s >= node->number_of_states)
        return _kv_set_error_code(kv_error_usage);
    size_t A, B;
    outer_inner(t, k, A, B);
    size_t new_size = _kv_size_multiply(A, B);
    if (t->discrete_data && t->size != SIZE_MAX && node->number_of_states > 1) {
        size_t m = t->size / new_size;
        compact_blocks(t->discrete_data, A, m * B, B, s * B, B, 1);
        t->discrete_data =
            static_cast<double *>(_kv_shrink(t->discrete_data, new_size * sizeof(double)));
        if (t->cg_data) {
            size_t c = t->cg_size;
            compact_blocks(t->cg_data, A, m * B, B, s * B, B, c);
            t->cg_data =
                static_cast<double *>(_kv_shrink(t->cg_data, new_size * c * sizeof(double)));
        }
    }
    t->size = new_size;
    _kv_remove_from_list(t->nodes, k);
    --t->discrete_count;
    return _kv_set_error_code(kv_error_none);
}

int _kv_table_remove_c_node(kv_table_s *t, kv_node_s *node)
{
    size_t p = _kv_table_node_position(t, node);
    if (p == static_cast<size_t>(-1) || p < t->discrete_count)
        return _kv_set_error_code(kv_error_usage);
    size_t k = p - t->discrete_count, q = t->continuous_count;
    size_t new_cg = _kv_calculate_c_size(q - 1);
    if (t->cg_data) {
        if (q == 1) {
            std::free(t->cg_data);
            t->cg_data = nullptr;
        } else {
            // Compacting in place is safe: every number moves to a lower or
            // equal position.
            double *out = t->cg_data;
            for (size_t i = 0; i < t->size; ++i) {
                const double *block = t->cg_data + i * t->cg_size;
                for (size_t j = 0; j < q; ++j) {
                    if (j == k)
                        continue;
                    const double *b = block + _kv_cg_mean_offset(j);
                    *out++ = b[0];
                    for (size_t l = 0; l <= j; ++l)
                        if (l != k)
                            *out++ = b[1 + l];
                }
            }
            t->cg_data = static_cast<double *>(
                _kv_shrink(t->cg_data, t->size * new_cg * sizeof(double)));
        }
    }
    if (t->continuous_roles) {
        if (q == 1) {
            std::free(t->continuous_roles);
            t->continuous_roles = nullptr;
        } else {
            std::memmove(t->continuous_roles + k, t->continuous_roles + k + 1, q - k - 1);
        }
    }
    _kv_remove_from_list(t->nodes, p);
    --t->continuous_count;
    t->cg_size = new_cg;
    return _kv_set_error_code(kv_error_none);
}

int _kv_table_remove_node(kv_table_s *t, kv_node_s *node)
{
    if (node->kind == kv_kind_continuous)
        return _kv_table_remove_c_node(t, node);
    return _kv_table_instantiate(t, node, 0);
}
