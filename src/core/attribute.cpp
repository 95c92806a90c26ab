// Attributes of domains, classes and nodes.
#include "attribute.h"

#include <cstdlib>
#include <cstring>

#include "domain.h"
#include "error.h"
#include "host.h"
#include "memory.h"

static void free_attribute(kv_domain_s *owner, kv_attribute_s *a)
{
    if (a->host_object)
        _kv_host_release_attribute(owner, a);
    std::free(a->key);
    std::free(a->value);
    std::free(a);
}

kv_attribute_s *_kv_new_attribute(const char *key, const char *value)
{
    kv_attribute_s *a = static_cast<kv_attribute_s *>(_kv_allocate(sizeof(kv_attribute_s)));
    if (!a)
        return nullptr;
    std::memset(a, 0, sizeof *a);
    a->key = _kv_allocate_string(key);
    a->value = a->key ? _kv_allocate_string(value) : nullptr;
    if (!a->value) {
        free_attribute(nullptr, a);
        return nullptr;
    }
    return a;
}

void _kv_free_attribute_list(kv_domain_s *owner, kv_attribute_s *list)
{
    while (list) {
        kv_attribute_s *next = list->next;
        free_attribute(owner, list);
        list = next;
    }
}

static kv_attribute_s **find_attribute(kv_attribute_s **list, const char *key)
{
    for (; *list; list = &(*list)->next)
        if (std::strcmp((*list)->key, key) == 0)
            return list;
    return nullptr;
}

int _kv_insert_attribute(kv_domain_s *owner, kv_attribute_s **list, const char *key,
                         const char *value, int check)
{
    if (!key)
        return _kv_set_error_code(kv_error_usage);
    if (check) {
        if (!_kv_is_c_identifier(key))
            return _kv_set_error_code(kv_error_invalid_name);
    }
    kv_attribute_s **slot = find_attribute(list, key);
    if (!value) {
        if (slot) {
            kv_attribute_s *a = *slot;
            *slot = a->next;
            free_attribute(owner, a);
        }
        return _kv_set_error_code(kv_error_none);
    }
    if (slot) {
        char *copy = _kv_allocate_string(value);
        if (!copy)
            return kv_error_no_memory;
        std::free((*slot)->value);
        (*slot)->value = copy;
        return kv_error_none;
    }
    kv_attribute_s *a = _kv_new_attribute(key, value);
    if (!a)
        return kv_error_no_memory;
    a->next = *list;
    *list = a;
    return kv_error_none;
}

static const char *get_attribute(kv_attribute_s *list, const char *key)
{
    kv_attribute_s **slot = find_attribute(&list, key);
    return slot ? (*slot)->value : nullptr;
}

kv_status_t kv_domain_set_attribute(kv_domain_t d, kv_string_t key, kv_string_t value)
{
    if (_kv_set_error_code(!d || !key))
        return kv_error_usage;
    return _kv_insert_attribute(d, &d->attributes, key, value, 1);
}

kv_string_t kv_domain_get_attribute(kv_domain_t d, kv_string_t key)
{
    if (_kv_set_error_code(!d || !key))
        return nullptr;
    return get_attribute(d->attributes, key);
}

kv_attribute_t kv_domain_get_first_attribute(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return nullptr;
    return d->attributes;
}

kv_status_t kv_class_set_attribute(kv_class_t c, kv_string_t key, kv_string_t value)
{
    return kv_domain_set_attribute(c, key, value);
}

kv_string_t kv_class_get_attribute(kv_class_t c, kv_string_t key)
{
    return kv_domain_get_attribute(c, key);
}

kv_attribute_t kv_class_get_first_attribute(kv_class_t c)
{
    return kv_domain_get_first_attribute(c);
}

kv_status_t kv_node_set_attribute(kv_node_t n, kv_string_t key, kv_string_t value)
{
    if (_kv_set_error_code(!n || !key))
        return kv_error_usage;
    return _kv_insert_attribute(n->home, &n->attributes, key, value, 1);
}

kv_string_t kv_node_get_attribute(kv_node_t n, kv_string_t key)
{
    if (_kv_set_error_code(!n || !key))
        return nullptr;
    return get_attribute(n->attributes, key);
}

kv_attribute_t kv_node_get_first_attribute(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    return n->attributes;
}

kv_attribute_t kv_attribute_get_next(kv_attribute_t a)
{
    if (_kv_set_error_code(!a))
        return nullptr;
    return a->next;
}

kv_string_t kv_attribute_get_key(kv_attribute_t a)
{
    if (_kv_set_error_code(!a))
        return nullptr;
    return a->key;
}

kv_string_t kv_attribute_get_value(kv_attribute_t a)
{
    if (_kv_set_error_code(!a))
        return nullptr;
    return a->value;
}
