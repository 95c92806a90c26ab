// The BIF reader: every shared network written as BIF (by the writer here,
// rows with the first parent varying fastest as the repository files have
// them) reads back to the NET domain, names, states and tables bit for bit,
// with the same beliefs; the forms the format allows; and the message with
// its line for each kind of malformed input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../integration/nets_fixture.h"
#include "compile/compile.h"
#include "exchange_fixture.h"
#include "kelvo.h"

namespace {

using namespace exchange;

// The BIF text of a domain of discrete chance nodes whose tables hold the
// parents (in their order) and then the node.
std::string write_bif(kv_domain_t d)
{
    std::string out = "network unknown {\n}\n";
    std::vector<kv_node_t> nodes = nodes_in_order(d);
    for (kv_node_t n : nodes) {
        size_t k = kv_node_get_number_of_states(n);
        out += "variable ";
        out += kv_node_get_name(n);
        out += " {\n  type discrete [ " + std::to_string(k) + " ] { ";
        for (size_t s = 0; s < k; ++s) {
            out += s ? ", " : "";
            out += kv_node_get_state_label(n, s);
        }
        out += " };\n}\n";
    }
    for (kv_node_t n : nodes) {
        kv_table_t t = kv_node_get_table(n);
        kv_node_t *tn = kv_table_get_nodes(t);
        std::vector<kv_node_t> parents;
        for (kv_node_t *p = tn; *p; ++p)
            if (*p != n)
                parents.push_back(*p);
        EXPECT_EQ(tn[parents.size()], n);
        size_t k = kv_node_get_number_of_states(n);
        const double *v = kv_table_get_data(t);
        out += "probability ( ";
        out += kv_node_get_name(n);
        for (size_t j = 0; j < parents.size(); ++j) {
            out += j ? ", " : " | ";
            out += kv_node_get_name(parents[j]);
        }
        out += " ) {\n";
        if (parents.empty()) {
            out += "  table ";
            for (size_t s = 0; s < k; ++s)
                out += (s ? ", " : "") + number(v[s]);
            out += ";\n}\n";
            continue;
        }
        std::vector<size_t> state(parents.size(), 0);
        size_t rows = kv_table_get_size(t) / k;
        for (size_t r = 0; r < rows; ++r) {
            size_t index = 0;
            out += "  (";
            for (size_t j = 0; j < parents.size(); ++j) {
                out += j ? ", " : "";
                out += kv_node_get_state_label(parents[j], state[j]);
                index = index * kv_node_get_number_of_states(parents[j]) + state[j];
            }
            out += ") ";
            for (size_t s = 0; s < k; ++s)
                out += (s ? ", " : "") + number(v[index * k + s]);
            out += ";\n";
            for (size_t j = 0; j < parents.size(); ++j) // the first parent fastest
                if (++state[j] < kv_node_get_number_of_states(parents[j]))
                    break;
                else
                    state[j] = 0;
        }
        out += "}\n";
    }
    return out;
}

class SharedBifTest : public ::testing::TestWithParam<nets::fs::path> {};

} // namespace

