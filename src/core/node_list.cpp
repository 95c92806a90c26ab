// Node lists: NULL-terminated arrays of node pointers, as kept by nodes
// (parents, children), tables and cliques.
#include "node_list.h"

#include <cstring>

#include "error.h"
#include "memory.h"

size_t _kv_node_list_length(kv_node_s *const *list)
{
    size_t n = 0;
    if (list)
        while (list[n])
            ++n;
    return n;
}

kv_node_s **_kv_copy_nodes(kv_node_s *const *list)
{
    size_t n = _kv_node_list_length(list);
    kv_node_s **copy = kv::allocate_array<kv_node_s *>(_kv_size_add(n, 1));
    if (!copy)
        return nullptr;
    if (n)
        std::memcpy(copy, list, n * sizeof *copy);
    copy[n] = nullptr;
    return copy;
}

kv_node_s **_kv_new_empty_node_list()
{
    return _kv_copy_nodes(nullptr);
}

size_t _kv_node_index(kv_node_s *const *list, const kv_node_s *node)
{
    if (list && node)
        for (size_t i = 0; list[i]; ++i)
            if (list[i] == node)
                return i;
    return static_cast<size_t>(-1);
}

bool _kv_node_in_list(kv_node_s *const *list, const kv_node_s *node)
{
    return _kv_node_index(list, node) != static_cast<size_t>(-1);
}

bool _kv_subset_of_node_list(kv_node_s *const *a, kv_node_s *const *b)
{
    if (a)
        for (; *a; ++a)
            if (!_kv_node_in_list(b, *a))
                return false;
    return true;
}

bool _kv_sublist_of_node_list(kv_node_s *const *a, kv_node_s *const *b)
{
    if (!a || !*a)
        return true;
    if (!b)
        return false;
    for (; *b && *a; ++b)
        if (*b == *a)
            ++a;
    return !*a;
}

void _kv_sort_node_list(kv_node_s **list)
{
    size_t n = _kv_node_list_length(list);
    for (size_t i = 1; i < n; ++i) {
        kv_node_s *x = list[i];
        size_t j = i;
        for (; j > 0 && list[j - 1]->index < x->index; --j)
            list[j] = list[j - 1];
        list[j] = x;
    }
}

bool _kv_node_lists_are_equal(kv_node_s *const *a, kv_node_s *const *b)
{
    size_t n = _kv_node_list_length(a);
    if (n != _kv_node_list_length(b))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

void _kv_remove_from_list(kv_node_s **list, size_t i)
{
    for (; list[i]; ++i)
        list[i] = list[i + 1];
}

void _kv_node_list_remove(kv_node_s **list, const kv_node_s *node)
{
    size_t i = _kv_node_index(list, node);
    if (i != static_cast<size_t>(-1))
        _kv_remove_from_list(list, i);
}

int _kv_node_list_extend(kv_node_s ***list)
{
    size_t n = _kv_node_list_length(*list);
    kv_node_s **grown = kv::reallocate_array(*list, _kv_size_add(n, 2));
    if (!grown)
        return kv_error_no_memory;
    grown[n] = nullptr;
    grown[n + 1] = nullptr;
    *list = grown;
    return kv_error_none;
}

void _kv_node_list_insert(kv_node_s **list, kv_node_s *node)
{
    if (node->kind == kv_kind_continuous) {
        _kv_node_list_append(list, node);
        return;
    }
    size_t n = _kv_node_list_length(list);
    std::memmove(list + 1, list, (n + 1) * sizeof *list);
    list[0] = node;
}

void _kv_node_list_append(kv_node_s **list, kv_node_s *node)
{
    size_t n = _kv_node_list_length(list);
    list[n] = node;
    list[n + 1] = nullptr;
}

void _kv_mark_nodes(kv_node_s *const *list)
{
    if (list)
        for (; *list; ++list)
            (*list)->mark = 1;
}

void _kv_unmark_nodes(kv_node_s *const *list)
{
    if (list)
        for (; *list; ++list)
            (*list)->mark = 0;
}

bool _kv_nodes_are_distinct(const kv_domain_s *home, kv_node_s *const *list)
{
    if (!list)
        return true;
    size_t i = 0;
    bool distinct = true;
    for (; list[i]; ++i) {
        if (list[i]->home != home || list[i]->mark) {
            distinct = false;
            break;
        }
        list[i]->mark = 1;
    }
    for (size_t j = 0; j < i; ++j)
        list[j]->mark = 0;
    return distinct;
}

void _kv_clear_node_marks(kv_domain_s *d)
{
    for (kv_node_s *n = d->first_node; n; n = n->next)
        n->mark = 0;
}
