// The belief report written to the log after compilation and on request.
#include <cmath>
#include <cstring>

#include "core/api.h"
#include "propagate.h"
#include "table/table.h"

static const char *state_label(const kv_node_s *n, size_t s)
{
    const char *label = n->state_labels ? n->state_labels[s] : nullptr;
    return label ? label : "";
}

static int report_node(kv_node_s *n)
{
    kv_domain_s *d = n->home;
    if (n->category == kv_category_utility)
        return kv_error_none;
    if (!n->junction_tree || n->junction_tree->equilibrium == kv_equilibrium_none)
        return _kv_set_error_code(kv_error_no_equilibrium);
    if (!d->log_file)
        return kv_error_none;
    const char *name = kv_node_get_name(n);
    if (!name)
        return kv_error_code();
    const kv_table_s *b = n->belief_table;
    int status;
    if (n->kind == kv_kind_continuous) {
        if (n->value_propagated) {
            status = _kv_log(d, "\n-> %-20s %f\n", name, n->propagated_value);
        } else {
            double mean = b->cg_data[0], variance = b->cg_data[1];
            status = _kv_log(d, "\n    %s:\n", name);
            if (!status)
                status = _kv_log(d, "\tMean: %f   Variance: %f   SD: %f\n", mean, variance,
                                 std::sqrt(variance));
        }
    } else {
        size_t possible = 0, last = 0;
        for (size_t s = 0; s < n->number_of_states; ++s)
            if (b->discrete_data[s] > 0.0) {
                ++possible;
                last = s;
            }
        if (n->category == kv_category_chance && possible == 1) {
            const char *label = state_label(n, last);
            status = *label ? _kv_log(d, "\n-> %-20s %-15s\n", name, label)
                            : _kv_log(d, "\n-> %-20s   state%s\n", name, _kv_print_size(d, last));
        } else {
            status = _kv_log(d, "\n    %s:\n", name);
            const double *values = n->category == kv_category_decision && n->utility_belief_table
                                       ? n->utility_belief_table->discrete_data
                                       : b->discrete_data;
            for (size_t s = 0; s < n->number_of_states && !status; ++s) {
                const char *marker =
                    n->category == kv_category_chance && b->discrete_data[s] == 0.0 ? " *****" : "";
                const char *label = state_label(n, s);
                status = *label ? _kv_log(d, "\t%-10s %f%s\n", label, values[s], marker)
                                : _kv_log(d, "\tstate%s   %f%s\n", _kv_print_size(d, s), values[s], marker);
            }
        }
    }
    if (status)
        return status;
    return _kv_domain_flush_log_file(d) ? _kv_set_error_code(kv_error_io) : kv_error_none;
}

kv_status_t kv_node_report_beliefs(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return kv_error_usage;
    return kv::guard_status([&] {
        int status = report_node(n);
        return status ? status : _kv_set_error_code(kv_error_none);
    });
}

int _kv_report_beliefs(kv_domain_s *d)
{
    if (!d)
        return _kv_set_error_code(kv_error_usage);
    if (!d->log_file)
        return kv_error_none;
    if (d->number_of_decision_nodes) {
        if (int status = _kv_log(d, "\n\nUtilities for decisions:\n\n"))
            return status;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->category == kv_category_decision)
                if (int status = report_node(n))
                    return status;
    }
    if (d->number_of_chance_nodes) {
        if (int status = _kv_log(d, "\n\nBeliefs for chance nodes:\n"))
            return status;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->category == kv_category_chance)
                if (int status = report_node(n))
                    return status;
    }
    return kv_error_none;
}
