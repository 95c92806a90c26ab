// Graph searches over parents and children, treating each chain block as
// one unit, and the checks that guard structure edits.  The searches keep
// their work lists in scratch that may throw std::bad_alloc: call them inside
// the API guard.
#pragma once

#include "domain.h"

// 1 if b is a descendant of a (a itself counts).
bool _kv_path_exists(kv_node_s *a, kv_node_s *b);
// 1 if y is reachable from x other than through the arc x -> y.
bool _kv_indirect_path_exists(kv_node_s *x, kv_node_s *y);
// Takes parent out of child's parents, tables and model (parent must be
// one of them).  Never fails.
void _kv_node_remove_parent(kv_node_s *child, kv_node_s *parent);
// 1 if b can replace a as a parent.
bool _kv_nodes_are_compatible(const kv_node_s *a, const kv_node_s *b);
// True when the node is an input node of the class it belongs to.
bool _kv_node_is_class_input(const kv_node_s *n);

// Switches the child's parent without the argument tests of the API form
// (the caller has made them); the cycle test only when asked.  0,
// cyclic_network or no_memory; nothing changes on failure.  May throw
// std::bad_alloc: call it inside the API guard.
int _kv_node_switch_parent(kv_node_s *child, kv_node_s *old_parent, kv_node_s *new_parent,
                           bool test_cycle);
