// States of discrete nodes: their number, labels, values and subtype.
#include <cfloat>
#include <cstdlib>

#include "api.h"
#include "domain.h"
#include "memory.h"
#include "expr/expression.h"
#include "table/table.h"
#include "compile/compile.h"
#include "learn/learn.h"
#include "oobn/oobn.h"

// Discrete chance or decision node that is not an output clone: the nodes
// whose states the caller may edit.
static bool editable(const kv_node_s *n)
{
    return n && _kv_node_is_discrete_chance_or_decision(n) && !_kv_node_is_clone(n);
}

static bool has_states(const kv_node_s *n)
{
    return n && _kv_node_is_discrete_chance_or_decision(n);
}

kv_count_t kv_node_get_number_of_states(kv_node_t n)
{
    if (_kv_set_error_code(!has_states(n)))
        return static_cast<kv_count_t>(-1);
    return n->number_of_states;
}

// Grows the label and value arrays to k states.  On failure the node keeps
// its old count; an array may already have grown, which is harmless.
static int grow_states(kv_node_s *n, size_t k)
{
    size_t old_k = n->number_of_states;
    if (n->state_labels) {
        char **labels = kv::reallocate_array(n->state_labels, k);
        if (!labels)
            return kv_error_no_memory;
        n->state_labels = labels;
        for (size_t i = old_k; i < k; ++i)
            labels[i] = nullptr;
    }
    if (n->entered_finding) {
        double *f = kv::reallocate_array(n->entered_finding, k);
        if (!f)
            return kv_error_no_memory;
        n->entered_finding = f;
        for (size_t i = old_k; i < k; ++i)
            f[i] = 1.0; // new states are not ruled out
    }
    if (n->state_values) {
        double *values = kv::reallocate_array(n->state_values, _kv_size_add(k, 1));
        if (!values)
            return kv_error_no_memory;
        n->state_values = values;
        values[k] = values[old_k]; // the upper end of an interval node stays last
        for (size_t i = old_k; i < k; ++i)
            values[i] = -1.0;
    }
    return kv_error_none;
}

static void shrink_states(kv_node_s *n, size_t k)
{
    size_t old_k = n->number_of_states;
    if (n->state_labels) {
        for (size_t i = k; i < old_k; ++i)
            std::free(n->state_labels[i]);
        n->state_labels = static_cast<char **>(_kv_shrink(n->state_labels, k * sizeof(char *)));
    }
    if (n->entered_finding)
        n->entered_finding =
            static_cast<double *>(_kv_shrink(n->entered_finding, k * sizeof(double)));
    if (n->state_values) {
        n->state_values[k] = n->state_values[old_k];
        n->state_values =
            static_cast<double *>(_kv_shrink(n->state_values, (k + 1) * sizeof(double)));
    }
}

kv_status_t kv_node_set_number_of_states(kv_node_t n, size_t k)
{
    if (_kv_set_error_code(!editable(n) || k < 1 || k == SIZE_MAX))
        return kv_error_usage;
    if (k == n->number_of_states)
        return kv_error_none;
    _kv_invalidate_simulation(n->home);
    if (_kv_set_error_code(n->subtype == kv_subtype_boolean))
        return kv_error_usage;
    size_t old_k = n->number_of_states;
    if (int status = _kv_resize_node_tables(n, old_k, k))
        return status;
    // An output node's clones take the new count in every instance.
    if (int status = _kv_resize_clone_tables(n, old_k, k)) {
        kv::KeepError keep;
        _kv_resize_node_tables(n, k, old_k);
        return status;
    }
    if (k > old_k) {
        if (int status = grow_states(n, k)) {
            kv::KeepError keep;
            _kv_resize_clone_tables(n, k, old_k); // shrinking back cannot fail
            _kv_resize_node_tables(n, k, old_k);
            _kv_update_all_clones(n); // an array may have moved
            return status;
        }
    } else {
        shrink_states(n, k);
        _kv_node_cases_resized(n, k);
    }
    n->number_of_states = k;
    _kv_node_resize_models(n);
    _kv_update_all_clones(n);
    _kv_for_each_clone(n, [](kv_node_s *clone) {
        _kv_node_resize_models(clone);
        return true;
    });
    _kv_uncompile_domain_safely(n->home, 1);
    return _kv_set_error_code(kv_error_none);
}

