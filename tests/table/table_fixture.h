// Helpers for table tests: nodes with given state counts, tables over them,
// and a naive reference for configuration indices.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "core/memory.h"
#include "core/node_list.h"
#include "kelvo.h"
#include "table/table.h"

class TableFixture : public ::testing::Test {
  protected:
    void SetUp() override { d = kv_new_domain(); }
    void TearDown() override
    {
        kv::fail_allocation_after(0);
        for (kv_table_s *t : owned)
            _kv_free_table(t);
        kv_domain_delete(d);
    }
    kv_node_t discrete(size_t states, kv_node_category_t category = kv_category_chance)
    {
        kv_node_t n = kv_domain_new_node(d, category, kv_kind_discrete);
        kv_node_set_number_of_states(n, states);
        return n;
    }
    kv_node_t continuous()
    {
        return kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    }
    // A listed table over the nodes, data allocated.
    kv_table_s *table(std::vector<kv_node_t> nodes, int type = KV_PROBABILITY,
                      int role = KV_ROLE_DERIVED)
    {
        nodes.push_back(nullptr);
        kv_table_s *t = _kv_create_table(d, nodes.data(), type, role, 0, 1);
        EXPECT_NE(t, nullptr);
        return t;
    }
    std::vector<double> data(const kv_table_s *t)
    {
        return std::vector<double>(t->discrete_data, t->discrete_data + t->size);
    }
    void fill(kv_table_s *t, std::vector<double> values)
    {
        ASSERT_EQ(values.size(), t->size);
        std::copy(values.begin(), values.end(), t->discrete_data);
    }
    // Link child below parent as the structure edits will (parents first).
    void link(kv_node_t parent, kv_node_t child)
    {
        ASSERT_EQ(_kv_node_list_extend(&child->parents), 0);
        _kv_node_list_append(child->parents, parent);
        ASSERT_EQ(_kv_node_list_extend(&parent->children), 0);
        _kv_node_list_append(parent->children, child);
    }
    kv_domain_t d = nullptr;
    std::vector<kv_table_s *> owned; // caller-owned tables to free
};

// Configuration index of an assignment (node -> state) in a table.
inline size_t config_index(const kv_table_s *t, const std::map<kv_node_s *, size_t> &states)
{
    size_t index = 0;
    for (size_t i = 0; i < t->discrete_count; ++i)
        index = index * t->nodes[i]->number_of_states + states.at(t->nodes[i]);
    return index;
}

// Calls f(assignment) for every configuration of the discrete nodes of t, in
// the table's own order.
template <class F> void for_each_config(const kv_table_s *t, F &&f)
{
    std::map<kv_node_s *, size_t> states;
    size_t n = t->discrete_count;
    for (size_t i = 0; i < n; ++i)
        states[t->nodes[i]] = 0;
    for (;;) {
        f(states);
        size_t k = n;
        for (; k-- > 0;) {
            if (++states[t->nodes[k]] < t->nodes[k]->number_of_states)
                break;
            states[t->nodes[k]] = 0;
            if (k == 0)
                return;
        }
        if (n == 0)
            return;
    }
}
