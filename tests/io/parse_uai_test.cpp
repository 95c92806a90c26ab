// The UAI reader: every shared network written as a BAYES file reads back
// with the same tables bit for bit and the same beliefs; a Markov network
// gives the beliefs of its normalised product of factors (by enumeration
// here); evidence files in both layouts; a message with its line for each
// kind of malformed input.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "../integration/nets_fixture.h"
#include "exchange_fixture.h"
#include "kelvo.h"

using namespace exchange;

namespace {

// BAYES text: the variables in declaration order, one function per node
// (its table's nodes, the node last).
std::string write_uai(kv_domain_t d)
{
    std::vector<kv_node_t> nodes = nodes_in_order(d);
    std::map<kv_node_t, size_t> index;
    std::string out = "BAYES\n" + std::to_string(nodes.size()) + "\n";
    for (size_t i = 0; i < nodes.size(); ++i) {
        index[nodes[i]] = i;
        out += std::to_string(kv_node_get_number_of_states(nodes[i])) + (i + 1 < nodes.size() ? " " : "\n");
    }
    out += std::to_string(nodes.size()) + "\n";
    for (kv_node_t n : nodes) {
        kv_node_t *tn = kv_table_get_nodes(kv_node_get_table(n));
        size_t k = 0;
        std::string scope;
        for (; tn[k]; ++k)
            scope += " " + std::to_string(index[tn[k]]);
        out += std::to_string(k) + scope + "\n";
    }
    for (kv_node_t n : nodes) {
        kv_table_t t = kv_node_get_table(n);
        out += "\n" + std::to_string(kv_table_get_size(t)) + "\n";
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            out += " " + number(kv_table_get_data(t)[i]);
        out += "\n";
    }
    return out;
}

class SharedUaiTest : public ::testing::TestWithParam<nets::fs::path> {};

std::vector<double> beliefs(kv_domain_t d, size_t count)
{
    std::vector<double> out;
    std::vector<kv_node_t> nodes = nodes_in_order(d);
    for (size_t i = 0; i < count; ++i)
        for (size_t s = 0; s < kv_node_get_number_of_states(nodes[i]); ++s)
            out.push_back(kv_node_get_belief(nodes[i], s));
    return out;
}

} // namespace

TEST_P(SharedUaiTest, ReadsBackTheTables)
{
    std::string name = GetParam().stem().string();
    kv_domain_t net = kv_net_parse_domain(GetParam().c_str(), nets::no_messages, &name);
    ASSERT_NE(net, nullptr);
    std::string text = write_uai(net);
    Messages m;
    kv_domain_t uai = kv_uai_parse_from_string(text.c_str(), Messages::take, &m);
    ASSERT_NE(uai, nullptr) << name << ": " << (m.got.empty() ? "" : m.got[0].second);
    std::vector<kv_node_t> x = nodes_in_order(net), y = nodes_in_order(uai);
    ASSERT_EQ(x.size(), y.size());
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_EQ(kv_node_get_name(y[i]), "X" + std::to_string(i));
        kv_table_t t = kv_node_get_table(x[i]), u = kv_node_get_table(y[i]);
        ASSERT_EQ(kv_table_get_size(t), kv_table_get_size(u)) << name;
        ASSERT_EQ(std::memcmp(kv_table_get_data(t), kv_table_get_data(u), kv_table_get_size(t) * sizeof(double)), 0)
            << name << " " << i;
    }
    ASSERT_EQ(kv_domain_triangulate(net, kv_tm_fill_in_weight), 0);
    if (kv_domain_get_jt_cost(net) < 200000) {
        ASSERT_EQ(kv_domain_compile(net), 0);
        ASSERT_EQ(kv_domain_compile(uai), 0);
        EXPECT_EQ(beliefs(net, x.size()), beliefs(uai, y.size())) << name;
    }
    kv_domain_delete(net);
    kv_domain_delete(uai);
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedUaiTest, ::testing::ValuesIn(nets::networks()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedUaiTest);

