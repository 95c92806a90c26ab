// Chain blocks: registering chain-graph potentials and merging the blocks of
// linked nodes.
#include "chain_block.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api.h"
#include "graph.h"
#include "memory.h"
#include "node_list.h"
#include "table/table.h"
#include "compile/compile.h"

kv_chain_block_s *_kv_new_chain_block(kv_domain_s *d)
{
    kv_chain_block_s *b = kv::allocate_array<kv_chain_block_s>(1);
    if (!b)
        return nullptr;
    std::memset(b, 0, sizeof *b);
    b->domain = d;
    b->next = d->chain_blocks;
    d->chain_blocks = b;
    return b;
}

void _kv_free_chain_block(kv_chain_block_s *b)
{
    kv_chain_block_s **link = &b->domain->chain_blocks;
    while (*link && *link != b)
        link = &(*link)->next;
    if (*link)
        *link = b->next;
    std::free(b->nodes);
    std::free(b->potentials);
    std::free(b->potential_controls);
    std::free(b);
}

void _kv_free_domain_chain_blocks(kv_domain_s *d)
{
    while (d->chain_blocks)
        _kv_free_chain_block(d->chain_blocks);
}

static size_t table_list_length(kv_table_s *const *list)
{
    size_t n = 0;
    while (list && list[n])
        ++n;
    return n;
}

int _kv_domain_add_chain_potential(kv_domain_s *d, kv_table_s *t, size_t k)
{
    if (!d || !t || k < 2 || t->domain != d || t->continuous_count || t->discrete_count < k ||
        t->type != KV_PROBABILITY)
        return _kv_set_error_code(kv_error_usage);
    kv_node_s **group = t->nodes + (t->discrete_count - k);
    for (size_t i = 0; i < k; ++i)
        if (group[i]->category != kv_category_chance)
            return _kv_set_error_code(kv_error_usage);
    for (size_t j = 0; j + k < t->discrete_count; ++j)
        for (size_t i = 0; i < k; ++i)
            if (!_kv_node_in_list(group[i]->parents, t->nodes[j]))
                return _kv_set_error_code(kv_error_usage);
    for (size_t i = 0; i < k; ++i)
        for (size_t j = i + 1; j < k; ++j) {
            kv_node_s *a = group[i], *b = group[j];
            if (a->chain_block && a->chain_block == b->chain_block)
                continue;
            if (_kv_path_exists(a, b) || _kv_path_exists(b, a))
                return _kv_set_error_code(kv_error_cyclic_network);
        }

    // Members and potentials of the new block: the group with the members
    // of every block it touches, and those blocks' potentials.
    size_t members = 0, potentials = 1;
    std::vector<kv_chain_block_s *, kv::ScratchAlloc<kv_chain_block_s *>> blocks;
    for (size_t i = 0; i < k; ++i) {
        kv_chain_block_s *b = group[i]->chain_block;
        if (!b) {
            ++members;
        } else if (std::find(blocks.begin(), blocks.end(), b) == blocks.end()) {
            blocks.push_back(b);
            members += _kv_node_list_length(b->nodes);
            potentials += table_list_length(b->potentials);
        }
    }
    kv_chain_block_s *nb = _kv_new_chain_block(d);
    if (!nb)
        return kv_error_no_memory;
    nb->nodes = kv::allocate_array<kv_node_s *>(members + 1);
    nb->potentials = nb->nodes ? kv::allocate_array<kv_table_s *>(potentials + 1) : nullptr;
    if (!nb->potentials) {
        _kv_free_chain_block(nb);
        return _kv_set_error_code(kv_error_no_memory);
    }
    size_t m = 0, p = 0;
    for (kv_chain_block_s *b : blocks) {
        for (kv_node_s **x = b->nodes; *x; ++x)
            nb->nodes[m++] = *x;
        for (kv_table_s **x = b->potentials; x && *x; ++x)
            nb->potentials[p++] = *x;
    }
    for (size_t i = 0; i < k; ++i)
        if (!group[i]->chain_block)
            nb->nodes[m++] = group[i];
    nb->nodes[m] = nullptr;
    nb->potentials[p++] = t;
    nb->potentials[p] = nullptr;
    t->role = KV_ROLE_NODE;
    for (kv_node_s **x = nb->nodes; *x; ++x)
        (*x)->chain_block = nb;
    for (kv_chain_block_s *b : blocks)
        _kv_free_chain_block(b);
    _kv_uncompile_domain_safely(d, 1);
    return _kv_set_error_code(kv_error_none);
}

size_t _kv_chain_potential_group_size(const kv_table_s *t)
{
    // Parents of a group never share its block (that would close a cycle),
    // so the group is exactly the trailing run of block members.
    kv_chain_block_s *block = t->nodes[t->discrete_count - 1]->chain_block;
    size_t k = 0;
    while (k < t->discrete_count && t->nodes[t->discrete_count - 1 - k]->chain_block == block)
        ++k;
    return k;
}
