// The tables owned by nodes: the conditional probability or utility table
// made on demand, the tables that follow a node's state count, and the CG
// parameters of continuous chance nodes.
#include <cmath>
#include <cstdlib>

#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "table.h"

kv_table_s *_kv_node_get_table(kv_node_s *n)
{
    if (n->table)
        return n->table;
    size_t parents = _kv_node_list_length(n->parents);
    kv_node_s **nodes = kv::allocate_array<kv_node_s *>(_kv_size_add(parents, 2));
    if (!nodes)
        return nullptr;
    // Discrete parents, the node, continuous parents; a utility table ranges
    // over the parents only.  Parent lists keep discrete parents first.
    size_t count = 0, p = 0;
    for (; p < parents && n->parents[p]->kind == kv_kind_discrete; ++p)
        nodes[count++] = n->parents[p];
    if (n->category != kv_category_utility)
        nodes[count++] = n;
    for (; p < parents; ++p)
        nodes[count++] = n->parents[p];
    nodes[count] = nullptr;

    int type = n->category == kv_category_utility ? KV_UTILITY : KV_PROBABILITY;
    kv_table_s *t = _kv_create_table(n->home, nodes, type, KV_ROLE_NODE, 0, 0);
    std::free(nodes);
    if (!t)
        return nullptr;
    if (t->continuous_count) {
        t->continuous_roles = kv::allocate_array<signed char>(t->continuous_count);
        if (!t->continuous_roles) {
            _kv_free_table(t);
            return nullptr;
        }
        for (size_t k = 0; k < t->continuous_count; ++k)
            t->continuous_roles[k] = t->nodes[t->discrete_count + k] == n ? KV_HEAD : KV_TAIL;
    }
    t->owner = n;
    n->table = t;
    return t;
}

kv_table_t kv_node_get_table(kv_node_t n)
{
    if (_kv_set_error_code(!n || _kv_node_is_clone(n) ||
                           (n->category != kv_category_chance &&
                            n->category != kv_category_utility)))
        return nullptr;
    return kv::guard_ptr([&] { return _kv_node_get_table(n); });
}

// Tables whose size depends on the node's state count, in a fixed order so
// that a failed resize can be undone on exactly the tables already done.
template <class F> static size_t for_each_dependent_table(kv_node_s *node, F &&f)
{
    size_t done = 0;
    auto visit = [&](kv_table_s *t) {
        if (!t || _kv_table_node_position(t, node) == static_cast<size_t>(-1))
            return true;
        if (!f(t))
            return false;
        ++done;
        return true;
    };
    if (!visit(node->table))
        return done;
    if (node->children)
        for (kv_node_s **c = node->children; *c; ++c)
            if (!visit((*c)->table) || !visit((*c)->experience_table) ||
                !visit((*c)->fading_table))
                return done;
    return done;
}

int _kv_resize_node_tables(kv_node_s *node, size_t old_count, size_t new_count)
{
    int status = kv_error_none;
    size_t done = for_each_dependent_table(node, [&](kv_table_s *t) {
        status = _kv_table_resize(t, node, new_count);
        return status == kv_error_none;
    });
    if (status == kv_error_none)
        return kv_error_none;
    kv::KeepError keep;
    size_t undone = 0;
    for_each_dependent_table(node, [&](kv_table_s *t) {
        if (undone++ >= done)
            return false;
        _kv_table_resize(t, node, old_count); // shrinking back cannot fail
        return true;
    });
    return status;
}

void _kv_free_node_tables(kv_node_s *n)
{
    _kv_free_table(n->table);
    _kv_free_table(n->experience_table);
    _kv_free_table(n->fading_table);
    n->table = n->experience_table = n->fading_table = nullptr;
}

// ---------------------------------------------------------------------------
// CG parameters.  In the table of a continuous chance node, the node is the
// first continuous node and its continuous parents follow: alpha sits in the
// node's mean slot, gamma in its variance slot and the beta of parent k in
// the slot of the covariance of k with the node.

enum class Slot { alpha, gamma, beta };

// The slot of one CG parameter for configuration i, or NULL with the error
// code (usage for bad arguments).
static double *cg_slot(kv_node_s *n, size_t i, Slot slot, kv_node_s *parent = nullptr)
{
    if (_kv_set_error_code(!n || n->category != kv_category_chance ||
                           n->kind != kv_kind_continuous || (slot == Slot::beta && !parent)))
        return nullptr;
    kv_table_s *t = _kv_node_get_table(n);
    if (!t)
        return nullptr;
    if (_kv_set_error_code(i >= t->size))
        return nullptr;
    size_t offset = slot == Slot::alpha ? _kv_cg_mean_offset(0) : _kv_cg_cov_offset(0, 0);
    if (slot == Slot::beta) {
        size_t p = _kv_table_node_position(t, parent);
        if (_kv_set_error_code(p == static_cast<size_t>(-1) || p <= t->discrete_count))
            return nullptr;
        offset = _kv_cg_cov_offset(p - t->discrete_count, 0);
    }
    if (_kv_allocate_data_arrays(t))
        return nullptr;
    return t->cg_data + i * t->cg_size + offset;
}

static double get_parameter(kv_node_s *n, size_t i, Slot slot, kv_node_s *parent = nullptr)
{
    return kv::guard_number([&] {
        double *p = cg_slot(n, i, slot, parent);
        return p ? *p : -1.0;
    });
}

static int set_parameter(kv_node_s *n, double value, size_t i, Slot slot,
                         kv_node_s *parent = nullptr)
{
    return kv::guard_status([&] {
        double *p = cg_slot(n, i, slot, parent);
        if (!p)
            return static_cast<int>(kv_error_code());
        *p = value;
        return kv_node_touch_table(n); // a compiled domain must take the new table in
    });
}

kv_number_t kv_node_get_alpha(kv_node_t n, size_t i)
{
    return get_parameter(n, i, Slot::alpha);
}

kv_status_t kv_node_set_alpha(kv_node_t n, kv_number_t alpha, size_t i)
{
    return set_parameter(n, alpha, i, Slot::alpha);
}

kv_number_t kv_node_get_gamma(kv_node_t n, size_t i)
{
    return get_parameter(n, i, Slot::gamma);
}

kv_status_t kv_node_set_gamma(kv_node_t n, kv_number_t gamma, size_t i)
{
    if (_kv_set_error_code(!(gamma >= 0.0)))
        return kv_error_usage; // negative or NaN
    return set_parameter(n, gamma, i, Slot::gamma);
}

kv_number_t kv_node_get_beta(kv_node_t n, kv_node_t parent, size_t i)
{
    return get_parameter(n, i, Slot::beta, parent);
}

kv_status_t kv_node_set_beta(kv_node_t n, kv_number_t beta, kv_node_t parent, size_t i)
{
    return set_parameter(n, beta, i, Slot::beta, parent);
}
