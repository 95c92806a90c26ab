// The real networks of ../shared/nets: every one parses, compiles into a
// valid junction forest, and propagates evidence drawn by forward sampling
// consistently.  Skipped when the folder is absent; big networks are left
// out to keep the suite fast.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compile/compile.h"
#include "core/node_list.h"
#include "kelvo.h"
#include "nets_fixture.h"
#include "table/operations.h"

namespace fs = std::filesystem;
using namespace nets;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t max_cost = 400000;
#else
constexpr size_t max_cost = 12000000;
#endif

class NetsTest : public ::testing::TestWithParam<fs::path> {};

} // namespace

TEST(NetsFolderTest, Present)
{
    if (networks().empty())
        GTEST_SKIP() << "no networks in " << nets_folder();
    EXPECT_GE(networks().size(), 20u);
}

TEST_P(NetsTest, ParseCompilePropagate)
{
    fs::path path = GetParam();
    std::string name = path.filename().string();
    kv_domain_t d = kv_net_parse_domain(path.c_str(), no_messages, &name);
    ASSERT_NE(d, nullptr) << kv_error_name(kv_error_code());
    // Every column of every table sums to 1, up to the rounding of the
    // published numbers.
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        kv_table_t t = kv_node_get_table(n);
        size_t k = kv_node_get_number_of_states(n), size = kv_table_get_size(t);
        const double *v = kv_table_get_data(t);
        for (size_t i = 0; i < size; i += k) {
            double sum = 0;
            for (size_t s = 0; s < k; ++s)
                sum += v[i + s];
            ASSERT_NEAR(sum, 1.0, 1e-6) << name << " " << kv_node_get_name(n); // as published
        }
    }
    ASSERT_EQ(kv_domain_triangulate(d, kv_tm_fill_in_weight), 0);
    size_t cost = 0;
    for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c))
        cost += kv_table_get_size(kv_clique_get_probability_table(c));
    if (cost > max_cost) {
        kv_domain_delete(d);
        GTEST_SKIP() << name << ": " << cost << " clique entries is beyond this suite";
    }
    ASSERT_EQ(kv_domain_compile(d), 0);

    // Running intersection: the cliques holding a node form a subtree.
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        size_t holding = 0, links = 0;
        for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c)) {
            if (!_kv_node_in_list(kv_clique_get_members(c), n))
                continue;
            ++holding;
            for (kv_clique_t *b = kv_clique_get_neighbors(c); *b; ++b)
                links += _kv_node_in_list(kv_clique_get_members(*b), n);
        }
        EXPECT_EQ(links / 2 + 1, holding) << name << " " << kv_node_get_name(n);
        // The node's family lies in its assigned clique.
        EXPECT_TRUE(_kv_subset_of_clique(n->table->nodes, n->assigned_clique)) << name;
    }
    // The initial tables agree on every separator.
    for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c))
        for (kv_neighbor_s *b = c->neighbors; b; b = b->next) {
            kv_table_s *sep = b->control->small_probability;
            kv_table_s *m = _kv_table_get_marginal(c->probability_table, sep->nodes,
                                                   kv_equilibrium_sum, kv_mode_normal, 0);
            for (size_t i = 0; i < sep->size; ++i)
                ASSERT_NEAR(m->discrete_data[i], sep->discrete_data[i], 1e-9) << name;
            _kv_free_table(m);
        }

    std::vector<kv_node_t> order = topological(d);
    std::mt19937 rng(static_cast<unsigned>(order.size()));
    for (int round = 0; round < 3; ++round) {
        std::map<kv_node_t, size_t> sample = forward_sample(order, rng);
        std::vector<kv_node_t> observed;
        for (kv_node_t n : order)
            if (rng() % 10 == 0)
                observed.push_back(n);
        // Chain rule: each finding's belief before it is entered.
        ASSERT_EQ(kv_domain_initialize(d), 0);
        double chain = 1.0;
        for (kv_node_t n : observed) {
            ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
            chain *= kv_node_get_belief(n, sample[n]);
            kv_node_select_state(n, sample[n]);
        }
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
        double pe = kv_domain_get_normalization_constant(d);
        EXPECT_GT(pe, 0.0);
        EXPECT_NEAR(pe, chain, 1e-9 * chain) << name;
        EXPECT_NEAR(kv_domain_get_log_normalization_constant(d), std::log(chain), 1e-8) << name;
        std::map<kv_node_t, std::vector<double>> incremental;
        for (kv_node_t n : order) {
            size_t k = kv_node_get_number_of_states(n);
            double sum = 0;
            for (size_t s = 0; s < k; ++s) {
                incremental[n].push_back(kv_node_get_belief(n, s));
                sum += incremental[n].back();
            }
            EXPECT_NEAR(sum, 1.0, 1e-9) << name << " " << kv_node_get_name(n);
        }
        // The same evidence propagated at once from the initial tables.
        ASSERT_EQ(kv_domain_reset_inference_engine(d), 0);
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
        for (kv_node_t n : order)
            for (size_t s = 0; s < incremental[n].size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(n, s), incremental[n][s], 1e-9) << name;
        // Fast retraction leaves unobserved nodes as they are and gives
        // observed ones their posterior without their own finding, unless
        // logical relations in the tables make it refuse.
        int status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_fast_retraction);
        ASSERT_TRUE(status == 0 || status == kv_error_fast_retraction) << name << " " << status;
        if (status == 0) {
            std::map<kv_node_t, std::vector<double>> retracted;
            for (kv_node_t n : order) {
                for (size_t s = 0; s < incremental[n].size(); ++s)
                    retracted[n].push_back(kv_node_get_belief(n, s));
                if (std::find(observed.begin(), observed.end(), n) != observed.end())
                    continue;
                for (size_t s = 0; s < incremental[n].size(); ++s)
                    EXPECT_NEAR(retracted[n][s], incremental[n][s], 1e-9) << name;
            }
            for (size_t i = 0; i < observed.size() && i < 4; ++i) {
                ASSERT_EQ(kv_domain_retract_findings(d), 0);
                for (kv_node_t m : observed)
                    if (m != observed[i])
                        kv_node_select_state(m, sample[m]);
                ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
                for (size_t s = 0; s < retracted[observed[i]].size(); ++s)
                    EXPECT_NEAR(kv_node_get_belief(observed[i], s), retracted[observed[i]][s], 1e-9)
                        << name << " " << kv_node_get_name(observed[i]);
            }
            ASSERT_EQ(kv_domain_retract_findings(d), 0);
            for (kv_node_t n : observed)
                kv_node_select_state(n, sample[n]);
        }
        // A new case after retracting another one starts from the initial
        // potentials and works on the slices of its findings.
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        for (kv_node_t n : order)
            if (rng() % 10 == 0)
                kv_node_select_state(n, sample[n]);
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        for (kv_node_t n : observed)
            kv_node_select_state(n, sample[n]);
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
        EXPECT_NEAR(kv_domain_get_normalization_constant(d), chain, 1e-9 * chain) << name;
        for (kv_node_t n : order)
            for (size_t s = 0; s < incremental[n].size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(n, s), incremental[n][s], 1e-9) << name;
    }
    kv_domain_delete(d);
}

INSTANTIATE_TEST_SUITE_P(Shared, NetsTest, ::testing::ValuesIn(networks()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(NetsTest);
