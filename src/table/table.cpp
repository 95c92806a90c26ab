// Tables: creation, copying, the domain's table list, and the public table
// accessors.
#include "table.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"

size_t _kv_calculate_c_size(size_t q)
{
    // q*(q+3)/2 without overflow: one of q and q+3 is even.
    size_t a = q, b = _kv_size_add(q, 3);
    if (b == SIZE_MAX)
        return SIZE_MAX;
    if (a % 2 == 0)
        a /= 2;
    else
        b /= 2;
    return a ? _kv_size_multiply(a, b) : 0;
}

// A table record; with a node list, a copy of it follows the record in the
// same block.
static kv_table_s *new_table(kv_domain_s *d, kv_node_s *const *nodes)
{
    size_t n = nodes ? _kv_node_list_length(nodes) + 1 : 0;
    kv_table_s *t = static_cast<kv_table_s *>(
        _kv_allocate(_kv_size_add(sizeof(kv_table_s), _kv_size_multiply(sizeof(kv_node_s *), n))));
    if (!t)
        return nullptr;
    std::memset(t, 0, sizeof *t);
    if (nodes) {
        t->nodes = reinterpret_cast<kv_node_s **>(t + 1);
        std::memcpy(t->nodes, nodes, n * sizeof(kv_node_s *));
    }
    t->domain = d;
    t->size = 1;
    t->number = ++d->number_of_tables;
    t->next = d->first_table;
    d->first_table = t;
    return t;
}

kv_table_s *_kv_new_table(kv_domain_s *d)
{
    return new_table(d, nullptr);
}

// Whether t's node list lives in t's own block.
static bool nodes_inline(const kv_table_s *t)
{
    return t->nodes == reinterpret_cast<kv_node_s *const *>(t + 1);
}

void _kv_free_table_nodes(kv_table_s *t)
{
    if (!nodes_inline(t))
        std::free(t->nodes);
    t->nodes = nullptr;
}

void _kv_unlink_table(kv_table_s *t)
{
    if (!t->number)
        return;
    kv_domain_s *d = t->domain;
    kv_table_s **link = &d->first_table;
    for (; *link != t; link = &(*link)->next)
        --(*link)->number; // newer tables move down to keep the numbers dense
    *link = t->next;
    t->next = nullptr;
    t->number = 0;
    --d->number_of_tables;
}

static void free_table_contents(kv_table_s *t)
{
    _kv_free_table_nodes(t);
    std::free(t->continuous_roles);
    std::free(t->discrete_data);
    std::free(t->cg_data);
    std::free(t->kept_configurations);
    if (t->sparse) {
        std::free(t->sparse->positions);
        std::free(t->sparse->values);
        std::free(t->sparse->initial);
        std::free(t->sparse);
    }
}

void _kv_free_table(kv_table_s *t)
{
    if (!t)
        return;
    _kv_unlink_table(t);
    free_table_contents(t);
    std::free(t);
}

void _kv_free_domain_tables(kv_domain_s *d)
{
    for (kv_table_s *t = d->first_table, *next; t; t = next) {
        next = t->next;
        free_table_contents(t);
        std::free(t);
    }
    d->first_table = nullptr;
    d->number_of_tables = 0;
}

size_t _kv_table_list_length(kv_table_s *const *list)
{
    size_t n = 0;
    if (list)
        while (list[n])
            ++n;
    return n;
}

size_t _kv_table_node_position(const kv_table_s *t, const kv_node_s *node)
{
    return _kv_node_index(t->nodes, node);
}

int _kv_calculate_ranks(kv_table_s *t)
{
    size_t d = 0, n = _kv_node_list_length(t->nodes);
    while (d < n && t->nodes[d]->kind == kv_kind_discrete)
        ++d;
    for (size_t i = d; i < n; ++i)
        if (t->nodes[i]->kind == kv_kind_discrete)
            return _kv_set_error_code(kv_error_usage);
    t->discrete_count = d;
    t->continuous_count = n - d;
    return kv_error_none;
}

// Discrete nodes to the front: scan for a continuous node from the front and
// a discrete node from the back and swap them until the scans meet.
static void partition_nodes(kv_node_s **nodes)
{
    size_t n = _kv_node_list_length(nodes);
    if (n == 0)
        return;
    size_t i = 0, j = n - 1;
    for (;;) {
        while (i < j && nodes[i]->kind == kv_kind_discrete)
            ++i;
        while (i < j && nodes[j]->kind != kv_kind_discrete)
            --j;
        if (i >= j)
            break;
        kv_node_s *x = nodes[i];
        nodes[i] = nodes[j];
        nodes[j] = x;
    }
}

