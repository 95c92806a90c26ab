// The case data store and the learning that reads it.
#pragma once

#include "core/domain.h"

// Enters case i as evidence: every chance and decision node, in node
// order, gets its entry (a state or a value) or has its findings retracted.
// 0, or the first failure's code.
int _kv_domain_enter_case(kv_domain_s *d, size_t i);
// Whether every chance node has its entry of case i set; false for domains
// with continuous nodes.
bool _kv_domain_case_is_complete(const kv_domain_s *d, size_t i);
// Frees the node's case columns (the node is going).
void _kv_free_node_cases(kv_node_s *n);
// The node now has k states: stored states from k on become unset, so they
// do not come back when the node grows again.
void _kv_node_cases_resized(kv_node_s *n, size_t k);
// Frees the domain's case counts (the domain is going).
void _kv_free_domain_cases(kv_domain_s *d);
// P(t's nodes | evidence) in t's order into out (t->size entries), from the
// compiled domain's propagated trees: 0 or the error code.
int _kv_family_marginal(kv_domain_s *d, const kv_table_s *t, double *out);
// The single state the node's propagated evidence fixes, or -1.
long _kv_node_propagated_state(const kv_node_s *n);
// Whether every entry of the table (NULL: none) is finite.
bool _kv_table_is_finite(const kv_table_s *t);
// Adapts the node's table and experience counts to the propagated evidence
// (nodes without experience tables are left alone): 0 or the error code.
int _kv_node_adapt(kv_node_s *n);
// Called after each EM iteration; EM goes on while it returns non-zero.
void _kv_domain_set_progress_handler(kv_domain_s *d, kv_em_progress_t handler);
