// The real networks of ../shared/nets on two threads: beliefs, P(e) and its
// logarithm come out the same bit for bit as on one thread, with every
// propagation pass split and every table operation that can split shared
// out.  Skipped when the folder is absent; big networks are left out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "inference/propagate.h"
#include "nets_fixture.h"
#include "table/parallel.h"

using namespace nets;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t max_cost = 400000;
#else
constexpr size_t max_cost = 3000000;
#endif

std::string hex(double x)
{
    char b[40];
    std::snprintf(b, sizeof b, "%a ", x);
    return b;
}

// Cases of hard findings drawn by forward sampling on 0%, 5% and 20% of the
// nodes, each with one more finding propagated on top.
std::string cases(const fs::path &path, size_t level, size_t &passes)
{
    std::string name = path.filename().string();
    kv_domain_t d = kv_net_parse_domain(path.c_str(), no_messages, &name);
    if (!d)
        return "parse failed";
    EXPECT_EQ(kv_domain_set_concurrency_level(d, level), 0);
    size_t before = kv::split_passes();
    if (kv_domain_compile(d)) {
        kv_domain_delete(d);
        return "compile failed";
    }
    std::vector<kv_node_t> order = topological(d);
    std::mt19937 rng(5);
    std::string out;
    for (double fraction : {0.0, 0.05, 0.2}) {
        std::map<kv_node_t, size_t> sample = forward_sample(order, rng);
        EXPECT_EQ(kv_domain_retract_findings(d), 0);
        for (kv_node_t n : order)
            if (std::uniform_real_distribution<double>(0, 1)(rng) < fraction) {
                EXPECT_EQ(kv_node_select_state(n, sample[n]), 0);
            }
        for (int step = 0; step < 2; ++step) {
            out += std::to_string(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal)) + " ";
            out += hex(kv_domain_get_normalization_constant(d)) + hex(kv_domain_get_log_normalization_constant(d));
            for (kv_node_t n : order)
                for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
                    out += hex(kv_node_get_belief(n, s));
            out += "\n";
            for (kv_node_t n : order)
                if (!kv_node_evidence_is_entered(n)) {
                    EXPECT_EQ(kv_node_select_state(n, sample[n]), 0);
                    break;
                }
        }
    }
    passes = kv::split_passes() - before;
    kv_domain_delete(d);
    return out;
}

class NetsLevelTwoTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(NetsLevelTwoTest, SameBitsAsOneThread)
{
    fs::path path = GetParam();
    kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(kv_domain_triangulate(d, kv_tm_fill_in_weight), 0);
    size_t cost = 0;
    for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c))
        cost += kv_table_get_size(kv_clique_get_probability_table(c));
    kv_domain_delete(d);
    if (cost > max_cost)
        GTEST_SKIP() << cost << " clique entries is beyond this suite";
    // Small trees would run flat, never sliced: they too take the strided
    // kernels here.
    auto flat = kv::set_flat_limits(0, 0);
    double work = kv::set_minimum_split_work(0.0);
    size_t fewest = kv::set_fewest_split_nodes(1);
    size_t share = kv::set_minimum_thread_share(1);
    size_t one_passes = 0, two_passes = 0;
    std::string one = cases(path, 1, one_passes), two = cases(path, 2, two_passes);
    kv::set_minimum_split_work(work);
    kv::set_fewest_split_nodes(fewest);
    kv::set_minimum_thread_share(share);
    kv::set_flat_limits(flat.first, flat.second);
    EXPECT_EQ(one_passes, 0u);
    // Compilation splits both passes, and so does a case of many findings
    // (with a single one, the collect may pass too few cliques).
    EXPECT_GE(two_passes, 6u);
    EXPECT_EQ(one.substr(0, 2), "0 ");
    EXPECT_TRUE(one == two) << "the beliefs differ";
}

INSTANTIATE_TEST_SUITE_P(Shared, NetsLevelTwoTest, ::testing::ValuesIn(networks()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(NetsLevelTwoTest);

} // namespace
