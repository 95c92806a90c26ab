// The case data store: a number of cases, a column of states or values per
// chance or decision node, and a count per case.  Columns are made with
// the first entry set; the store grows with slack and shrinks when much of
// it lies unused.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/memory.h"
#include "learn.h"

static bool holds_cases(const kv_node_s *n)
{
    return n && (n->category == kv_category_chance || n->category == kv_category_decision);
}

static bool valid_case(const kv_node_s *n, size_t i)
{
    return holds_cases(n) && i < n->home->number_of_cases;
}

// Marks entries [from, to) of every column unset and their counts 1.
static void unset_range(kv_domain_s *d, size_t from, size_t to)
{
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        for (size_t i = from; n->case_states && i < to; ++i)
            n->case_states[i] = -1;
        if (n->case_set)
            std::memset(n->case_set + from, 0, to - from);
    }
    for (size_t i = from; d->case_counts && i < to; ++i)
        d->case_counts[i] = 1.0;
}

// Every column and the counts resized to capacity entries (shrinking:
// never fails).
template <class T> static void shrink_column(T *&column, size_t capacity)
{
    if (column)
        column = static_cast<T *>(_kv_shrink(column, capacity * sizeof(T)));
}

static void shrink_store(kv_domain_s *d, size_t capacity)
{
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        shrink_column(n->case_states, capacity);
        shrink_column(n->case_values, capacity);
        shrink_column(n->case_set, capacity);
    }
    shrink_column(d->case_counts, capacity);
    d->case_capacity = capacity;
}

// Grows one column from old to capacity entries, the new ones unset.
template <class T> static bool grow_column(T *&column, size_t old, size_t capacity, T unset)
{
    if (!column)
        return true;
    T *grown = kv::reallocate_array(column, capacity);
    if (!grown)
        return false;
    for (size_t i = old; i < capacity; ++i)
        grown[i] = unset;
    column = grown;
    return true;
}

static int grow_store(kv_domain_s *d, size_t capacity)
{
    size_t old = d->case_capacity;
    bool ok = true;
    for (kv_node_s *n = d->first_node; n && ok; n = n->next)
        ok = grow_column(n->case_states, old, capacity, -1) &&
             grow_column(n->case_values, old, capacity, 0.0) &&
             grow_column(n->case_set, old, capacity, static_cast<unsigned char>(0));
    ok = ok && grow_column(d->case_counts, old, capacity, 1.0);
    if (!ok) {
        // Columns that grew go back to the old capacity: the store is as
        // it was.
        shrink_store(d, old);
        return _kv_set_error_code(kv_error_no_memory);
    }
    d->case_capacity = capacity;
    return kv_error_none;
}

static int set_number_of_cases(kv_domain_s *d, size_t n)
{
    size_t c = d->case_capacity, m = d->number_of_cases;
    size_t slack = c > 87 ? c / 8 : 10;
    if (n <= c) {
        if (n >= m) {
            // The entries past the old number are unset already.
        } else if (n == 0) {
            shrink_store(d, 0);
        } else if (c - n >= slack + slack / 2) {
            shrink_store(d, n);
        } else {
            unset_range(d, n, m);
        }
        d->number_of_cases = n;
        return _kv_set_error_code(kv_error_none);
    }
    size_t capacity = n - c < slack ? c + slack : n;
    if (_kv_size_multiply(sizeof(double), capacity) == SIZE_MAX)
        return _kv_set_error_code(kv_error_size_too_large);
    if (c == 0) {
        // Nothing is allocated yet: the columns come with their first entry.
        d->case_capacity = capacity;
    } else if (int status = grow_store(d, capacity)) {
        return status;
    }
    d->number_of_cases = n;
    return _kv_set_error_code(kv_error_none);
}

kv_status_t kv_domain_set_number_of_cases(kv_domain_t d, size_t count)
{
    if (_kv_set_error_code(!d || count == SIZE_MAX))
        return kv_error_usage;
    return set_number_of_cases(d, count);
}

kv_index_t kv_domain_new_case(kv_domain_t d)
{
    if (_kv_set_error_code(!d || d->number_of_cases >= SIZE_MAX - 1))
        return static_cast<size_t>(-1);
    size_t i = d->number_of_cases;
    if (set_number_of_cases(d, i + 1))
        return static_cast<size_t>(-1);
    return i;
}

kv_count_t kv_domain_get_number_of_cases(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return static_cast<size_t>(-1);
    return d->number_of_cases;
}

// A new column of the domain's capacity, every entry unset; NULL with
// no_memory.
template <class T> static T *new_column(const kv_domain_s *d, T unset)
{
    T *column = kv::allocate_array<T>(d->case_capacity);
    for (size_t i = 0; column && i < d->case_capacity; ++i)
        column[i] = unset;
    return column;
}

kv_status_t kv_domain_set_case_count(kv_domain_t d, size_t i, kv_number_t count)
{
    if (_kv_set_error_code(!d || i >= d->number_of_cases || !(count >= 0.0) || std::isinf(count)))
        return kv_error_usage;
    if (!d->case_counts) {
        if (count == 1.0)
            return kv_error_none;
        if (!(d->case_counts = new_column(d, 1.0)))
            return kv_error_no_memory;
    }
    d->case_counts[i] = count;
    return _kv_set_error_code(kv_error_none);
}

