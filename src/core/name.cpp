// Node names: the C-identifier rule, the hash index of a home's node names,
// automatic names for unnamed nodes, and the conversion of names before a
// domain is written as text.
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "api.h"
#include "domain.h"
#include "memory.h"

// The character classes of the C locale, spelled out: checking a name never
// switches the process-wide locale, which other threads may be using.
static bool is_letter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool _kv_is_c_identifier(const char *name)
{
    unsigned char c = static_cast<unsigned char>(name[0]);
    if (!is_letter(c) && c != '_')
        return false;
    for (const char *p = name + 1; *p; ++p) {
        c = static_cast<unsigned char>(*p);
        if (!is_letter(c) && !(c >= '0' && c <= '9') && c != '_')
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Name index.  Below 11 nodes a lookup scans the node list; from 11 nodes on
// the first lookup builds a hash index with a prime number of buckets not
// less than the node count, rebuilt when the count passes twice that.

// FNV-1a over the bytes, then the bucket.  (The doubling hash h = c + 2h
// maps generated names such as "C12345" into a few hundred buckets, which
// made naming a large runtime domain quadratic.)  The empty name hashes
// to 0.
static size_t name_hash(const char *name, size_t buckets)
{
    if (!*name)
        return 0;
    uint64_t h = 14695981039346656037ull;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
        h = (h ^ *p) * 1099511628211ull;
    return static_cast<size_t>(h % buckets);
}

static bool is_prime(size_t n)
{
    if (n == 2)
        return true;
    if (n < 2 || n % 2 == 0)
        return false;
    for (size_t k = 3; k <= n / k; k += 2)
        if (n % k == 0)
            return false;
    return true;
}

static size_t prime_not_below(size_t n)
{
    while (!is_prime(n))
        ++n;
    return n;
}

static void push_entry(kv_domain_s *d, kv_name_entry_s *e)
{
    kv_name_entry_s **bucket = &d->name_index[name_hash(e->node->name, d->name_index_size)];
    e->next = *bucket;
    *bucket = e;
}

static void free_entries(kv_name_entry_s *e)
{
    while (e) {
        kv_name_entry_s *next = e->next;
        std::free(e);
        e = next;
    }
}

void _kv_free_name_index(kv_domain_s *d)
{
    if (!d->name_index)
        return;
    for (size_t b = 0; b < d->name_index_size; ++b)
        free_entries(d->name_index[b]);
    std::free(d->name_index);
    d->name_index = nullptr;
    d->name_index_size = 0;
}

// Collects all entries of the index into one chain and frees the buckets.
static kv_name_entry_s *take_entries(kv_domain_s *d)
{
    kv_name_entry_s *all = nullptr;
    for (size_t b = 0; b < d->name_index_size; ++b)
        for (kv_name_entry_s *e = d->name_index[b], *next; e; e = next) {
            next = e->next;
            e->next = all;
            all = e;
        }
    std::free(d->name_index);
    d->name_index = nullptr;
    d->name_index_size = 0;
    return all;
}

static bool allocate_buckets(kv_domain_s *d, size_t count)
{
    kv_name_entry_s **buckets = kv::allocate_array<kv_name_entry_s *>(count);
    if (!buckets)
        return false;
    for (size_t b = 0; b < count; ++b)
        buckets[b] = nullptr;
    d->name_index = buckets;
    d->name_index_size = count;
    return true;
}

static bool build_name_index(kv_domain_s *d)
{
    if (!allocate_buckets(d, prime_not_below(d->number_of_nodes)))
        return false;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (!n->name)
            continue;
        kv_name_entry_s *e = kv::allocate_array<kv_name_entry_s>(1);
        if (!e) {
            _kv_free_name_index(d);
            return false;
        }
        e->node = n;
        push_entry(d, e);
    }
    return true;
}

static bool grow_name_index(kv_domain_s *d)
{
    kv_name_entry_s *all = take_entries(d);
    if (!allocate_buckets(d, prime_not_below(d->number_of_nodes))) {
        free_entries(all);
        return false;
    }
    while (all) {
        kv_name_entry_s *next = all->next;
        push_entry(d, all);
        all = next;
    }
    return true;
}

kv_node_s *_kv_find_node_by_name(kv_domain_s *d, const char *name)
{
    if (d->number_of_nodes >= 11 || d->name_index) {
        // A failed build leaves no index; the scan below still answers.
        kv::KeepError keep;
        if (!d->name_index)
            build_name_index(d);
        else if (d->number_of_nodes > d->name_index_size &&
                 d->number_of_nodes - d->name_index_size > d->name_index_size)
            grow_name_index(d);
    }
    if (d->name_index) {
        for (kv_name_entry_s *e = d->name_index[name_hash(name, d->name_index_size)]; e;
             e = e->next)
            if (std::strcmp(e->node->name, name) == 0)
                return e->node;
        return nullptr;
    }
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (n->name && std::strcmp(n->name, name) == 0)
            return n;
    return nullptr;
}

// Unlinks the entry of a named node from its bucket, or NULL if none.
static kv_name_entry_s *unlink_entry(kv_node_s *n)
{
    kv_domain_s *d = n->home;
    if (!d->name_index || !n->name)
        return nullptr;
    for (kv_name_entry_s **e = &d->name_index[name_hash(n->name, d->name_index_size)]; *e;
         e = &(*e)->next)
        if ((*e)->node == n) {
            kv_name_entry_s *found = *e;
            *e = found->next;
            return found;
        }
    return nullptr;
}

void _kv_remove_from_name_index(kv_node_s *n)
{
    std::free(unlink_entry(n));
}

kv_node_t kv_domain_get_node_by_name(kv_domain_t d, kv_string_t name)
{
    if (_kv_set_error_code(!d || !name))
        return nullptr;
    return _kv_find_node_by_name(d, name);
}

kv_node_t kv_class_get_node_by_name(kv_class_t c, kv_string_t name)
{
    return kv_domain_get_node_by_name(c, name);
}

// ---------------------------------------------------------------------------
// Naming a node.

kv_status_t kv_node_set_name(kv_node_t n, kv_string_t name)
{
    if (_kv_set_error_code(!n || !name))
        return kv_error_usage;
    if (n->name && std::strcmp(n->name, name) == 0)
        return kv_error_none;
    kv_domain_s *d = n->home;
    if (_kv_find_node_by_name(d, name))
        return _kv_set_error_code(kv_error_twice);

    if (!_kv_is_c_identifier(name))
        return _kv_set_error_code(kv_error_invalid_name);

    char *copy = _kv_allocate_string(name);
    if (!copy)
        return kv_error_no_memory;
    if (d->name_index) {
        kv_name_entry_s *e = unlink_entry(n);
        if (!e)
            e = kv::allocate_array<kv_name_entry_s>(1);
        if (e) {
            e->node = n;
            std::free(n->name);
            n->name = copy;
            push_entry(d, e);
            return _kv_set_error_code(kv_error_none);
        }
        // No room for an entry: drop the index; lookups scan until the next
        // one rebuilds it.
        _kv_free_name_index(d);
    }
    std::free(n->name);
    n->name = copy;
    return _kv_set_error_code(kv_error_none);
}

static char category_letter(kv_node_category_t category)
{
    switch (category) {
    case kv_category_chance:
        return 'C';
    case kv_category_decision:
        return 'D';
    case kv_category_utility:
        return 'U';
    case kv_category_instance:
        return 'I';
    default:
        return 'X';
    }
}

// Names the node by the pattern "<letter><number>", trying the node's index
// first and then the node count + 1, + 2, ... while the name is taken.
static kv_string_t give_generated_name(kv_node_s *n)
{
    char buffer[32];
    char letter = category_letter(n->category);
    size_t number = n->index;
    for (size_t step = 1;; ++step) {
        std::snprintf(buffer, sizeof buffer, "%c%ju", letter, static_cast<uintmax_t>(number));
        int status = kv_node_set_name(n, buffer);
        if (status == kv_error_none)
            return n->name;
        if (status != kv_error_twice)
            return nullptr;
        number = n->home->number_of_nodes + step;
    }
}

kv_string_t kv_node_get_name(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    if (n->name)
        return n->name;
    if (n->clone_source && n->clone_owner && n->clone_source->name && n->clone_owner->name) {
        const char *owner = n->clone_owner->name, *source = n->clone_source->name;
        size_t length = _kv_size_add(_kv_size_add(std::strlen(owner), std::strlen(source)), 2);
        char *candidate = static_cast<char *>(_kv_allocate(length));
        if (!candidate)
            return nullptr;
        std::snprintf(candidate, length, "%s_%s", owner, source);
        int status = kv_node_set_name(n, candidate);
        std::free(candidate);
        if (status == kv_error_none)
            return n->name;
        if (status != kv_error_twice)
            return nullptr;
    }
    return give_generated_name(n);
}

// ---------------------------------------------------------------------------
// Name conversion before writing: every name becomes a C identifier, with
// '_' in place of each offending character and more '_' appended while the
// result clashes with another node's name.

int _kv_set_converted_name(kv_node_s *n, const char *name)
{
    size_t length = std::strlen(name);
    size_t capacity = 64;
    while (capacity <= length + 1)
        capacity = _kv_size_multiply(capacity, 2);
    char *work = static_cast<char *>(_kv_allocate(capacity));
    if (!work)
        return kv_error_no_memory;
    std::memcpy(work, name, length + 1);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(work[i]);
        bool keep = is_letter(c) || c == '_' || (i > 0 && c >= '0' && c <= '9');
        if (!keep)
            work[i] = '_';
    }
    if (length == 0) {
        work[0] = '_';
        work[1] = '\0';
        length = 1;
    }
    int status;
    while ((status = kv_node_set_name(n, work)) == kv_error_twice) {
        if (length + 2 > capacity) {
            char *bigger = static_cast<char *>(_kv_reallocate(work, _kv_size_multiply(capacity, 2)));
            if (!bigger) {
                std::free(work);
                return kv_error_no_memory;
            }
            work = bigger;
            capacity *= 2;
        }
        work[length++] = '_';
        work[length] = '\0';
    }
    std::free(work);
    return status;
}

int _kv_convert_node_names(kv_domain_s *d)
{
    int status = kv_error_none;
    for (kv_node_s *n = d->first_node; n && status == kv_error_none; n = n->next)
        if (n->name)
            status = _kv_set_converted_name(n, n->name);
    return _kv_set_error_code(status);
}
