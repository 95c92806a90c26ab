// Small trees run flat (one loop through an index per entry) instead of the
// strided kernels over evidence slices: every result is the same as that of
// a twin domain without them, case after case.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "../compile/compile_fixture.h"
#include "inference/propagate.h"

namespace {

using Twin = RandomNet;

// With flat, under the default limits (or those of a caller that set its
// own, when keep is set).
Twin make(unsigned seed, int n, int percent, bool flat, bool keep = false)
{
    return compiled_random_net(seed, n, percent, 0.15,
                               keep ? Kernels::as_set : flat ? Kernels::flat : Kernels::strided);
}

// Every belief, P(e), its logarithm and the conflict, or the status.
std::vector<double> results(const Twin &t, int status)
{
    if (status)
        return {double(status)};
    std::vector<double> out;
    for (kv_node_t n : t.nodes)
        for (size_t s = 0; s < n->number_of_states; ++s)
            out.push_back(kv_node_get_belief(n, s));
    out.push_back(kv_domain_get_normalization_constant(t.d));
    out.push_back(kv_domain_get_log_normalization_constant(t.d));
    out.push_back(kv_domain_get_conflict(t.d));
    return out;
}

void expect_near(const std::vector<double> &a, const std::vector<double> &b, int round, const char *what)
{
    ASSERT_EQ(a.size(), b.size()) << what << " round " << round;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(a[i], b[i], 1e-12 * (b[i] > 1 ? b[i] : 1)) << what << " round " << round << " entry " << i;
    }
}

} // namespace

TEST(FlatTest, LimitsDecide)
{
    Twin small = make(1, 8, 40, true), strided = make(1, 8, 40, false);
    EXPECT_EQ(small.d->first_junction_tree->tables.flat, 1);
    EXPECT_EQ(strided.d->first_junction_tree->tables.flat, 0);
    for (kv_control_s *c = small.d->first_control; c; c = c->next) {
        EXPECT_NE(c->compressed_index, nullptr);
    }
    kv_domain_delete(small.d);
    kv_domain_delete(strided.d);
    // A clique beyond the limit, or too many entries in the tree, keep it
    // strided.
    for (auto [clique, tree] : {std::pair<size_t, size_t>{2, 8192}, {4096, 3}}) {
        auto limits = kv::set_flat_limits(clique, tree);
        Twin big = make(1, 8, 40, true, true);
        kv::set_flat_limits(limits.first, limits.second);
        EXPECT_EQ(big.d->first_junction_tree->tables.flat, 0);
        kv_domain_delete(big.d);
    }
}

TEST(FlatTest, ResultsEqualStrided)
{
    std::mt19937 rng(9);
    for (int round = 0; round < 12; ++round) {
        unsigned seed = 40 + round;
        int n = 6 + round % 6, percent = 30 + 4 * (round % 5);
        Twin flat = make(seed, n, percent, true), strided = make(seed, n, percent, false);
        if (round % 3 == 0) {
            ASSERT_EQ(kv_domain_save_to_memory(flat.d), 0);
            ASSERT_EQ(kv_domain_save_to_memory(strided.d), 0);
        }
        for (int c = 0; c < 8; ++c) {
            if (c % 4 != 3) { // every fourth case adds to the previous one
                ASSERT_EQ(kv_domain_retract_findings(flat.d), 0);
                ASSERT_EQ(kv_domain_retract_findings(strided.d), 0);
            }
            for (size_t i = 0; i < flat.nodes.size(); ++i) {
                unsigned pick = rng() % 10;
                size_t s = rng() % flat.nodes[i]->number_of_states;
                if (pick < 2) {
                    ASSERT_EQ(kv_node_select_state(flat.nodes[i], s), 0);
                    ASSERT_EQ(kv_node_select_state(strided.nodes[i], s), 0);
                } else if (pick == 2) {
                    ASSERT_EQ(kv_node_enter_finding(flat.nodes[i], s, 0.3), 0);
                    ASSERT_EQ(kv_node_enter_finding(strided.nodes[i], s, 0.3), 0);
                }
            }
            kv_equilibrium_t eq = c % 3 == 1 ? kv_equilibrium_max : kv_equilibrium_sum;
            kv_evidence_mode_t mode = c % 5 == 4 ? kv_mode_fast_retraction : kv_mode_normal;
            int a = kv_domain_propagate(flat.d, eq, mode), b = kv_domain_propagate(strided.d, eq, mode);
            expect_near(results(flat, a), results(strided, b), round, "case");
        }
        // A joint marginal through fresh controls on the flat tables.
        if (flat.nodes[0]->junction_tree == flat.nodes[1]->junction_tree) {
            kv_node_t x[] = {flat.nodes[0], flat.nodes[1], nullptr}, y[] = {strided.nodes[0], strided.nodes[1], nullptr};
            kv_table_t p = kv_domain_get_marginal(flat.d, x), q = kv_domain_get_marginal(strided.d, y);
            ASSERT_TRUE(p && q);
            expect_near(std::vector<double>(p->discrete_data, p->discrete_data + p->size),
                        std::vector<double>(q->discrete_data, q->discrete_data + q->size), round, "joint");
            kv_table_delete(p);
            kv_table_delete(q);
        }
        ASSERT_EQ(kv_domain_initialize(flat.d), 0);
        ASSERT_EQ(kv_domain_initialize(strided.d), 0);
        expect_near(results(flat, 0), results(strided, 0), round, "initialized");
        kv_domain_delete(flat.d);
        kv_domain_delete(strided.d);
    }
}