static size_t discrete_size(kv_node_s *const *nodes, size_t d)
{
    size_t size = 1;
    for (size_t i = 0; i < d; ++i)
        size = _kv_size_multiply(nodes[i]->number_of_states, size);
    return size;
}

void _kv_init_table(kv_table_s *t)
{
    if (t->discrete_data) {
        double fill = t->type == KV_PROBABILITY || t->type == KV_FADING ? 1.0 : 0.0;
        if (t->type >= KV_PROBABILITY && t->type <= KV_FADING)
            for (size_t i = 0; i < t->size; ++i)
                t->discrete_data[i] = fill;
    }
    if (t->cg_data)
        std::memset(t->cg_data, 0, t->size * t->cg_size * sizeof(double));
    if (t->continuous_roles)
        std::memset(t->continuous_roles, KV_ABSENT, t->continuous_count);
}

int _kv_allocate_data_arrays(kv_table_s *t)
{
    bool fresh = false;
    if (!t->discrete_data) {
        t->discrete_data = kv::allocate_array<double>(t->size);
        if (!t->discrete_data)
            return kv_error_no_memory;
        fresh = true;
    }
    if (t->continuous_count && !t->cg_data) {
        double *cg = kv::allocate_array<double>(_kv_size_multiply(t->size, t->cg_size));
        signed char *roles = t->continuous_roles
                                 ? t->continuous_roles
                                 : kv::allocate_array<signed char>(t->continuous_count);
        if (!cg || !roles) {
            std::free(cg);
            if (roles != t->continuous_roles)
                std::free(roles);
            if (fresh) {
                std::free(t->discrete_data);
                t->discrete_data = nullptr;
            }
            return _kv_set_error_code(kv_error_no_memory);
        }
        std::memset(cg, 0, t->size * t->cg_size * sizeof(double));
        if (!t->continuous_roles)
            std::memset(roles, KV_ABSENT, t->continuous_count);
        t->cg_data = cg;
        t->continuous_roles = roles;
    }
    if (fresh) {
        double fill = t->type == KV_PROBABILITY || t->type == KV_FADING ? 1.0 : 0.0;
        for (size_t i = 0; i < t->size; ++i)
            t->discrete_data[i] = fill;
    }
    return _kv_set_error_code(kv_error_none);
}

