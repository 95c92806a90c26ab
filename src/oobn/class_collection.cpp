// Class collections and the class record: membership, names and deletion.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "learn/structure.h"
#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "compile/compile.h"
#include "oobn.h"

kv_class_collection_t kv_new_class_collection(void)
{
    auto *cc = static_cast<kv_class_collection_s *>(_kv_allocate(sizeof(kv_class_collection_s)));
    if (cc)
        std::memset(cc, 0, sizeof *cc);
    return cc;
}

static bool is_class(const kv_domain_s *c)
{
    return c && _kv_domain_is_class(c);
}

static bool has_instances(const kv_domain_s *c)
{
    return c->instances && c->instances[0];
}

// Takes the class out of its collection's member array and frees it.  The
// instance nodes it holds first leave the instance lists of the classes
// they instantiate, so those lists never point into freed memory.
static void delete_member(kv_class_collection_s *cc, kv_domain_s *c)
{
    for (kv_node_s *n = c->first_node; n; n = n->next)
        if (n->category == kv_category_instance && n->instance_class)
            _kv_node_list_remove(n->instance_class->instances, n);
    unsigned i = 0;
    while (cc->members[i] != c)
        ++i;
    std::memmove(cc->members + i, cc->members + i + 1, (cc->count - i) * sizeof(kv_domain_s *));
    --cc->count;
    _kv_free_domain(c);
}

kv_status_t kv_cc_delete(kv_class_collection_t cc)
{
    if (_kv_set_error_code(!cc))
        return kv_error_usage;
    // Repeatedly the first member without instances: instantiating classes
    // go before the classes they instantiate.  An instance hierarchy cannot
    // be cyclic, but should no member qualify the first one goes anyway, so
    // the loop always ends.
    while (cc->count) {
        kv_domain_s *victim = cc->members[0];
        for (unsigned i = 0; i < cc->count; ++i)
            if (!has_instances(cc->members[i])) {
                victim = cc->members[i];
                break;
            }
        if (has_instances(victim))
            for (kv_node_s **n = victim->instances; *n; ++n)
                (*n)->instance_class = nullptr;
        delete_member(cc, victim);
    }
    std::free(cc->members);
    std::free(cc);
    return kv_error_none;
}

kv_class_t *kv_cc_get_members(kv_class_collection_t cc)
{
    if (_kv_set_error_code(!cc))
        return nullptr;
    if (!cc->members) {
        cc->members = kv::allocate_array<kv_domain_s *>(1);
        if (!cc->members)
            return nullptr;
        cc->members[0] = nullptr;
    }
    return cc->members;
}

// Appends a class to the member array: 0 or no_memory (nothing changed).
static int append_member(kv_class_collection_s *cc, kv_domain_s *c)
{
    kv_domain_s **members = kv::reallocate_array(cc->members, size_t(cc->count) + 2);
    if (!members)
        return kv_error_no_memory;
    cc->members = members;
    members[cc->count++] = c;
    members[cc->count] = nullptr;
    c->class_collection = cc;
    return kv_error_none;
}

kv_class_t kv_cc_new_class(kv_class_collection_t cc)
{
    if (_kv_set_error_code(!cc))
        return nullptr;
    kv_domain_s *c = kv_new_domain();
    if (!c)
        return nullptr;
    if (append_member(cc, c)) {
        _kv_free_domain(c);
        return nullptr;
    }
    return c;
}

kv_status_t kv_cc_add_domain(kv_class_collection_t cc, kv_domain_t d)
{
    if (_kv_set_error_code(!cc || !d || _kv_domain_is_class(d) || d->chain_blocks))
        return kv_error_usage;
    if (int s = append_member(cc, d))
        return s;
    _kv_uncompile_domain_safely(d, 1);
    _kv_discard_structure_learning(d);
    return kv_error_none;
}

kv_class_t kv_cc_get_class_by_name(kv_class_collection_t cc, kv_string_t name)
{
    if (_kv_set_error_code(!cc || !name))
        return nullptr;
    for (unsigned i = 0; i < cc->count; ++i)
        if (cc->members[i]->class_name && std::strcmp(cc->members[i]->class_name, name) == 0)
            return cc->members[i];
    return nullptr;
}

kv_status_t kv_cc_set_user_data(kv_class_collection_t cc, void *data)
{
    if (_kv_set_error_code(!cc))
        return kv_error_usage;
    cc->user_data = data;
    return kv_error_none;
}

void *kv_cc_get_user_data(kv_class_collection_t cc)
{
    if (_kv_set_error_code(!cc))
        return nullptr;
    return cc->user_data;
}

kv_status_t kv_class_delete(kv_class_t c)
{
    if (_kv_set_error_code(!is_class(c) || has_instances(c)))
        return kv_error_usage;
    delete_member(c->class_collection, c);
    return kv_error_none;
}

kv_class_collection_t kv_class_get_class_collection(kv_class_t c)
{
    if (_kv_set_error_code(!is_class(c)))
        return nullptr;
    return c->class_collection;
}

kv_status_t kv_class_set_name(kv_class_t c, kv_string_t name)
{
    if (_kv_set_error_code(!is_class(c) || !name))
        return kv_error_usage;
    kv_domain_s *other = kv_cc_get_class_by_name(c->class_collection, name);
    if (other == c)
        return kv_error_none;
    if (other)
        return _kv_set_error_code(kv_error_twice);
    if (!_kv_is_c_identifier(name))
        return _kv_set_error_code(kv_error_invalid_name);
    char *copy = _kv_allocate_string(name);
    if (!copy)
        return kv_error_no_memory;
    std::free(c->class_name);
    c->class_name = copy;
    return _kv_set_error_code(kv_error_none);
}

kv_string_t kv_class_get_name(kv_class_t c)
{
    if (_kv_set_error_code(!is_class(c)))
        return nullptr;
    if (c->class_name)
        return c->class_name;
    char name[32];
    for (unsigned long counter = 1;; ++counter) {
        std::snprintf(name, sizeof name, "C%lu", counter);
        int s = kv_class_set_name(c, name);
        if (s == kv_error_none)
            return c->class_name;
        if (s != kv_error_twice)
            return nullptr;
    }
}

void _kv_mark_containing_classes(kv_domain_s *c)
{
    kv_class_collection_s *cc = c->class_collection;
    for (unsigned i = 0; i < cc->count; ++i)
        cc->members[i]->class_mark = 0;
    // Passes over the members until no mark changes: no allocation, so the
    // test cannot fail, and it ends even on a malformed hierarchy.
    c->class_mark = 1;
    for (bool changed = true; changed;) {
        changed = false;
        for (unsigned i = 0; i < cc->count; ++i) {
            kv_domain_s *x = cc->members[i];
            if (!x->class_mark || !x->instances)
                continue;
            for (kv_node_s **n = x->instances; *n; ++n)
                if (!(*n)->home->class_mark) {
                    (*n)->home->class_mark = 1;
                    changed = true;
                }
        }
    }
}
