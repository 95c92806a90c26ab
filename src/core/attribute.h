// Attributes: named text values attached to domains, classes and nodes.
#pragma once

#include "kelvo.h"

struct kv_attribute_s {
    char *key;
    char *value;
    kv_attribute_s *next;
    void *host_object; // host-language peer, if one was made
};

// Sets, replaces or (value NULL) removes the attribute key in the list at
// *list.  With check set the key must be a C identifier (invalid_name).
// New attributes go to the head of the list.  On failure nothing changes.
int _kv_insert_attribute(kv_domain_s *owner, kv_attribute_s **list, const char *key,
                         const char *value, int check);
// A new unlinked record holding copies of key and value, or NULL.
kv_attribute_s *_kv_new_attribute(const char *key, const char *value);
// Frees a whole list of the domain `owner' (or of one of its nodes).
void _kv_free_attribute_list(kv_domain_s *owner, kv_attribute_s *list);
