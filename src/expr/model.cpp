// Models: one expression per configuration of a chosen subset of a node's
// parents, from which the node's table is generated.
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/host.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "expression.h"

static bool modelable(const kv_node_s *n)
{
    return n && !_kv_node_is_clone(n) && n->kind == kv_kind_discrete &&
           (n->category == kv_category_chance || n->category == kv_category_utility);
}

// Releases every slot and the slot array; the next use allocates it anew.
static void free_slots(kv_model_s *m)
{
    if (!m->expressions)
        return;
    for (size_t i = 0; i < m->size; ++i)
        _kv_expr_decrement_ref_count_and_free(m->expressions[i]);
    std::free(m->expressions);
    m->expressions = nullptr;
    m->size = 0;
}

void _kv_free_model(kv_model_s *m)
{
    if (!m)
        return;
    free_slots(m);
    std::free(m->nodes);
    if (m->owner && m->owner->model == m)
        m->owner->model = nullptr;
    _kv_host_release_peer(m->owner ? m->owner->home : nullptr, m->back_pointer);
    std::free(m);
}

void _kv_node_touch_model(kv_node_s *n)
{
    if (n && n->model) {
        n->model->touched = 1;
        kv_node_touch_table(n);
    }
}

void _kv_node_touch_all_models(kv_node_s *n)
{
    _kv_node_touch_model(n);
    for (kv_node_s **c = n->children; c && *c; ++c)
        _kv_node_touch_model(*c);
}

void _kv_node_resize_models(kv_node_s *n)
{
    auto resize = [n](kv_node_s *owner) {
        if (owner->model && _kv_node_in_list(owner->model->nodes, n))
            free_slots(owner->model);
        _kv_node_touch_model(owner);
    };
    resize(n);
    for (kv_node_s **c = n->children; c && *c; ++c)
        resize(*c);
}

int _kv_model_replace_node(kv_model_s *m, kv_node_s *old_node, kv_node_s *new_node)
{
    if (!m)
        return kv_error_none;
    // Expressions are shared: build the substituted slots aside, then
    // commit them, so that a failure leaves the model as it was.
    size_t size = m->expressions ? m->size : 0;
    kv_expression_s **fresh = size ? kv::allocate_array<kv_expression_s *>(size) : nullptr;
    if (size && !fresh)
        return kv_error_no_memory;
    for (size_t i = 0; i < size; ++i) {
        kv_expression_s *e = m->expressions[i];
        fresh[i] = e ? _kv_expression_substitute(e, old_node, new_node) : nullptr;
        if (e && !fresh[i]) {
            kv::KeepError keep;
            for (size_t j = 0; j < i; ++j)
                if (fresh[j] != m->expressions[j])
                    _kv_expr_decrement_ref_count_and_free(fresh[j]);
            std::free(fresh);
            return kv_error_no_memory;
        }
    }
    for (size_t i = 0; i < size; ++i) {
        if (fresh[i] == m->expressions[i])
            continue;
        ++fresh[i]->reference_count;
        _kv_expr_decrement_ref_count_and_free(m->expressions[i]);
        m->expressions[i] = fresh[i];
    }
    std::free(fresh);
    size_t k = _kv_node_index(m->nodes, old_node);
    if (k != static_cast<size_t>(-1))
        m->nodes[k] = new_node;
    _kv_node_touch_model(m->owner);
    return kv_error_none;
}

kv_model_t kv_node_new_model(kv_node_t n, kv_node_t *nodes)
{
    if (_kv_set_error_code(!modelable(n) || !nodes || !_kv_nodes_are_distinct(n->home, nodes) ||
                           !_kv_subset_of_node_list(nodes, n->parents)))
        return nullptr;
    kv_model_s *m = kv::allocate_array<kv_model_s>(1);
    if (!m)
        return nullptr;
    std::memset(m, 0, sizeof *m);
    m->nodes = _kv_copy_nodes(nodes);
    if (!m->nodes) {
        std::free(m);
        return nullptr;
    }
    _kv_free_model(n->model);
    m->owner = n;
    m->touched = 1;
    m->samples_per_interval = 25;
    n->model = m;
    return m;
}

kv_model_t kv_node_get_model(kv_node_t n)
{
    if (_kv_set_error_code(!modelable(n)))
        return nullptr;
    return n->model;
}

