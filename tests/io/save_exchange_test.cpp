// The writers of BIF, XMLBIF and UAI: every shared network written in each
// format reads back with its names, states and tables bit for bit (UAI:
// tables by position); states without a usable label; what cannot be
// written.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "../integration/nets_fixture.h"
#include "exchange_fixture.h"
#include "kelvo.h"

using namespace exchange;

namespace {

std::string temporary(const char *suffix)
{
    return "kelvo_exchange_" + std::to_string(getpid()) + suffix;
}

std::string contents(const std::string &file)
{
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class SharedWritersTest : public ::testing::TestWithParam<nets::fs::path> {};

} // namespace

TEST_P(SharedWritersTest, ReadBackBitForBit)
{
    std::string name = GetParam().stem().string();
    kv_domain_t net = kv_net_parse_domain(GetParam().c_str(), nets::no_messages, &name);
    ASSERT_NE(net, nullptr);
    std::string bif = temporary(".bif"), xml = temporary(".xml"), uai = temporary(".uai");
    ASSERT_EQ(kv_domain_save_as_bif(net, bif.c_str()), 0);
    ASSERT_EQ(kv_domain_save_as_xmlbif(net, xml.c_str()), 0);
    ASSERT_EQ(kv_domain_save_as_uai(net, uai.c_str()), 0);
    kv_domain_t a = kv_bif_parse_domain(bif.c_str(), nets::no_messages, &name);
    kv_domain_t b = kv_xmlbif_parse_domain(xml.c_str(), nets::no_messages, &name);
    kv_domain_t c = kv_uai_parse_domain(uai.c_str(), nets::no_messages, &name);
    std::remove(bif.c_str());
    std::remove(xml.c_str());
    std::remove(uai.c_str());
    ASSERT_TRUE(a && b && c) << name;
    expect_equal_domains(net, a, name + " (BIF)");
    expect_equal_domains(net, b, name + " (XMLBIF)");
    std::vector<kv_node_t> x = nodes_in_order(net), y = nodes_in_order(c);
    ASSERT_EQ(x.size(), y.size());
    for (size_t i = 0; i < x.size(); ++i) {
        kv_table_t t = kv_node_get_table(x[i]), u = kv_node_get_table(y[i]);
        ASSERT_EQ(kv_table_get_size(t), kv_table_get_size(u));
        ASSERT_EQ(std::memcmp(kv_table_get_data(t), kv_table_get_data(u), kv_table_get_size(t) * sizeof(double)), 0)
            << name << " (UAI) " << i;
    }
    for (kv_domain_t d : {net, a, b, c})
        kv_domain_delete(d);
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedWritersTest, ::testing::ValuesIn(nets::networks()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedWritersTest);

// States: a missing label, two equal labels and a label BIF can hold only
// in quotes.  The table of a node whose parents are listed after it.
TEST(WritersTest, StatesAndLayout)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t b = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_set_name(a, "A"), 0);
    ASSERT_EQ(kv_node_set_name(b, "B"), 0);
    ASSERT_EQ(kv_node_set_number_of_states(a, 3), 0);
    ASSERT_EQ(kv_node_set_number_of_states(b, 2), 0);
    ASSERT_EQ(kv_node_set_state_label(a, 0, "low (cold)"), 0);
    ASSERT_EQ(kv_node_set_state_label(a, 1, "x"), 0);
    ASSERT_EQ(kv_node_set_state_label(a, 2, "x"), 0);
    ASSERT_EQ(kv_node_add_parent(a, b), 0);
    double pb[] = {0.25, 0.75}, pa[] = {0.5, 0.25, 0.25, 0.125, 0.125, 0.75};
    std::copy(pb, pb + 2, kv_table_get_data(kv_node_get_table(b)));
    std::copy(pa, pa + 6, kv_table_get_data(kv_node_get_table(a)));
    std::string file = temporary(".bif");
    ASSERT_EQ(kv_domain_save_as_bif(d, file.c_str()), 0);
    EXPECT_EQ(contents(file), "network unknown {\n}\n"
                              "variable B {\n  type discrete [ 2 ] { s0, s1 };\n}\n"
                              "variable A {\n  type discrete [ 3 ] { \"low (cold)\", s1, s2 };\n}\n"
                              "probability ( B ) {\n  table 0.25, 0.75;\n}\n"
                              "probability ( A | B ) {\n  (s0) 0.5, 0.25, 0.25;\n  (s1) 0.125, 0.125, 0.75;\n}\n");
    std::remove(file.c_str());
    file = temporary(".uai");
    ASSERT_EQ(kv_domain_save_as_uai(d, file.c_str()), 0);
    EXPECT_EQ(contents(file), "BAYES\n2\n2 3\n2\n1 0\n2 0 1\n\n2\n 0.25 0.75\n\n6\n 0.5 0.25 0.25\n 0.125 0.125 0.75\n");
    std::remove(file.c_str());
    file = temporary(".xml");
    ASSERT_EQ(kv_domain_save_as_xmlbif(d, file.c_str()), 0);
    Messages m;
    kv_domain_t back = kv_xmlbif_parse_domain(file.c_str(), Messages::take, &m);
    std::remove(file.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(kv_node_get_state_label(kv_domain_get_node_by_name(back, "A"), 0), "low (cold)");
    EXPECT_STREQ(kv_node_get_state_label(kv_domain_get_node_by_name(back, "A"), 2), "s2");
    kv_domain_delete(back);

    // Only networks of discrete chance nodes.
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(kv_domain_save_as_bif(d, "never.bif"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_as_xmlbif(d, "never.xml"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_as_uai(d, "never.uai"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_as_bif(nullptr, "never.bif"), kv_error_usage);
    kv_node_delete(u);
    EXPECT_EQ(kv_domain_save_as_bif(d, "/no/such/dir/x.bif"), kv_error_io);
    kv_domain_delete(d);
}
