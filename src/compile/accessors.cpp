// Read-only walks over the junction forest: trees, cliques, members,
// neighbours and tables, and the user data of cliques and trees.
#include <cstdlib>

#include "compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "inference/propagate.h"
#include "table/table.h"

kv_junction_tree_t kv_domain_get_first_junction_tree(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return nullptr;
    return d->first_junction_tree;
}

kv_junction_tree_t kv_jt_get_next(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return nullptr;
    return jt->next;
}

kv_clique_t kv_jt_get_root(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return nullptr;
    return jt->root;
}

kv_clique_t *kv_jt_get_cliques(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return nullptr;
    return jt->cliques;
}

kv_clique_t kv_domain_get_first_clique(kv_domain_t d)
{
    if (_kv_set_error_code(!d || !d->first_clique))
        return nullptr;
    return d->first_clique;
}

kv_clique_t kv_clique_get_next(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    return c->next;
}

size_t kv_domain_get_number_of_cliques(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return static_cast<size_t>(-1);
    if (!d->is_compiled) {
        _kv_set_error_code(kv_error_not_compiled);
        return static_cast<size_t>(-1);
    }
    return d->number_of_cliques;
}

kv_junction_tree_t kv_clique_get_junction_tree(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    return c->junction_tree;
}

kv_node_t *kv_clique_get_members(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    return c->probability_table->nodes;
}

size_t kv_clique_get_number_of_members(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return static_cast<size_t>(-1);
    return c->probability_table->discrete_count + c->probability_table->continuous_count;
}

kv_clique_t *kv_clique_get_neighbors(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    if (!c->neighbor_array) {
        size_t n = 0;
        for (kv_neighbor_s *b = c->neighbors; b; b = b->next)
            ++n;
        kv_clique_s **list = kv::allocate_array<kv_clique_s *>(n + 1);
        if (!list)
            return nullptr;
        size_t i = 0;
        for (kv_neighbor_s *b = c->neighbors; b; b = b->next)
            list[i++] = b->clique;
        list[i] = nullptr;
        c->neighbor_array = list;
    }
    return c->neighbor_array;
}

size_t kv_clique_get_number_of_neighbors(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return static_cast<size_t>(-1);
    size_t n = 0;
    for (kv_neighbor_s *b = c->neighbors; b; b = b->next)
        ++n;
    return n;
}

// A clique table handed out is read by the caller at any time from then
// on: its tree fills its evidence slices and keeps whole tables.
static void expose(kv_clique_s *c)
{
    if (kv_junction_tree_s *jt = c->junction_tree)
        _kv_jt_expose_tables(jt);
}

kv_table_t kv_clique_get_probability_table(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    expose(c);
    return c->probability_table;
}

kv_table_t kv_clique_get_utility_table(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    expose(c);
    return c->utility_table;
}

kv_status_t kv_clique_set_user_data(kv_clique_t c, void *data)
{
    if (_kv_set_error_code(!c))
        return kv_error_usage;
    c->user_data = data;
    return kv_error_none;
}

void *kv_clique_get_user_data(kv_clique_t c)
{
    if (_kv_set_error_code(!c))
        return nullptr;
    return c->user_data;
}

kv_status_t kv_jt_set_user_data(kv_junction_tree_t jt, void *data)
{
    if (_kv_set_error_code(!jt))
        return kv_error_usage;
    jt->user_data = data;
    return kv_error_none;
}

void *kv_jt_get_user_data(kv_junction_tree_t jt)
{
    if (_kv_set_error_code(!jt))
        return nullptr;
    return jt->user_data;
}