kv_string_t kv_node_get_state_label(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!has_states(n) || s >= n->number_of_states))
        return nullptr;
    const char *label = n->state_labels ? n->state_labels[s] : nullptr;
    return label ? label : "";
}

kv_status_t kv_node_set_state_label(kv_node_t n, size_t s, kv_string_t label)
{
    if (_kv_set_error_code(!editable(n) || s >= n->number_of_states || !label))
        return kv_error_usage;
    char *copy = _kv_allocate_string(label);
    if (!copy)
        return kv_error_no_memory;
    if (!n->state_labels) {
        char **labels = kv::allocate_array<char *>(n->number_of_states);
        if (!labels) {
            std::free(copy);
            return kv_error_no_memory;
        }
        for (size_t i = 0; i < n->number_of_states; ++i)
            labels[i] = nullptr;
        n->state_labels = labels;
    }
    std::free(n->state_labels[s]);
    n->state_labels[s] = copy;
    if (n->subtype == kv_subtype_label)
        _kv_node_touch_all_models(n);
    _kv_update_all_clones(n);
    return kv_error_none;
}

// Highest state-value index the node accepts: k-1 for number nodes, k (the
// upper end of the last interval) for interval nodes.
static bool value_index_ok(const kv_node_s *n, size_t s)
{
    if (n->subtype == kv_subtype_number)
        return s < n->number_of_states;
    if (n->subtype == kv_subtype_interval)
        return s <= n->number_of_states;
    return false;
}

bool _kv_node_state_values_increase(const kv_node_s *n)
{
    if (!n->state_values || (n->subtype != kv_subtype_number && n->subtype != kv_subtype_interval))
        return false;
    size_t count = n->number_of_states + (n->subtype == kv_subtype_interval ? 1 : 0);
    for (size_t i = 1; i < count; ++i)
        if (!(n->state_values[i - 1] < n->state_values[i]))
            return false;
    return true;
}

kv_number_t kv_node_get_state_value(kv_node_t n, size_t s)
{
    if (_kv_set_error_code(!has_states(n) || !value_index_ok(n, s)))
        return -1.0;
    if (n->state_values)
        return n->state_values[s];
    if (n->subtype == kv_subtype_interval) {
        if (s == 0)
            return -DBL_MAX;
        if (s == n->number_of_states)
            return DBL_MAX;
    }
    return -1.0;
}

kv_status_t kv_node_set_state_value(kv_node_t n, size_t s, kv_number_t value)
{
    if (_kv_set_error_code(!editable(n) || !value_index_ok(n, s)))
        return kv_error_usage;
    if (!n->state_values) {
        size_t k = n->number_of_states;
        double *values = kv::allocate_array<double>(_kv_size_add(k, 1));
        if (!values)
            return kv_error_no_memory;
        for (size_t i = 0; i <= k; ++i)
            values[i] = -1.0;
        if (n->subtype == kv_subtype_interval) {
            values[0] = -DBL_MAX;
            values[k] = DBL_MAX;
        }
        n->state_values = values;
    }
    // Values need not increase here; users of the values test the order.
    n->state_values[s] = value;
    _kv_node_touch_all_models(n);
    _kv_update_all_clones(n);
    return kv_error_none;
}

kv_node_subtype_t kv_node_get_subtype(kv_node_t n)
{
    if (_kv_set_error_code(!has_states(n)))
        return kv_subtype_error;
    return n->subtype;
}

kv_status_t kv_node_set_subtype(kv_node_t n, kv_node_subtype_t subtype)
{
    if (_kv_set_error_code(!editable(n) || subtype < kv_subtype_label ||
                           subtype > kv_subtype_interval))
        return kv_error_usage;
    if (subtype == n->subtype)
        return kv_error_none;
    if (_kv_set_error_code(subtype == kv_subtype_boolean && n->number_of_states != 2))
        return kv_error_usage;
    n->subtype = subtype;
    _kv_node_touch_all_models(n);
    _kv_update_all_clones(n);
    return kv_error_none;
}
