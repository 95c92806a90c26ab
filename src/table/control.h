// Controls: index maps between a big table and a small table whose nodes are
// a subset of the big table's.  A control describes the big table as nested
// loops with strides: the loops over the shared nodes, in the small table's
// order (so the small table is read sequentially), then the loops over the
// other nodes.  Operations walk both tables with pointer arithmetic only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "table.h"

struct kv_loop_s {
    size_t last;   // count - 1
    size_t stride; // distance between consecutive states of this loop
    size_t count;
    kv_node_s *decision;   // the loop's node, if it is a decision
    int flag;              // sum-max: 1 sums this loop, 0 maximizes
    const double *evidence; // fast retraction: propagated evidence of the node
    kv_node_s *node;        // the loop's node (before merging)
};

// The small-table indices of a sparse table's entries.  Consecutive entries
// mostly map to the same index (the summed-out nodes vary fastest) or to
// consecutive ones; such maps are kept as runs of (length, first index) with
// step 0 or 1.  Other maps keep one index per entry (step -1).
struct kv_sparse_map_s {
    int step;
    size_t runs;      // step 0 or 1
    uint32_t *data;   // runs pairs, or one index per entry
    // The small-table entries that any entry maps to, in increasing order:
    // the only ones of a separator that can be nonzero.
    size_t support_count;
    uint32_t *support;
    // A fixed cut into chunks of about equal entries at run boundaries:
    // chunk k starts at run chunk_run[k] and entry chunk_entry[k].  Threads
    // take whole chunks, and sums add chunk partials in order, so results
    // do not depend on the concurrency level.
    static constexpr size_t chunks = 8;
    size_t chunk_run[chunks + 1];
    size_t chunk_entry[chunks + 1];
};

struct kv_control_s {
    size_t number; // position in the domain's list; 0 for temporary controls
    kv_domain_s *domain;
    kv_table_s *big_probability;
    kv_table_s *big_utility;
    kv_table_s *small_probability;
    kv_table_s *small_utility;
    // 2*D entries: the static half maps big configurations to small indices
    // (stride = the node's stride in the small table, 0 if absent); the
    // working half is rebuilt by each setup.  They and the positions and
    // strides below live in the block of the control that made them;
    // temporary controls borrow their model's.
    kv_loop_s *loop_data;
    size_t D;
    size_t *continuous_map; // small continuous node -> big continuous index
    size_t first_count;
    size_t second_count;
    size_t base_offset;
    uint16_t *compressed_index; // per stored big entry, in compressed domains
    kv_control_s *next;
    // Fixed at creation, used by every reset: the big-table position of each
    // small discrete node and the big-table stride of each big discrete node.
    size_t *small_positions;
    size_t *big_strides;
    // With a sparse big table: the small-table index of each of its nonzero
    // entries, as runs (see kv_sparse_map_s).
    kv_sparse_map_s *sparse_map;
};

// The big and small sides: the probability table if given, else the utility
// table.
inline kv_table_s *_kv_control_big(const kv_control_s *c)
{
    return c->big_probability ? c->big_probability : c->big_utility;
}

inline kv_table_s *_kv_control_small(const kv_control_s *c)
{
    return c->small_probability ? c->small_probability : c->small_utility;
}

inline kv_loop_s *_kv_control_working(const kv_control_s *c)
{
    return c->loop_data + c->D;
}

// A permanent control in the domain's list, or NULL with usage (bad tables)
// or no_memory.
kv_control_s *_kv_create_control(kv_table_s *big_probability, kv_table_s *big_utility,
                                 kv_table_s *small_probability, kv_table_s *small_utility);
// Fills the loop data, which live in c's own block after the record (as
// _kv_create_control allocates it), and the continuous map: 0 or no_memory.
int _kv_create_control_contents(kv_control_s *c, kv_table_s *big, kv_table_s *small);
// Both halves of the loop data for big nodes (D discrete) and small nodes
// (d discrete), or NULL with no_memory.
kv_loop_s *_kv_create_d_control_data(kv_node_s *const *big_nodes, size_t D,
                                     kv_node_s *const *small_nodes, size_t d);

// The "alternative" control is the working half of the loop data: a copy
// of the static half that each setup specialises to the operation at hand
// (the evidence, the sum-max flags) and merges where loops are contiguous.
// Rebuilds the working half from the current tables.
void _kv_reset_alternative_control(kv_control_s *c);
// Setups run before an operation: reset, specialise to the evidence, merge
// loops that are contiguous in memory.
void _kv_setup_alternative_control_normal(kv_control_s *c, int simplify);
void _kv_setup_alternative_control_fast_retraction(kv_control_s *c);
void _kv_setup_alternative_control_sum_max(kv_control_s *c, int simplify);

// A short-lived control for tables with the same discrete structure as the
// model control's tables; it borrows the model's loop data.  Not listed.
kv_control_s *_kv_create_temporary_control(kv_control_s *model, kv_table_s *big,
                                           kv_table_s *small);
// A control holding only the tables and the continuous map.  Not listed.
kv_control_s *_kv_create_special_control(kv_table_s *big, kv_table_s *small);

// Unlink (if listed) and free.
void _kv_free_control(kv_control_s *c);
void _kv_free_temporary_control(kv_control_s *c);
// Frees every control of the domain.
void _kv_free_domain_controls(kv_domain_s *d);