// Three binary variables, factors f(X0, X1) and g(X1, X2) and h(X2): the
// beliefs of X0..X2 are the marginals of f g h / Z, with evidence too.
TEST(UaiTest, MarkovBeliefsAreTheNormalisedProduct)
{
    const char *text = "MARKOV\n3\n2 2 2\n3\n2 0 1\n2 1 2\n1 2\n\n"
                       "4\n 1.0 2.0 3.0 0.5\n\n4\n 0.2 4.0 1.0 1.0\n\n2\n 3.0 1.0\n";
    double f[2][2] = {{1.0, 2.0}, {3.0, 0.5}}, g[2][2] = {{0.2, 4.0}, {1.0, 1.0}}, h[2] = {3.0, 1.0};
    Messages m;
    kv_domain_t d = kv_uai_parse_from_string(text, Messages::take, &m);
    ASSERT_NE(d, nullptr) << (m.got.empty() ? "" : m.got[0].second);
    std::vector<kv_node_t> n = nodes_in_order(d);
    ASSERT_EQ(n.size(), 6u);
    EXPECT_STREQ(kv_node_get_name(n[3]), "F0");
    EXPECT_EQ(kv_node_evidence_is_entered(n[3]), 1);
    ASSERT_EQ(kv_domain_compile(d), 0);
    for (int observed = 0; observed < 2; ++observed) {
        if (observed) {
            ASSERT_EQ(kv_uai_parse_evidence_from_string(d, "1\n1 2 1\n", Messages::take, &m), 0);
        }
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
        double marg[3][2] = {}, z = 0;
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                for (int c = 0; c < 2; ++c) {
                    if (observed && c != 1)
                        continue;
                    double p = f[a][b] * g[b][c] * h[c];
                    z += p;
                    marg[0][a] += p, marg[1][b] += p, marg[2][c] += p;
                }
        for (int i = 0; i < 3; ++i)
            for (int s = 0; s < 2; ++s) {
                EXPECT_NEAR(kv_node_get_belief(n[i], size_t(s)), marg[i][s] / z, 1e-15) << observed;
            }
        // P(evidence) = Z / 2^3 / (max f max g max h).
        EXPECT_NEAR(kv_domain_get_normalization_constant(d), z / 8 / (3.0 * 4.0 * 3.0), 1e-15);
    }
    // The newer layout without the sample count.
    ASSERT_EQ(kv_uai_parse_evidence_from_string(d, "2 0 1 1 0", nullptr, nullptr), 0);
    EXPECT_EQ(kv_node_get_entered_finding(n[0], 1), 1.0);
    EXPECT_EQ(kv_node_get_entered_finding(n[1], 1), 0.0);
    kv_domain_delete(d);
}

TEST(UaiTest, MalformedInputs)
{
    std::vector<Malformed> cases = {
        {"", 1, "`BAYES' or `MARKOV' expected"},
        {"BAYES\nx", 2, "`x' is not a number of variables"},
        {"BAYES\n2\n2 0", 3, "variable 1 has no states"},
        {"BAYES\n1\n2\n1\n1 3\n", 5, "`3' is not a variable"},
        {"BAYES\n1\n2\n1\n0\n", 5, "function 0 has an empty scope"},
        {"BAYES\n2\n2 2\n1\n2 1 1\n", 5, "variable 1 is twice in the scope of function 0"},
        {"BAYES\n1\n2\n1\n1 0\n3\n0.5 0.5 0", 6, "function 0 needs 2 entries, not 3"},
        {"BAYES\n1\n2\n1\n1 0\n2\n0.5 y", 7, "`y' is not a number"},
        {"BAYES\n1\n2\n1\n1 0\n2\n0.5", 7, "a number expected at the end of the file"},
        {"BAYES\n1\n2\n2\n1 0\n1 0\n2 0.5 0.5\n2 0.5 0.5", 8, "variable 0 is the last of two scopes"},
        {"BAYES\n2\n2 2\n1\n1 0\n2 0.5 0.5", 3, "no probabilities for `X1'"},
        {"BAYES\n1\n2\n1\n1 0\n2 0.5 0.5 extra", 6, "`extra' after the last function"},
        {"MARKOV\n1\n2\n1\n1 0\n2\n0 0", 6, "function 0 is zero everywhere"},
        {"BAYES\n3\n1000000 1000000 1000000\n1\n3 0 1 2\n", 5, "function 0 is too large"},
        {"MARKOV\n1\n2\n1\n1 0\n2\n1 -1", 6, "function 0 has a negative entry"},
    };
    expect_one_message(cases, kv_uai_parse_from_string);
    kv_domain_t d = kv_uai_parse_from_string("BAYES 1 2 1 1 0 2 0.5 0.5", nullptr, nullptr);
    ASSERT_NE(d, nullptr);
    struct Evid {
        const char *text;
        size_t line;
        const char *message;
    } evid[] = {
        {"", 1, "the number of observed variables expected"},
        {"2 0 1", 1, "2 numbers do not make 2 observations"},
        {"1\n3 1", 2, "no variable 3"},
        {"1 0\n 2", 1, "variable 0 has no state 2"},
        {"1 0 q", 1, "`q' is not a count, a variable or a state"},
    };
    for (const Evid &e : evid) {
        Messages m;
        EXPECT_EQ(kv_uai_parse_evidence_from_string(d, e.text, Messages::take, &m), kv_error_parse) << e.text;
        ASSERT_EQ(m.got.size(), 1u) << e.text;
        EXPECT_EQ(m.got[0].first, e.line) << e.text;
        EXPECT_EQ(m.got[0].second, e.message) << e.text;
    }
    EXPECT_EQ(kv_node_evidence_is_entered(kv_domain_get_first_node(d)), 0);
    kv_domain_delete(d);
}