TEST_P(SharedBifTest, ReadsBackTheNetDomain)
{
    std::string name = GetParam().stem().string();
    kv_domain_t net = kv_net_parse_domain(GetParam().c_str(), nets::no_messages, &name);
    ASSERT_NE(net, nullptr);
    std::string text = write_bif(net);
    Messages m;
    kv_domain_t bif = kv_bif_parse_from_string(text.c_str(), Messages::take, &m);
    ASSERT_NE(bif, nullptr) << name << ": " << (m.got.empty() ? "" : m.got[0].second);
    EXPECT_TRUE(m.got.empty());
    expect_equal_domains(net, bif, name);
    // Small enough to compile in every build: the same beliefs, bit for bit.
    ASSERT_EQ(kv_domain_triangulate(net, kv_tm_fill_in_weight), 0);
    if (kv_domain_get_jt_cost(net) < 200000) {
        ASSERT_EQ(kv_domain_compile(net), 0);
        ASSERT_EQ(kv_domain_compile(bif), 0);
        std::vector<kv_node_t> x = nodes_in_order(net), y = nodes_in_order(bif);
        ASSERT_EQ(kv_node_select_state(x.back(), 0), 0);
        ASSERT_EQ(kv_node_select_state(y.back(), 0), 0);
        ASSERT_EQ(kv_domain_propagate(net, kv_equilibrium_sum, kv_mode_normal), 0);
        ASSERT_EQ(kv_domain_propagate(bif, kv_equilibrium_sum, kv_mode_normal), 0);
        for (size_t i = 0; i < x.size(); ++i)
            for (size_t s = 0; s < kv_node_get_number_of_states(x[i]); ++s) {
                ASSERT_EQ(kv_node_get_belief(x[i], s), kv_node_get_belief(y[i], s)) << name;
            }
        EXPECT_EQ(kv_domain_get_normalization_constant(net), kv_domain_get_normalization_constant(bif));
    }
    kv_domain_delete(net);
    kv_domain_delete(bif);
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedBifTest, ::testing::ValuesIn(nets::networks()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedBifTest);

// Comments, properties, quoted words, names to map, state names that are
// not identifiers, `table' for a node with parents (the child slowest) and
// `default' rows.
TEST(BifTest, EveryForm)
{
    const char *text = "// a dog and a light\n"
                       "network \"Dog Problem\" { property \"credal\" = yes ; }\n"
                       "variable light-on { type discrete [ 2 ] { true, false }; property position = (1, 2); }\n"
                       "variable 2dogs { type discrete[3]{ <5, 5-12, 12+ }; }\n"
                       "variable family_out /* a root */ { type discrete [ 2 ] { true, false }; }\n"
                       "probability ( light-on | family_out ) {\n"
                       "  table 0.6 0.05 0.4 0.95 ;\n"
                       "}\n"
                       "probability ( family_out ) { table 0.15, 0.85; }\n"
                       "probability ( 2dogs | family_out, light-on ) {\n"
                       "  default 0.2, 0.3, 0.5;\n"
                       "  (true, false) 1, 0, 0;\n"
                       "}\n";
    Messages m;
    kv_domain_t d = kv_bif_parse_from_string(text, Messages::take, &m);
    ASSERT_NE(d, nullptr) << (m.got.empty() ? "" : m.got[0].second);
    std::vector<kv_node_t> n = nodes_in_order(d);
    ASSERT_EQ(n.size(), 3u);
    EXPECT_STREQ(kv_node_get_name(n[0]), "light_on");
    EXPECT_STREQ(kv_node_get_label(n[0]), "light-on");
    EXPECT_STREQ(kv_node_get_name(n[1]), "_2dogs");
    EXPECT_STREQ(kv_node_get_label(n[1]), "2dogs");
    EXPECT_STREQ(kv_node_get_name(n[2]), "family_out");
    EXPECT_STREQ(kv_node_get_state_label(n[1], 0), "<5");
    EXPECT_STREQ(kv_node_get_state_label(n[1], 2), "12+");
    const double *light = kv_table_get_data(kv_node_get_table(n[0]));
    EXPECT_EQ(std::vector<double>(light, light + 4), (std::vector<double>{0.6, 0.4, 0.05, 0.95}));
    const double *dogs = kv_table_get_data(kv_node_get_table(n[1]));
    // (family_out, light-on, 2dogs): only (true, false) differs.
    std::vector<double> expected;
    for (int c = 0; c < 4; ++c)
        for (double x : c == 1 ? std::vector<double>{1, 0, 0} : std::vector<double>{0.2, 0.3, 0.5})
            expected.push_back(x);
    EXPECT_EQ(std::vector<double>(dogs, dogs + 12), expected);
    kv_domain_delete(d);
}

// Each malformed input gives one message, at its line, and no domain.
TEST(BifTest, MalformedInputs)
{
    const std::string head = "variable a { type discrete [ 2 ] { y, n }; }\n";
    std::vector<Malformed> cases = {
        {"", 1, "no variables"},
        {"varible a {}", 1, "`network', `variable' or `probability' expected"},
        {"variable a { type discrete [ 2 ] { y, n }; }\nvariable a {\n", 2, "variable `a' declared twice"},
        {"variable a {\n type continuous; }", 2, "variable `a': only discrete variables are supported"},
        {"variable a { type discrete [ x ] { y }; }", 1, "`x' is not a number of states"},
        {"variable a { type discrete [ 3 ]\n { y, n }; }", 1, "variable `a' declares 3 states and names 2"},
        {"variable a { type discrete [ 2 ] { y, y }; }", 1, "variable `a' has two states named `y'"},
        {"variable a { }", 1, "variable `a' has no type"},
        {"variable a { type discrete [ 2 ] { y n }; }", 1, "`,' or `}' expected"},
        {head, 1, "no probabilities for `a'"},
        {head + "probability ( b ) { table 1 0; }", 2, "variable `b' not declared"},
        {head + "probability ( a ) {\n table 0.5 x; }", 3, "`x' is not a number"},
        {head + "probability ( a ) { table 0.5; }", 2, "the table of `a' needs 2 numbers, not 1"},
        {head + "probability ( a ) { table 0.5 0.5; }\nprobability ( a ) { table 1 0; }", 3,
         "the probabilities of `a' are given twice"},
        {head + "variable b { type discrete [ 2 ] { y, n }; }\nprobability ( a | b ) { (y) 1 0; }\n"
                "probability ( b ) { table 1 0; }",
         3, "the probabilities of `a' miss 1 parent configurations"},
        {head + "variable b { type discrete [ 2 ] { y, n }; }\nprobability ( a | b ) {\n (m) 1 0; }\n", 4,
         "`m' is not a state of `b'"},
        {head + "variable b { type discrete [ 2 ] { y, n }; }\nprobability ( a | b ) { (y) 1 0 0; }\n", 3,
         "`a' has 2 states, and 3 numbers are given"},
        {head + "variable b { type discrete [ 2 ] { y, n }; }\nprobability ( a | b ) { table 1 0 0 1; }\n"
                "probability ( b | a ) { table 1 0 0 1; }",
         4, "the parent `a' of `b' makes a cycle"},
        {head + "probability ( a | a ) { table 1 0 0 1; }", 2, "`a' cannot be a parent of `a' twice or of itself"},
        {head + "probability ( a ) { table 1 0;", 2, "`}' expected at the end of the file"},
        {"/* open\n\n", 1, "comment not closed"},
        {"network \"x\n\" {}", 1, "string not closed on its line"},
    };
    expect_one_message(cases, kv_bif_parse_from_string);
    EXPECT_EQ(kv_bif_parse_domain("/no/such/file.bif", nullptr, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_io);
    EXPECT_EQ(kv_bif_parse_from_string(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}
