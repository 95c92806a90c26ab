// Chain blocks: groups of chance nodes joined by undirected links, given by
// chain-graph potentials.  Graph searches treat a block as one unit.
#pragma once

#include "domain.h"

struct kv_chain_block_s {
    kv_domain_s *domain;
    kv_node_s **nodes;       // the members
    kv_table_s **potentials; // NULL-terminated
    kv_chain_block_s *next;
    // Derived by compilation: the table over the block's parents, and the
    // controls that multiply it and each potential into their cliques.
    kv_table_s *parent_table;
    kv_control_s *parent_control;
    kv_control_s **potential_controls; // one per potential
};

// Registers a chain potential whose last k nodes are the linked group and
// whose other nodes are parents of every group member; merges the blocks
// the group touches.  0, usage, cyclic_network or no_memory.  Its scratch
// may throw std::bad_alloc: call it inside the API guard.
int _kv_domain_add_chain_potential(kv_domain_s *d, kv_table_s *table, size_t k);
// An empty block at the head of the domain's list, or NULL.
kv_chain_block_s *_kv_new_chain_block(kv_domain_s *d);
// Unlinks the block and frees its arrays (not the potentials).
void _kv_free_chain_block(kv_chain_block_s *b);
// Frees every block of the domain.
void _kv_free_domain_chain_blocks(kv_domain_s *d);
// The number of trailing nodes of a registered chain potential that form
// its linked group: those in the block of its last node.
size_t _kv_chain_potential_group_size(const kv_table_s *t);
