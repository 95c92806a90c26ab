// Tables: potentials over node lists.  Discrete data is one number per
// configuration of the discrete nodes in row-major order (the last node
// varies fastest); CG data holds, per configuration, the means and the
// covariance triangle of the continuous nodes: node k's block starts at
// k*(k+3)/2 and holds its mean, then its covariances with nodes 0..k.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/domain.h"

// Table types.
enum : int {
    KV_PROBABILITY = 0,
    KV_UTILITY = 1,
    KV_EXPERIENCE = 2,
    KV_FADING = 3,
};

// Table roles: who made the table and for what.
enum : int {
    KV_ROLE_SCRATCH = -1,
    KV_ROLE_NODE = 0,      // a node's own table (also experience and fading)
    KV_ROLE_DERIVED = 1,   // derived or caller-owned result
    KV_ROLE_CLIQUE = 2,
    KV_ROLE_SEPARATOR = 3,
    KV_ROLE_BELIEF = 4,
    KV_ROLE_EVIDENCE = 5,
};

// Roles of continuous nodes in a table.
constexpr signed char KV_HEAD = 0;   // the table gives its distribution
constexpr signed char KV_TAIL = 1;   // a conditioning variable (regression coefficients)
constexpr signed char KV_ABSENT = 2; // the table says nothing about it yet

// Where a sparse clique's current numbers are.
enum kv_sparse_current_t : int {
    KV_SPARSE_AGREE = 0,     // in the compact values, and the dense table agrees
    KV_SPARSE_VALUES,        // in the compact values; the dense table is behind
    KV_SPARSE_INITIAL,       // the potentials' product (a new case's load, not
                             // copied yet); the dense table is behind
    KV_SPARSE_INITIAL_AGREE, // the potentials' product, and the dense table agrees
    KV_SPARSE_DENSE,         // in the dense table; the compact values are behind
};

// The nonzero entries of a large, mostly zero clique table (see the sparse
// propagation): their positions, their values, and the product of the
// clique's potentials there.
struct kv_sparse_s {
    size_t count;
    uint32_t *positions;
    double *values;
    double *initial;
    kv_sparse_current_t current;
};

struct kv_table_s {
    size_t number; // position in the domain's list; 0 when caller-owned
    kv_domain_s *domain;
    kv_node_s *owner;
    int type;
    int role;
    kv_node_s **nodes; // discrete nodes first, then continuous ones
    size_t discrete_count;
    size_t continuous_count;
    size_t size;    // discrete configurations; (size_t)-1 when too large
    size_t cg_size; // q*(q+3)/2
    signed char *continuous_roles;
    double *discrete_data;
    double *cg_data;
    kv_table_s *next;
    void *user_data;
    kv_sparse_s *sparse; // clique tables only
    // Compressed: the entries are the nonzero ones of the configurations,
    // in order, and size counts them (clique and separator tables).
    int compressed;
    // Of a compressed table in a network with continuous nodes: the
    // configuration of each stored entry, for the operations that take such
    // a table whole (_kv_whole_copy).
    size_t *kept_configurations;
};

static_assert(std::is_trivially_destructible_v<kv_table_s>);

// The sum of n numbers accumulated in extended precision, in order.
inline long double _kv_ordered_sum(const double *x, size_t n)
{
    long double sum = 0.0L;
    for (size_t i = 0; i < n; ++i)
        sum += x[i];
    return sum;
}

// Offset of the mean of continuous node k in a configuration's CG block.
inline size_t _kv_cg_mean_offset(size_t k)
{
    return k * (k + 3) / 2;
}

// Offset of the covariance of continuous nodes j and k (either order).
inline size_t _kv_cg_cov_offset(size_t j, size_t k)
{
    return j <= k ? k * (k + 3) / 2 + 1 + j : j * (j + 3) / 2 + 1 + k;
}

// q*(q+3)/2, saturating.
size_t _kv_calculate_c_size(size_t q);

// An empty record (size 1, no nodes, type and role 0) at the head of the
// domain's table list, or NULL with no_memory.
kv_table_s *_kv_new_table(kv_domain_s *d);
// Frees a table's node list unless it lives in the table's own block.
void _kv_free_table_nodes(kv_table_s *t);
// A table over a copy of nodes.  partition: move discrete nodes in front of
// continuous ones first; allocate: allocate and initialise the data.  NULL
// with usage (bad list) or no_memory; nothing is left behind on failure.
kv_table_s *_kv_create_table(kv_domain_s *d, kv_node_s *const *nodes, int type, int role,
                             int partition, int allocate);
// Counts discrete and continuous nodes; usage when a discrete node follows a
// continuous one.
int _kv_calculate_ranks(kv_table_s *t);
// Allocates and initialises the data arrays that are absent: 0, or no_memory.
int _kv_allocate_data_arrays(kv_table_s *t);
// Initial contents: discrete data 1.0 (probability, fading) or 0.0 (utility,
// experience), CG data 0.0, every continuous role absent.
void _kv_init_table(kv_table_s *t);

// Copies in the domain's list, or NULL with the error code.
kv_table_s *_kv_clone_table(const kv_table_s *t);
kv_table_s *_kv_discrete_clone_table(const kv_table_s *t);
// A copy of t whose entries are at their configurations: a compressed
// table's stored entries (kept names their configurations) with zero
// weights and CG blocks elsewhere; with kept NULL, a clone.  In the domain's
// list, or NULL with the error code.
kv_table_s *_kv_whole_copy(const kv_table_s *t, const size_t *kept);
// Stores into compressed t, from whole (a whole copy of it, possibly with
// more continuous nodes after t's), the entries t keeps and the roles of
// t's continuous nodes.
void _kv_store_kept(kv_table_s *t, const kv_table_s *whole);
// A size-1 table over the continuous nodes of t holding configuration i.
kv_table_s *_kv_c_clone_table(const kv_table_s *t, size_t i);
// Exchanges nodes, counts, sizes, roles and data of two tables.
void _kv_swap_table_data(kv_table_s *a, kv_table_s *b);

// Unlinks (if listed) and frees a table.
void _kv_free_table(kv_table_s *t);
// Takes the table out of the domain's list; the caller then owns it.
void _kv_unlink_table(kv_table_s *t);
// Length of a NULL-terminated table array.
size_t _kv_table_list_length(kv_table_s *const *list);

// Edits in place.  All leave the table as it was when they fail.
int _kv_table_resize(kv_table_s *t, kv_node_s *node, size_t n);
int _kv_table_add_node(kv_table_s *t, kv_node_s *node);
int _kv_table_remove_node(kv_table_s *t, kv_node_s *node);
int _kv_table_instantiate(kv_table_s *t, kv_node_s *node, size_t s);
int _kv_table_remove_c_node(kv_table_s *t, kv_node_s *node);

// Position of node among the table's nodes, or (size_t)-1.
size_t _kv_table_node_position(const kv_table_s *t, const kv_node_s *node);

// The node's own table, created on demand (chance and utility nodes), or
// NULL with the error code.
kv_table_s *_kv_node_get_table(kv_node_s *n);
// Changes the state count of node in every table that depends on it (its
// own table and its children's tables).  On failure every table is back at
// old_count and the error code is returned.
int _kv_resize_node_tables(kv_node_s *node, size_t old_count, size_t new_count);
// Frees the node's table, experience and fading tables.
void _kv_free_node_tables(kv_node_s *n);
// Frees every table of the domain.
void _kv_free_domain_tables(kv_domain_s *d);