kv_number_t kv_domain_get_case_count(kv_domain_t d, size_t i)
{
    if (_kv_set_error_code(!d || i >= d->number_of_cases))
        return -1.0;
    return d->case_counts ? d->case_counts[i] : 1.0;
}

kv_status_t kv_node_set_case_state(kv_node_t n, size_t i, size_t state)
{
    if (_kv_set_error_code(!valid_case(n, i) || n->kind != kv_kind_discrete ||
                           state >= n->number_of_states || state > size_t(INT_MAX)))
        return kv_error_usage;
    if (!n->case_states && !(n->case_states = new_column(n->home, -1)))
        return kv_error_no_memory;
    n->case_states[i] = int(state);
    return _kv_set_error_code(kv_error_none);
}

kv_status_t kv_node_set_case_value(kv_node_t n, size_t i, kv_number_t value)
{
    if (_kv_set_error_code(!valid_case(n, i) || n->kind != kv_kind_continuous || !std::isfinite(value)))
        return kv_error_usage;
    if (!n->case_values) {
        double *values = new_column(n->home, 0.0);
        unsigned char *set = values ? new_column(n->home, static_cast<unsigned char>(0)) : nullptr;
        if (!set) {
            std::free(values);
            return kv_error_no_memory;
        }
        n->case_values = values;
        n->case_set = set;
    }
    n->case_values[i] = value;
    n->case_set[i] = 1;
    return _kv_set_error_code(kv_error_none);
}

static bool entry_is_set(const kv_node_s *n, size_t i)
{
    if (n->kind == kv_kind_discrete)
        return n->case_states && n->case_states[i] >= 0 &&
               size_t(n->case_states[i]) < n->number_of_states;
    return n->case_set && n->case_set[i];
}

kv_status_t kv_node_unset_case(kv_node_t n, size_t i)
{
    if (_kv_set_error_code(!valid_case(n, i)))
        return kv_error_usage;
    if (n->kind == kv_kind_discrete) {
        if (n->case_states)
            n->case_states[i] = -1;
    } else if (n->kind == kv_kind_continuous) {
        if (n->case_set)
            n->case_set[i] = 0;
    } else {
        return _kv_set_error_code(kv_error_error);
    }
    return kv_error_none;
}

kv_boolean_t kv_node_case_is_set(kv_node_t n, size_t i)
{
    if (_kv_set_error_code(!valid_case(n, i)))
        return -1;
    if (n->kind != kv_kind_discrete && n->kind != kv_kind_continuous)
        return _kv_set_error_code(kv_error_error), -1;
    return entry_is_set(n, i);
}

kv_index_t kv_node_get_case_state(kv_node_t n, size_t i)
{
    if (_kv_set_error_code(!valid_case(n, i) || n->kind != kv_kind_discrete))
        return static_cast<size_t>(-1);
    if (!entry_is_set(n, i))
        return _kv_set_error_code(kv_error_no_value), static_cast<size_t>(-1);
    return size_t(n->case_states[i]);
}

kv_number_t kv_node_get_case_value(kv_node_t n, size_t i)
{
    if (_kv_set_error_code(!valid_case(n, i) || n->kind != kv_kind_continuous))
        return -1.0;
    if (!entry_is_set(n, i))
        return _kv_set_error_code(kv_error_no_value), -1.0;
    return n->case_values[i];
}

int _kv_domain_enter_case(kv_domain_s *d, size_t i)
{
    if (i >= d->number_of_cases)
        return _kv_set_error_code(kv_error_usage);
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (!holds_cases(n))
            continue;
        int status = !entry_is_set(n, i)             ? kv_node_retract_findings(n)
                     : n->kind == kv_kind_discrete ? kv_node_select_state(n, size_t(n->case_states[i]))
                                                   : kv_node_enter_value(n, n->case_values[i]);
        if (status)
            return status;
    }
    return _kv_set_error_code(kv_error_none);
}

bool _kv_domain_case_is_complete(const kv_domain_s *d, size_t i)
{
    if (d->number_of_continuous_nodes || i >= d->number_of_cases)
        return false;
    for (const kv_node_s *n = d->first_node; n; n = n->next)
        if (n->category == kv_category_chance && !entry_is_set(n, i))
            return false;
    return true;
}

void _kv_free_node_cases(kv_node_s *n)
{
    std::free(n->case_states);
    std::free(n->case_values);
    std::free(n->case_set);
    n->case_states = nullptr;
    n->case_values = nullptr;
    n->case_set = nullptr;
}

void _kv_node_cases_resized(kv_node_s *n, size_t k)
{
    for (size_t i = 0; n->case_states && i < n->home->case_capacity; ++i)
        if (n->case_states[i] >= 0 && size_t(n->case_states[i]) >= k)
            n->case_states[i] = -1;
}

void _kv_free_domain_cases(kv_domain_s *d)
{
    std::free(d->case_counts);
    d->case_counts = nullptr;
}
