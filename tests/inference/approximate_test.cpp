// Approximation of compiled networks: argument checks, the zeroed entries
// of each clique, and the approximation constant and beliefs against an
// enumeration of the approximated joint distribution.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "../compile/compile_fixture.h"

namespace {

// Per clique, the largest epsilon / 2^k (k >= 1) below which its entries
// sum to less than epsilon.
double delta_for(const kv_table_s *t, double epsilon)
{
    for (double delta = epsilon / 2;; delta /= 2) {
        long double sum = 0;
        for (size_t i = 0; i < t->size; ++i)
            if (t->discrete_data[i] < delta)
                sum += t->discrete_data[i];
        if (sum < epsilon)
            return delta;
    }
}

} // namespace

TEST(ApproximateTest, ArgumentsAndState)
{
    EXPECT_EQ(kv_domain_approximate(nullptr, 0.1), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_get_approximation_constant(nullptr), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_is_compressed(nullptr), -1);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    kv_domain_t d = kv_new_domain();
    std::mt19937 rng(3);
    std::vector<kv_node_t> nodes = random_network(d, rng, 5, 50);
    EXPECT_EQ(kv_domain_approximate(d, 0.1), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_not_compiled);
    EXPECT_EQ(kv_domain_get_approximation_constant(d), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_not_compiled);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_get_approximation_constant(d), 1.0);
    EXPECT_EQ(kv_domain_is_compressed(d), 0);
    EXPECT_EQ(kv_domain_approximate(d, 0.0), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_approximate(d, -0.5), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    // Evidence waiting to be propagated.
    ASSERT_EQ(kv_node_select_state(nodes[0], 1), 0);
    EXPECT_EQ(kv_domain_approximate(d, 0.1), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    // Max equilibrium.
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_max, kv_mode_normal), 0);
    EXPECT_EQ(kv_domain_approximate(d, 0.1), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_GT(kv_domain_approximate(d, 1e-3), 0.0);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    kv_domain_delete(d);

    // Decisions and utilities rule approximation out.
    kv_domain_t id = kv_new_domain();
    kv_node_t decision = kv_domain_new_node(id, kv_category_decision, kv_kind_discrete);
    kv_node_t utility = kv_domain_new_node(id, kv_category_utility, kv_kind_discrete);
    ASSERT_EQ(kv_node_add_parent(utility, decision), 0);
    ASSERT_EQ(kv_domain_compile(id), 0);
    EXPECT_EQ(kv_domain_approximate(id, 0.1), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_delete(id);
}

// Entries no smaller than epsilon / 2 stay: nothing changes.
TEST(ApproximateTest, LargeEntriesStay)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t b = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_set_number_of_states(a, 2), 0);
    ASSERT_EQ(kv_node_set_number_of_states(b, 2), 0);
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    double pa[] = {0.4, 0.6}, pb[] = {0.5, 0.5, 0.25, 0.75};
    std::copy(pa, pa + 2, kv_table_get_data(kv_node_get_table(a)));
    std::copy(pb, pb + 4, kv_table_get_data(kv_node_get_table(b)));
    ASSERT_EQ(kv_domain_compile(d), 0);
    // The joint entries are 0.2, 0.2, 0.15 and 0.45, all at least 0.3 / 2.
    EXPECT_EQ(kv_domain_approximate(d, 0.3), 1.0);
    EXPECT_EQ(kv_node_get_belief(b, 0), 0.35);
    // With epsilon 0.4 the delta is 0.2 and 0.15 goes: 0.85 of the mass stays.
    EXPECT_DOUBLE_EQ(kv_domain_approximate(d, 0.4), 0.85);
    EXPECT_DOUBLE_EQ(kv_node_get_belief(b, 0), 0.2 / 0.85);
    EXPECT_DOUBLE_EQ(kv_domain_get_approximation_constant(d), 0.85);
    // A reset brings the exact tables back, and the constant 1.
    ASSERT_EQ(kv_domain_reset_inference_engine(d), 0);
    EXPECT_EQ(kv_domain_get_approximation_constant(d), 1.0);
    EXPECT_DOUBLE_EQ(kv_node_get_belief(b, 0), 0.35);
    kv_domain_delete(d);
}

// The approximated joint keeps the configurations whose entry survives in
// every clique: the constant is their prior mass, and the beliefs are its
// normalised marginals.
TEST(ApproximateTest, ConstantAndBeliefsMatchTheApproximatedJoint)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 12; ++round) {
        kv_domain_t d = kv_new_domain();
        std::vector<kv_node_t> nodes = random_network(d, rng, 4 + round % 4, 45);
        for (kv_node_t n : nodes)
            fill_conditional(n, rng, 0.1);
        ASSERT_EQ(kv_domain_compile(d), 0);
        double epsilon = round % 2 ? 0.05 : 0.01;
        std::vector<std::pair<kv_table_s *, double>> cliques;
        std::vector<std::vector<double>> before;
        for (kv_clique_s *c = d->first_clique; c; c = c->next) {
            kv_table_s *t = kv_clique_get_probability_table(c);
            cliques.push_back({t, delta_for(t, epsilon)});
            before.emplace_back(t->discrete_data, t->discrete_data + t->size);
        }
        // The joint by enumeration, keeping what survives in every clique.
        std::map<kv_node_s *, std::vector<double>> marginal;
        for (kv_node_t n : nodes)
            marginal[n].assign(n->number_of_states, 0.0);
        long double kept = 0;
        for_each_configuration(nodes, [&](const std::map<kv_node_s *, size_t> &s) {
            double p = 1.0;
            for (kv_node_t n : nodes)
                p *= table_value(n->table, s);
            bool survives = true;
            for (auto &[t, delta] : cliques)
                survives = survives && table_value(t, s) >= delta;
            if (survives) {
                kept += p;
                for (kv_node_t n : nodes)
                    marginal[n][s.at(n)] += p;
            }
        });
        double constant = kv_domain_approximate(d, epsilon);
        EXPECT_NEAR(constant, double(kept), 1e-13) << "round " << round;
        EXPECT_NEAR(kv_domain_get_approximation_constant(d), double(kept), 1e-13);
        for (size_t i = 0; i < cliques.size(); ++i) {
            auto [t, delta] = cliques[i];
            long double removed = 0;
            for (size_t j = 0; j < t->size; ++j)
                if (before[i][j] < delta) {
                    removed += before[i][j];
                    EXPECT_EQ(t->discrete_data[j], 0.0) << "round " << round << " clique " << i;
                }
            EXPECT_LT(removed, epsilon);
        }
        for (kv_node_t n : nodes)
            for (size_t k = 0; k < n->number_of_states; ++k) {
                EXPECT_NEAR(kv_node_get_belief(n, k), marginal[n][k] / double(kept), 1e-12)
                    << "round " << round;
            }
        kv_domain_delete(d);
    }
}
