// Operations on node lists: NULL-terminated arrays of node pointers.
#pragma once

#include <cstddef>

#include "domain.h"

// Number of entries (0 for NULL).
size_t _kv_node_list_length(kv_node_s *const *list);
// A fresh copy (an empty list for NULL), or NULL with no_memory.
kv_node_s **_kv_copy_nodes(kv_node_s *const *list);
// A fresh list holding only the terminator, or NULL with no_memory.
kv_node_s **_kv_new_empty_node_list();
// 0-based position of node, or (size_t)-1 if absent or an argument is NULL.
size_t _kv_node_index(kv_node_s *const *list, const kv_node_s *node);
bool _kv_node_in_list(kv_node_s *const *list, const kv_node_s *node);
// Every node of a is in b (true for NULL or empty a).
bool _kv_subset_of_node_list(kv_node_s *const *a, kv_node_s *const *b);
// a occurs in b in the same relative order.
bool _kv_sublist_of_node_list(kv_node_s *const *a, kv_node_s *const *b);
// Insertion sort by node index, highest index (newest node) first.
void _kv_sort_node_list(kv_node_s **list);
// Same length and the same nodes in the same order.
bool _kv_node_lists_are_equal(kv_node_s *const *a, kv_node_s *const *b);
// Remove by position / by value (nothing if absent), shifting the rest down.
void _kv_remove_from_list(kv_node_s **list, size_t i);
void _kv_node_list_remove(kv_node_s **list, const kv_node_s *node);
// Grows *list by one slot, keeping its contents; the only step that can
// fail (no_memory, *list unchanged).  A NULL list becomes an empty one.
int _kv_node_list_extend(kv_node_s ***list);
// After _kv_node_list_extend: a discrete node goes to the front, a
// continuous node to the end.
void _kv_node_list_insert(kv_node_s **list, kv_node_s *node);
// After _kv_node_list_extend: the node goes to the end.
void _kv_node_list_append(kv_node_s **list, kv_node_s *node);

// Sets / clears the marks of the listed nodes.
void _kv_mark_nodes(kv_node_s *const *list);
void _kv_unmark_nodes(kv_node_s *const *list);
// Clears the marks of every node of the domain or class: the walks of an
// operation that failed part-way may leave some set.
void _kv_clear_node_marks(kv_domain_s *d);
// 1 if every node of the list belongs to home and occurs once (NULL: 1).
// Uses and clears the node marks.
bool _kv_nodes_are_distinct(const kv_domain_s *home, kv_node_s *const *list);
