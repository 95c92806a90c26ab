// Helpers of the tests of the exchange-format readers: numbers that read
// back exactly, nodes in declaration order, a message collector, and the
// comparison of two domains node by node and table by table.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kelvo.h"

namespace exchange {

inline std::string number(double x)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", x);
    return buffer;
}

inline std::vector<kv_node_t> nodes_in_order(kv_domain_t d)
{
    std::vector<kv_node_t> out;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        out.push_back(n);
    return out; // the first declared node leads after a parse
}

struct Messages {
    std::vector<std::pair<size_t, std::string>> got;
    static void take(size_t line, kv_string_t message, void *data)
    {
        static_cast<Messages *>(data)->got.push_back({line, message});
    }
};

inline void expect_equal_domains(kv_domain_t a, kv_domain_t b, const std::string &name)
{
    std::vector<kv_node_t> x = nodes_in_order(a), y = nodes_in_order(b);
    ASSERT_EQ(x.size(), y.size()) << name;
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_STREQ(kv_node_get_name(x[i]), kv_node_get_name(y[i])) << name;
        size_t k = kv_node_get_number_of_states(x[i]);
        ASSERT_EQ(k, kv_node_get_number_of_states(y[i])) << name;
        for (size_t s = 0; s < k; ++s) {
            ASSERT_STREQ(kv_node_get_state_label(x[i], s), kv_node_get_state_label(y[i], s)) << name;
        }
        kv_table_t t = kv_node_get_table(x[i]), u = kv_node_get_table(y[i]);
        kv_node_t *tn = kv_table_get_nodes(t), *un = kv_table_get_nodes(u);
        for (; *tn && *un; ++tn, ++un) {
            ASSERT_STREQ(kv_node_get_name(*tn), kv_node_get_name(*un)) << name;
        }
        ASSERT_TRUE(!*tn && !*un) << name;
        ASSERT_EQ(kv_table_get_size(t), kv_table_get_size(u));
        ASSERT_EQ(std::memcmp(kv_table_get_data(t), kv_table_get_data(u), kv_table_get_size(t) * sizeof(double)), 0)
            << name << " " << kv_node_get_name(x[i]);
    }
}

// A malformed input: one message at its line, no domain, error parse.
struct Malformed {
    std::string text;
    size_t line;
    const char *message;
};

template <class Parse> void expect_one_message(const std::vector<Malformed> &cases, Parse &&parse)
{
    for (const Malformed &c : cases) {
        Messages m;
        kv_domain_t d = parse(c.text.c_str(), Messages::take, &m);
        EXPECT_EQ(d, nullptr) << c.text;
        EXPECT_EQ(kv_error_code(), kv_error_parse) << c.text;
        ASSERT_EQ(m.got.size(), 1u) << c.text;
        EXPECT_EQ(m.got[0].first, c.line) << c.text;
        EXPECT_EQ(m.got[0].second, c.message) << c.text;
        if (d)
            kv_domain_delete(d);
    }
}

} // namespace exchange
