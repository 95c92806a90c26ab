// A fresh domain per test, deleted afterwards, with helpers for building
// small networks.
#pragma once

#include <gtest/gtest.h>

#include "core/memory.h"
#include "kelvo.h"

class DomainFixture : public ::testing::Test {
  protected:
    void SetUp() override { d = kv_new_domain(); ASSERT_NE(d, nullptr); }
    void TearDown() override
    {
        kv::fail_allocation_after(0);
        if (d) {
            EXPECT_EQ(kv_domain_delete(d), 0);
        }
    }
    kv_node_t chance(const char *name = nullptr, size_t states = 0)
    {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        EXPECT_NE(n, nullptr);
        if (name) {
            EXPECT_EQ(kv_node_set_name(n, name), 0);
        }
        if (states) {
            EXPECT_EQ(kv_node_set_number_of_states(n, states), 0);
        }
        return n;
    }
    kv_domain_t d = nullptr;
};