kv_table_s *_kv_create_table(kv_domain_s *d, kv_node_s *const *nodes, int type, int role,
                             int partition, int allocate)
{
    if (!d || !nodes || !_kv_nodes_are_distinct(d, nodes)) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    // The compiler's tables keep their node list in their own block; node
    // tables keep theirs apart, as editing the structure replaces it.
    bool compiled = role == KV_ROLE_CLIQUE || role == KV_ROLE_SEPARATOR || role == KV_ROLE_BELIEF ||
                    role == KV_ROLE_EVIDENCE;
    kv_table_s *t = new_table(d, compiled ? nodes : nullptr);
    if (!t)
        return nullptr;
    t->type = type;
    t->role = role;
    if (!compiled) {
        t->nodes = _kv_copy_nodes(nodes);
        if (!t->nodes) {
            _kv_free_table(t);
            return nullptr;
        }
    }
    if (partition)
        partition_nodes(t->nodes);
    if (_kv_calculate_ranks(t)) {
        _kv_free_table(t);
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    t->size = discrete_size(t->nodes, t->discrete_count);
    t->cg_size = _kv_calculate_c_size(t->continuous_count);
    if (allocate && _kv_allocate_data_arrays(t)) {
        _kv_free_table(t);
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return t;
}

// A copy of t's contents restricted to configuration range [first, first+n)
// and, if discrete_only, without the continuous part.
static kv_table_s *copy_table(const kv_table_s *t, bool discrete_only)
{
    kv_table_s *c = new_table(t->domain, nullptr);
    if (!c)
        return nullptr;
    c->type = t->type;
    c->role = t->role;
    c->size = t->size;
    c->discrete_count = t->discrete_count;
    c->continuous_count = discrete_only ? 0 : t->continuous_count;
    c->cg_size = discrete_only ? 0 : t->cg_size;
    c->nodes = _kv_copy_nodes(t->nodes);
    bool ok = c->nodes != nullptr;
    if (ok && discrete_only)
        c->nodes[c->discrete_count] = nullptr;
    if (ok && t->discrete_data) {
        c->discrete_data = kv::allocate_array<double>(t->size);
        ok = c->discrete_data != nullptr;
        if (ok)
            std::memcpy(c->discrete_data, t->discrete_data, t->size * sizeof(double));
    }
    if (ok && !discrete_only && t->cg_data) {
        size_t n = t->size * t->cg_size;
        c->cg_data = kv::allocate_array<double>(n);
        ok = c->cg_data != nullptr;
        if (ok)
            std::memcpy(c->cg_data, t->cg_data, n * sizeof(double));
    }
    if (ok && !discrete_only && t->continuous_roles) {
        c->continuous_roles = kv::allocate_array<signed char>(t->continuous_count);
        ok = c->continuous_roles != nullptr;
        if (ok)
            std::memcpy(c->continuous_roles, t->continuous_roles, t->continuous_count);
    }
    if (!ok) {
        _kv_free_table(c);
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return c;
}

kv_table_s *_kv_clone_table(const kv_table_s *t)
{
    return copy_table(t, false);
}

kv_table_s *_kv_discrete_clone_table(const kv_table_s *t)
{
    return copy_table(t, true);
}

kv_table_s *_kv_whole_copy(const kv_table_s *t, const size_t *kept)
{
    kv_table_s *c = copy_table(t, false);
    if (!c || !kept)
        return c;
    size_t full = 1;
    for (size_t k = 0; k < t->discrete_count; ++k)
        full = _kv_size_multiply(full, t->nodes[k]->number_of_states);
    double *x = kv::allocate_array<double>(full);
    double *cg = t->cg_size ? kv::allocate_array<double>(_kv_size_multiply(full, t->cg_size)) : nullptr;
    if (!x || (t->cg_size && !cg)) {
        std::free(x);
        std::free(cg);
        _kv_free_table(c);
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    std::memset(x, 0, full * sizeof(double));
    if (cg)
        std::memset(cg, 0, full * t->cg_size * sizeof(double));
    for (size_t k = 0; k < t->size; ++k) {
        x[kept[k]] = t->discrete_data[k];
        if (cg)
            std::memcpy(cg + kept[k] * t->cg_size, t->cg_data + k * t->cg_size, t->cg_size * sizeof(double));
    }
    std::free(c->discrete_data);
    std::free(c->cg_data);
    c->discrete_data = x;
    c->cg_data = cg;
    c->size = full;
    return c;
}

void _kv_store_kept(kv_table_s *t, const kv_table_s *whole)
{
    const size_t *kept = t->kept_configurations;
    for (size_t k = 0; k < t->size; ++k) {
        t->discrete_data[k] = whole->discrete_data[kept[k]];
        if (t->cg_size)
            std::memcpy(t->cg_data + k * t->cg_size, whole->cg_data + kept[k] * whole->cg_size,
                        t->cg_size * sizeof(double));
    }
    if (t->continuous_count)
        std::memcpy(t->continuous_roles, whole->continuous_roles, t->continuous_count);
}

kv_table_s *_kv_c_clone_table(const kv_table_s *t, size_t i)
{
    kv_node_s *const *continuous = t->nodes + t->discrete_count;
    kv_table_s *c = _kv_create_table(t->domain, continuous, t->type, KV_ROLE_DERIVED, 0, 1);
    if (!c)
        return nullptr;
    c->discrete_data[0] = t->discrete_data ? t->discrete_data[i] : 1.0;
    if (t->cg_data)
        std::memcpy(c->cg_data, t->cg_data + i * t->cg_size, t->cg_size * sizeof(double));
    if (t->continuous_roles)
        std::memcpy(c->continuous_roles, t->continuous_roles, t->continuous_count);
    return c;
}

template <class T> static void swap_field(T &a, T &b)
{
    T x = a;
    a = b;
    b = x;
}

void _kv_swap_table_data(kv_table_s *a, kv_table_s *b)
{
    if (nodes_inline(a) || nodes_inline(b)) {
        // A list in a table's own block stays there: exchange the members.
        assert(_kv_node_list_length(a->nodes) == _kv_node_list_length(b->nodes));
        for (size_t i = 0; a->nodes[i]; ++i)
            swap_field(a->nodes[i], b->nodes[i]);
    } else {
        swap_field(a->nodes, b->nodes);
    }
    swap_field(a->discrete_count, b->discrete_count);
    swap_field(a->continuous_count, b->continuous_count);
    swap_field(a->size, b->size);
    swap_field(a->cg_size, b->cg_size);
    swap_field(a->continuous_roles, b->continuous_roles);
    swap_field(a->discrete_data, b->discrete_data);
    swap_field(a->cg_data, b->cg_data);
}

// ---------------------------------------------------------------------------
// Public accessors.

kv_node_t *kv_table_get_nodes(kv_table_t t)
{
    if (_kv_set_error_code(!t))
        return nullptr;
    return t->nodes;
}

kv_number_t *kv_table_get_data(kv_table_t t)
{
    if (_kv_set_error_code(!t))
        return nullptr;
    if (!t->discrete_data && _kv_allocate_data_arrays(t))
        return nullptr;
    return t->discrete_data;
}

size_t kv_table_get_size(kv_table_t t)
{
    if (_kv_set_error_code(!t))
        return static_cast<size_t>(-1);
    if (t->size == SIZE_MAX)
        _kv_set_error_code(kv_error_size_too_large);
    return t->size;
}

// Index among the table's continuous nodes of a head node, or (size_t)-1.
static size_t head_index(const kv_table_s *t, const kv_node_s *node)
{
    if (!node || node->kind != kv_kind_continuous)
        return static_cast<size_t>(-1);
    size_t p = _kv_table_node_position(t, node);
    if (p == static_cast<size_t>(-1))
        return p;
    size_t k = p - t->discrete_count;
    if (!t->continuous_roles || t->continuous_roles[k] != KV_HEAD)
        return static_cast<size_t>(-1);
    return k;
}

static bool has_tail(const kv_table_s *t)
{
    if (t->continuous_roles)
        for (size_t k = 0; k < t->continuous_count; ++k)
            if (t->continuous_roles[k] == KV_TAIL)
                return true;
    return false;
}

kv_number_t kv_table_get_covariance(kv_table_t t, size_t i, kv_node_t node1, kv_node_t node2)
{
    if (_kv_set_error_code(!t || i >= t->size || has_tail(t)))
        return -1.0;
    size_t j = head_index(t, node1), k = head_index(t, node2);
    if (_kv_set_error_code(j == static_cast<size_t>(-1) || k == static_cast<size_t>(-1) ||
                           !t->cg_data))
        return -1.0;
    return t->cg_data[i * t->cg_size + _kv_cg_cov_offset(j, k)];
}

kv_number_t kv_table_get_variance(kv_table_t t, size_t i, kv_node_t node)
{
    return kv_table_get_covariance(t, i, node, node);
}

kv_number_t kv_table_get_mean(kv_table_t t, size_t i, kv_node_t node)
{
    if (_kv_set_error_code(!t || i >= t->size || has_tail(t)))
        return -1.0;
    size_t k = head_index(t, node);
    if (_kv_set_error_code(k == static_cast<size_t>(-1) || !t->cg_data))
        return -1.0;
    return t->cg_data[i * t->cg_size + _kv_cg_mean_offset(k)];
}

kv_status_t kv_table_delete(kv_table_t t)
{
    if (_kv_set_error_code(!t))
        return kv_error_usage;
    if (t->number) {
        // Listed tables belong to their node or to the compiled domain; only
        // adaptation tables may be dropped by the caller.
        if (t->type != KV_EXPERIENCE && t->type != KV_FADING)
            return kv_error_none;
        if (t->owner) {
            if (t->owner->experience_table == t)
                t->owner->experience_table = nullptr;
            if (t->owner->fading_table == t)
                t->owner->fading_table = nullptr;
        }
    }
    _kv_free_table(t);
    return kv_error_none;
}

kv_status_t kv_table_set_user_data(kv_table_t t, void *data)
{
    if (_kv_set_error_code(!t))
        return kv_error_usage;
    t->user_data = data;
    return kv_error_none;
}

void *kv_table_get_user_data(kv_table_t t)
{
    if (_kv_set_error_code(!t))
        return nullptr;
    return t->user_data;
}
