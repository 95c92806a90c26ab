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