kv_node_t *kv_model_get_nodes(kv_model_t m)
{
    if (_kv_set_error_code(!m))
        return nullptr;
    return m->nodes;
}

// The slot array, allocated on first use.
static int ensure_slots(kv_model_s *m)
{
    if (m->expressions)
        return kv_error_none;
    size_t size = 1;
    for (kv_node_s **n = m->nodes; *n; ++n)
        size = _kv_size_multiply((*n)->number_of_states, size);
    if (size == SIZE_MAX)
        return _kv_set_error_code(kv_error_size_too_large);
    kv_expression_s **slots = kv::allocate_array<kv_expression_s *>(size);
    if (!slots)
        return kv_error_no_memory;
    for (size_t i = 0; i < size; ++i)
        slots[i] = nullptr;
    m->expressions = slots;
    m->size = size;
    return kv_error_none;
}

size_t kv_model_get_size(kv_model_t m)
{
    if (_kv_set_error_code(!m))
        return static_cast<size_t>(-1);
    if (ensure_slots(m))
        return static_cast<size_t>(-1);
    return m->size;
}

static bool only_parents(const kv_expression_s *e, const kv_node_s *owner)
{
    if (e->op == kv_operator_node)
        return _kv_node_in_list(owner->parents, e->payload.node);
    if (e->op >= kv_operator_number)
        return true;
    for (kv_expression_s **o = e->payload.operands; *o; ++o)
        if (!only_parents(*o, owner))
            return false;
    return true;
}

kv_status_t kv_model_set_expression(kv_model_t m, size_t index, kv_expression_t e)
{
    if (_kv_set_error_code(!m))
        return kv_error_usage;
    if (int s = ensure_slots(m))
        return s;
    if (_kv_set_error_code(index >= m->size))
        return kv_error_usage;
    if (e) {
        bool bad_type = m->owner->category == kv_category_utility &&
                        (e->type == 1 || e->type == 2 || e->type == 3 || e->type >= 6);
        if (!only_parents(e, m->owner) || bad_type)
            return _kv_set_error_code(kv_error_invalid_expression);
        ++e->reference_count;
    }
    _kv_expr_decrement_ref_count_and_free(m->expressions[index]);
    m->expressions[index] = e;
    _kv_node_touch_model(m->owner);
    return _kv_set_error_code(kv_error_none);
}

kv_expression_t kv_model_get_expression(kv_model_t m, size_t index)
{
    if (_kv_set_error_code(!m))
        return nullptr;
    if (ensure_slots(m))
        return nullptr;
    if (_kv_set_error_code(index >= m->size))
        return nullptr;
    return m->expressions[index];
}

kv_status_t kv_model_set_number_of_samples_per_interval(kv_model_t m, size_t count)
{
    if (_kv_set_error_code(!m || count == 0))
        return kv_error_usage;
    m->samples_per_interval = count;
    _kv_node_touch_model(m->owner);
    return kv_error_none;
}

size_t kv_model_get_number_of_samples_per_interval(kv_model_t m)
{
    if (_kv_set_error_code(!m))
        return static_cast<size_t>(-1);
    return m->samples_per_interval;
}

kv_status_t kv_model_delete(kv_model_t m)
{
    if (_kv_set_error_code(!m))
        return kv_error_usage;
    _kv_free_model(m);
    return kv_error_none;
}

void _kv_model_remove_node(kv_model_s *m, kv_node_s *node)
{
    if (!m)
        return;
    if (_kv_node_in_list(m->nodes, node)) {
        _kv_free_model(m);
        return;
    }
    if (m->expressions)
        for (size_t i = 0; i < m->size; ++i)
            if (m->expressions[i] && _kv_expression_mentions(m->expressions[i], node)) {
                _kv_expr_decrement_ref_count_and_free(m->expressions[i]);
                m->expressions[i] = nullptr;
            }
    _kv_node_touch_model(m->owner);
}

kv_status_t kv_model_set_user_data(kv_model_t m, void *data)
{
    if (_kv_set_error_code(!m))
        return kv_error_usage;
    m->user_data = data;
    return kv_error_none;
}

void *kv_model_get_user_data(kv_model_t m)
{
    if (_kv_set_error_code(!m))
        return nullptr;
    return m->user_data;
}
