// Table operations: combination, division and marginalization of tables
// through controls, and the operations on conditional-Gaussian parts.
#pragma once

#include "control.h"
#include "core/error.h"

// Equilibrium and evidence-mode arguments use the public enumeration values:
// sum is 11 (anything else means max), fast retraction is 21.

// Allocates the data arrays of every table of the control: 0 or no_memory.
int _kv_allocate_control_tables(kv_control_s *c);

// Big utility += small utility (when both are present), then big
// probability *= small probability and CG combination.  0 or the error code.
int _kv_combine(kv_control_s *c);
// Whether a control joins two discrete probability tables and nothing else.
bool _kv_discrete_probabilities(const kv_control_s *c);
// The big probability table takes the small one's entries, as a table of
// ones combined with it would, without reading the ones.  Discrete
// probability tables only (usage otherwise).
int _kv_assign(kv_control_s *c);

// Evidence slices.  In a propagation of hard evidence the entries of a table
// against the evidence (some node in a state other than its chosen one) are
// zero and stay zero, so the sliced operations leave them alone: they work
// only on the entries where every node for which state(node) gives a state
// is in it.  The entries left alone are then stale until they are
// filled with their zeros (see the junction-tree functions).
typedef size_t (*kv_state_function_t)(const kv_node_s *);
// Combine (or, with assign, _kv_assign) on the slice, on the calling
// thread; when no node of the big table has a state and threads could split
// the table, the threaded whole-table form.  Discrete probability tables
// only.
int _kv_combine_sliced(kv_control_s *c, bool assign, kv_state_function_t state);
// One-off forms: a fresh control (a utility big table pairs with a utility
// small table), or a temporary one modelled on an existing control.
int _kv_combine_tables(kv_table_s *big, kv_table_s *small);
int _kv_combine_tables_using_control(kv_table_s *big, kv_table_s *small, kv_control_s *model);
// Big probability /= small probability where the divisor is positive.
int _kv_control_divide(kv_control_s *c);
int _kv_divide_tables(kv_table_s *big, kv_table_s *small);
// A listed control for two tables placed by their types, or NULL.
kv_control_s *_kv_control_for_tables(kv_table_s *big, kv_table_s *small);
// Runs op(control) on a fresh control for the two tables, or with a model
// on a temporary one that borrows the model's loops, then frees it: op's
// status, or the error code of the control's creation.
template <class Op> int _kv_with_control(kv_table_s *big, kv_table_s *small, kv_control_s *model, Op &&op)
{
    kv_control_s *c = model ? _kv_create_temporary_control(model, big, small)
                            : _kv_control_for_tables(big, small);
    if (!c)
        return kv_error_code();
    int status = op(c);
    if (model)
        _kv_free_temporary_control(c);
    else
        _kv_free_control(c);
    return status;
}

// Marginalizes the big side onto the small side.  The discrete result goes
// to the domain's scratch buffer (probabilities, then utilities for
// influence diagrams) so that the small tables keep their contents until
// _kv_copy_to_table_pair; CG results go straight into the small table.
int _kv_marginalize(kv_control_s *c, int equilibrium, int mode, int simplify);
// Sum marginalization of the slice into the domain's scratch buffer (the
// result entries outside the slice are 0), as _kv_marginalize in the sum
// equilibrium and normal mode; threads as for _kv_combine_sliced.
// Discrete probability tables only.
int _kv_marginalize_sliced(kv_control_s *c, kv_state_function_t state);
// Sum of a table's slice in extended precision; its entries scaled by r;
// the entries outside it set to 0.
double _kv_sliced_sum(const kv_table_s *t, kv_state_function_t state);
void _kv_sliced_scale(kv_table_s *t, double r, kv_state_function_t state);
void _kv_fill_outside_slice(kv_table_s *t, kv_state_function_t state);
// Sets every entry of a table's slice to x.
void _kv_sliced_fill(kv_table_s *t, double x, kv_state_function_t state);
// One-off forms: a fresh or temporary control, then the copy into place.
int _kv_marginalize_tables(kv_table_s *big, kv_table_s *small, int equilibrium, int mode,
                           int simplify);
int _kv_marginalize_tables_using_control(kv_table_s *big, kv_table_s *small,
                                         kv_control_s *model, int equilibrium, int mode,
                                         int simplify);
// A new caller-owned probability table (role derived) over nodes holding the
// marginal of t, or NULL with the error code.
kv_table_s *_kv_table_get_marginal(kv_table_s *t, kv_node_s *const *nodes, int equilibrium,
                                   int mode, int simplify);
// Copies the scratch buffer's first size numbers into the probability
// table's data and the next size numbers into the utility table's data.
int _kv_copy_to_table_pair(kv_table_s *probability, kv_table_s *utility, int equilibrium);
// Grows the domain's scratch buffer to hold n doubles: 0 or no_memory.
int _kv_check_buffer(kv_domain_s *d, size_t n);

// CG operations.
// Turns continuous head node k (0-based among the continuous nodes) into a
// tail: 0, or rounding when a variance turns clearly negative.
int _kv_table_complement(kv_table_s *t, size_t k);
// Complements, in the small table, its continuous nodes that are tails in
// the big table.
int _kv_cg_form_complement(kv_control_s *c);
// Combines the CG part of the small side into the big side.
int _kv_cg_combine(kv_control_s *c);
int _kv_cg_combine_tables(kv_table_s *big, kv_table_s *small);
// CG part of a sum marginalization: strong when no discrete node is summed
// out, weak (moment matching) otherwise; the small table's roles come from
// the big table, and tails without any regression weight become absent.
int _kv_cg_marginalize(kv_control_s *c);
// A new table over t's discrete nodes and one continuous node (head) with
// its mean and variance per configuration, or NULL (usage, no_memory).
kv_table_s *_kv_special_marginal(kv_table_s *t, kv_node_s *node);
