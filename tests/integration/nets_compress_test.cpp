// Compression and approximation on the real networks of ../shared/nets: a
// compressed domain gives the beliefs, max-beliefs and P(e) of its
// uncompressed twin under evidence drawn by forward sampling; approximation
// removes less than epsilon per clique, and compressing the approximated
// tables changes no result.  Skipped when the folder is absent.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "compile/compile.h"
#include "nets_fixture.h"

using namespace nets;

namespace {

// Networks small enough for every build of the suite.
const char *const compressed_networks[] = {"asia", "alarm", "child", "insurance", "hailfinder", "win95pts", "hepar2"};

std::vector<fs::path> chosen()
{
    std::vector<fs::path> out;
    for (const char *name : compressed_networks) {
        fs::path p = nets_folder() / (std::string(name) + ".net");
        if (fs::exists(p))
            out.push_back(p);
    }
    return out;
}

kv_domain_t load(const fs::path &path)
{
    std::string name = path.filename().string();
    kv_domain_t d = kv_net_parse_domain(path.c_str(), no_messages, &name);
    EXPECT_NE(d, nullptr);
    if (d) {
        EXPECT_EQ(kv_domain_compile(d), 0);
    }
    return d;
}

std::vector<double> beliefs(kv_domain_t d)
{
    std::vector<double> out;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
            out.push_back(kv_node_get_belief(n, s));
    return out;
}

std::vector<kv_node_t> nodes_of(kv_domain_t d)
{
    std::vector<kv_node_t> out;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        out.push_back(n);
    return out;
}

class NetsCompressTest : public ::testing::TestWithParam<fs::path> {};

} // namespace

TEST_P(NetsCompressTest, CompressedEqualsWhole)
{
    std::string name = GetParam().stem().string();
    kv_domain_t plain = load(GetParam()), packed = load(GetParam());
    ASSERT_TRUE(plain && packed);
    size_t whole = 0, nonzero = 0;
    for (kv_clique_t c = kv_domain_get_first_clique(packed); c; c = kv_clique_get_next(c)) {
        kv_table_t t = kv_clique_get_probability_table(c);
        whole += kv_table_get_size(t);
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            nonzero += kv_table_get_data(t)[i] != 0.0;
    }
    double ratio = kv_domain_compress(packed);
    ASSERT_GT(ratio, 0.0) << name;
    size_t kept = 0;
    for (kv_clique_t c = kv_domain_get_first_clique(packed); c; c = kv_clique_get_next(c))
        kept += kv_table_get_size(kv_clique_get_probability_table(c));
    EXPECT_EQ(kept, nonzero) << name << " of " << whole;

    std::vector<kv_node_t> a = nodes_of(plain), b = nodes_of(packed);
    std::vector<kv_node_t> order = topological(plain);
    std::mt19937 rng(static_cast<unsigned>(a.size()));
    for (int round = 0; round < 6; ++round) {
        std::map<kv_node_t, size_t> sample = forward_sample(order, rng);
        ASSERT_EQ(kv_domain_retract_findings(plain), 0);
        ASSERT_EQ(kv_domain_retract_findings(packed), 0);
        for (size_t i = 0; i < a.size(); ++i) {
            unsigned pick = rng() % 20;
            if (pick < 3) {
                ASSERT_EQ(kv_node_select_state(a[i], sample[a[i]]), 0);
                ASSERT_EQ(kv_node_select_state(b[i], sample[a[i]]), 0);
            } else if (pick == 3) {
                size_t s = rng() % kv_node_get_number_of_states(a[i]);
                ASSERT_EQ(kv_node_enter_finding(a[i], s, 0.5), 0);
                ASSERT_EQ(kv_node_enter_finding(b[i], s, 0.5), 0);
            }
        }
        kv_equilibrium_t eq = round % 3 == 2 ? kv_equilibrium_max : kv_equilibrium_sum;
        ASSERT_EQ(kv_domain_propagate(plain, eq, kv_mode_normal), 0) << name;
        ASSERT_EQ(kv_domain_propagate(packed, eq, kv_mode_normal), 0) << name;
        std::vector<double> x = beliefs(plain), y = beliefs(packed);
        for (size_t i = 0; i < x.size(); ++i) {
            ASSERT_NEAR(y[i], x[i], 1e-12) << name << " round " << round << " entry " << i;
        }
        double p = kv_domain_get_normalization_constant(plain);
        EXPECT_NEAR(kv_domain_get_normalization_constant(packed), p, 1e-12 * p) << name;
    }
    kv_domain_delete(plain);
    kv_domain_delete(packed);
}

TEST_P(NetsCompressTest, ApproximationUnderEvidence)
{
    std::string name = GetParam().stem().string();
    kv_domain_t d = load(GetParam());
    ASSERT_TRUE(d);
    std::vector<kv_node_t> order = topological(d);
    std::mt19937 rng(7);
    std::map<kv_node_t, size_t> sample = forward_sample(order, rng);
    for (kv_node_t n : order)
        if (rng() % 8 == 0) {
            ASSERT_EQ(kv_node_select_state(n, sample[n]), 0);
        }
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    double before = kv_domain_get_normalization_constant(d);
    const double epsilon = 1e-3;
    std::vector<std::vector<double>> tables;
    for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c)) {
        kv_table_t t = kv_clique_get_probability_table(c);
        tables.emplace_back(kv_table_get_data(t), kv_table_get_data(t) + kv_table_get_size(t));
    }
    double constant = kv_domain_approximate(d, epsilon);
    ASSERT_GT(constant, 0.0) << name;
    EXPECT_LE(constant, 1.0) << name;
    EXPECT_NEAR(constant, kv_domain_get_normalization_constant(d) / before, 1e-12) << name;
    size_t i = 0;
    for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c), ++i) {
        const std::vector<double> &x = tables[i];
        double delta = epsilon / 2;
        for (;; delta /= 2) {
            long double below = 0;
            for (double v : x)
                below += v < delta ? v : 0.0;
            if (below < epsilon)
                break;
        }
        // The entries below delta are zero after the propagation that
        // follows (which may zero more through the separators).
        const double *y = kv_table_get_data(kv_clique_get_probability_table(c));
        for (size_t j = 0; j < x.size(); ++j)
            if (x[j] < delta) {
                ASSERT_EQ(y[j], 0.0) << name << " clique " << i << " entry " << j;
            }
    }
    std::vector<double> approximated = beliefs(d);
    ASSERT_GT(kv_domain_compress(d), 0.0) << name;
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    std::vector<double> compressed = beliefs(d);
    for (size_t k = 0; k < approximated.size(); ++k) {
        ASSERT_NEAR(compressed[k], approximated[k], 1e-12) << name;
    }
    kv_domain_delete(d);
}

INSTANTIATE_TEST_SUITE_P(Shared, NetsCompressTest, ::testing::ValuesIn(chosen()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(NetsCompressTest);
