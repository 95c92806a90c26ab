// Equality of two domains read from files, for the round trips of the
// writers: every structure, name, state and number.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "core/attribute.h"
#include "core/domain.h"
#include "kelvo.h"
#include "table/table.h"

namespace kv_test {

inline void expect_same_table(kv_table_t a, kv_table_t b, const char *what)
{
    ASSERT_EQ(a == nullptr, b == nullptr) << what;
    if (!a)
        return;
    ASSERT_EQ(a->discrete_count, b->discrete_count) << what;
    ASSERT_EQ(a->continuous_count, b->continuous_count) << what;
    for (size_t k = 0; k < a->discrete_count + a->continuous_count; ++k)
        ASSERT_STREQ(a->nodes[k]->name, b->nodes[k]->name) << what;
    double *x = kv_table_get_data(a), *y = kv_table_get_data(b);
    ASSERT_EQ(std::memcmp(x, y, a->size * sizeof(double)), 0) << what;
    if (a->continuous_count) {
        ASSERT_EQ(std::memcmp(a->cg_data, b->cg_data, a->size * a->cg_size * sizeof(double)), 0) << what;
    }
}

inline void expect_same_domain(kv_domain_t a, kv_domain_t b)
{
    ASSERT_EQ(kv_domain_get_number_of_nodes(a), kv_domain_get_number_of_nodes(b));
    for (kv_node_t m = kv_domain_get_first_node(a), n = kv_domain_get_first_node(b); m;
         m = kv_node_get_next(m), n = kv_node_get_next(n)) {
        ASSERT_STREQ(m->name, n->name);
        const char *name = m->name;
        ASSERT_EQ(m->category, n->category) << name;
        ASSERT_EQ(m->kind, n->kind) << name;
        ASSERT_STREQ(kv_node_get_label(m), kv_node_get_label(n)) << name;
        ASSERT_EQ(m->position_x, n->position_x) << name;
        ASSERT_EQ(m->position_y, n->position_y) << name;
        ASSERT_EQ(m->number_of_states, n->number_of_states) << name;
        ASSERT_EQ(m->subtype, n->subtype) << name;
        if (_kv_node_is_discrete_chance_or_decision(m)) {
            for (size_t s = 0; s < m->number_of_states; ++s)
                ASSERT_STREQ(kv_node_get_state_label(m, s), kv_node_get_state_label(n, s)) << name;
        }
        ASSERT_EQ(m->state_values == nullptr, n->state_values == nullptr) << name;
        if (m->state_values) {
            ASSERT_EQ(std::memcmp(m->state_values, n->state_values, (m->number_of_states + 1) * sizeof(double)), 0)
                << name;
        }
        size_t parents = 0;
        for (; m->parents && m->parents[parents]; ++parents)
            ASSERT_STREQ(m->parents[parents]->name, n->parents[parents]->name) << name;
        ASSERT_EQ(n->parents ? n->parents[parents] : nullptr, nullptr) << name;
        expect_same_table(m->table, n->table, name);
        expect_same_table(m->experience_table, n->experience_table, name);
        expect_same_table(m->fading_table, n->fading_table, name);
        const kv_attribute_s *x = m->attributes, *y = n->attributes;
        for (; x && y; x = x->next, y = y->next) {
            ASSERT_STREQ(x->key, y->key) << name;
            ASSERT_STREQ(x->value, y->value) << name;
        }
        ASSERT_EQ(x == nullptr, y == nullptr) << name;
        ASSERT_EQ(m->model == nullptr, n->model == nullptr) << name;
    }
}

} // namespace kv_test
