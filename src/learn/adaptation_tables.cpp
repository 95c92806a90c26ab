// The experience and fading tables of discrete chance nodes: tables over the
// node's parents that adaptation keeps beside its conditional table.
#include "core/api.h"
#include "core/node_list.h"
#include "table/table.h"

static kv_table_s *adaptation_table(kv_node_s *n, kv_table_s *&slot, int type)
{
    if (slot)
        return slot;
    // Discrete parents only: continuous parents cannot be parents of a
    // discrete node.
    static kv_node_s *const no_parents[] = {nullptr};
    kv_table_s *t = _kv_create_table(n->home, n->parents ? n->parents : no_parents, type,
                                     KV_ROLE_NODE, 0, 1);
    if (!t)
        return nullptr;
    t->owner = n;
    slot = t;
    return t;
}

static bool adaptable(const kv_node_s *n)
{
    return n && n->category == kv_category_chance && n->kind == kv_kind_discrete &&
           !_kv_node_is_clone(n);
}

kv_table_t kv_node_get_experience_table(kv_node_t n)
{
    if (_kv_set_error_code(!adaptable(n)))
        return nullptr;
    return kv::guard_ptr([&] { return adaptation_table(n, n->experience_table, KV_EXPERIENCE); });
}

kv_table_t kv_node_get_fading_table(kv_node_t n)
{
    if (_kv_set_error_code(!adaptable(n)))
        return nullptr;
    return kv::guard_ptr([&] { return adaptation_table(n, n->fading_table, KV_FADING); });
}

kv_boolean_t kv_node_has_experience_table(kv_node_t n)
{
    if (_kv_set_error_code(!adaptable(n)))
        return -1;
    return n->experience_table != nullptr;
}

kv_boolean_t kv_node_has_fading_table(kv_node_t n)
{
    if (_kv_set_error_code(!adaptable(n)))
        return -1;
    return n->fading_table != nullptr;
}
