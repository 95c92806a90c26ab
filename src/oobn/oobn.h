// Classes, class collections, instance nodes and their output clones: the
// records and the helpers that the rest of the library calls when a class
// node changes.
#pragma once

#include <cstddef>

#include "core/domain.h"

struct kv_class_collection_s {
    kv_domain_s **members; // NULL-terminated, in order of addition
    unsigned count;
    void *user_data;
};

// Calls f(clone) for every output clone standing for node, and recursively
// for the clones of those clones that are outputs in their turn; stops and
// returns false as soon as f does.
template <class F> bool _kv_for_each_clone(kv_node_s *node, F &&f);

// The position of the node among its home's outputs, or (size_t)-1.
size_t _kv_output_position(const kv_node_s *n);

// Brings a clone up to date with its master: state count, subtype, and the
// master's label and value arrays (borrowed, never freed by the clone).
void _kv_update_output_clone(kv_node_s *clone);
// The same for every clone of the node, recursively; the models of each
// clone's children are marked as changed.
void _kv_update_all_clones(kv_node_s *n);
// Resizes, from old_count to new_count states, every table that depends on
// a clone of the node (recursively).  On failure every such table is back
// at old_count and the error code is returned.
int _kv_resize_clone_tables(kv_node_s *n, size_t old_count, size_t new_count);

// Node deletion in a class: takes the node out of the inputs and outputs
// (deleting the outputs' clones), deletes an instance node's clones and
// takes it out of its class's instance list, and clears every binding that
// refers to it.  Never fails.
void _kv_class_detach_node(kv_node_s *n);
// Deletes a node without argument tests (output clones included): the class
// steps above, then the ordinary deletion.
void _kv_delete_node(kv_node_s *n);
// Frees a domain or class record and everything it owns, without tests.
void _kv_free_domain(kv_domain_s *d);

// Marks (class_mark = 1) the class and every class of its collection that
// contains, directly or through further instances, an instance of it;
// every other member gets 0.
void _kv_mark_containing_classes(kv_domain_s *c);

template <class F> bool _kv_for_each_clone(kv_node_s *node, F &&f)
{
    size_t p = _kv_output_position(node);
    if (p == static_cast<size_t>(-1) || !node->home->instances)
        return true;
    for (kv_node_s **i = node->home->instances; *i; ++i) {
        kv_node_s *clone = (*i)->output_clones[p];
        if (!f(clone) || !_kv_for_each_clone(clone, f))
            return false;
    }
    return true;
}
