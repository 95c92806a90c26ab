#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/memory.h"
#include "expr/distributions.h"
#include "kelvo.h"
#include "learn/random.h"

namespace {

// The p-value of Pearson's statistic over cells with expected counts,
// pooling cells below 5 expected into one.
double goodness_of_fit(const std::vector<double> &observed, const std::vector<double> &expected)
{
    double chi2 = 0, pooled_o = 0, pooled_e = 0;
    size_t cells = 0;
    for (size_t i = 0; i < observed.size(); ++i) {
        if (expected[i] < 5) {
            pooled_o += observed[i];
            pooled_e += expected[i];
            continue;
        }
        chi2 += (observed[i] - expected[i]) * (observed[i] - expected[i]) / expected[i];
        ++cells;
    }
    if (pooled_e > 0) {
        chi2 += (pooled_o - pooled_e) * (pooled_o - pooled_e) / pooled_e;
        ++cells;
    }
    return cells > 1 ? _kv_chi_square_c(chi2, double(cells - 1)) : 1.0;
}

// Rain -> WetGrass <- Sprinkler, with a one-state node and a decision-free
// chain.
const char *network = R"(
node Rain { states = ("no" "yes"); }
node Sprinkler { states = ("off" "on"); }
node Wet { states = ("dry" "wet"); }
node Sun { states = ("always"); }
potential (Rain) { data = (0.8 0.2); }
potential (Sprinkler | Rain) { data = ((0.6 0.4) (0.99 0.01)); }
potential (Wet | Rain Sprinkler) { data = (((1 0) (0.1 0.9)) ((0.2 0.8) (0.01 0.99))); }
potential (Sun) { data = (1); }
)";

// P(Rain, Sprinkler, Wet) from the tables.
double joint(int r, int s, int w)
{
    const double pr[2] = {0.8, 0.2};
    const double ps[2][2] = {{0.6, 0.4}, {0.99, 0.01}};
    const double pw[2][2][2] = {{{1, 0}, {0.1, 0.9}}, {{0.2, 0.8}, {0.01, 0.99}}};
    return pr[r] * ps[r][s] * pw[r][s][w];
}

} // namespace

TEST(RandomTest, PublishedValuesOfTheGenerator)
{
    kv_random_s r;
    kv::random_seed(r, 310952);
    // 2009 rounds of 1009 values: a[0] of the last round, then ran_u[0].
    kv::random_skip(r, 2008 * 1009);
    EXPECT_EQ(kv::random_raw(r), 0.40565695769206500110);
    kv::random_skip(r, 1008);
    EXPECT_EQ(kv::random_raw(r), 0.36410514377569680455);
    kv::random_seed(r, 310952);
    // 1009 rounds of 2009 values.
    kv::random_skip(r, 1008 * 2009);
    EXPECT_EQ(kv::random_raw(r), 0.04731923453148767500);
    kv::random_skip(r, 2008);
    EXPECT_EQ(kv::random_raw(r), 0.36410514377569680455);
}

TEST(RandomTest, DomainsHandOut100OfEvery1009Values)
{
    kv_domain_t a = kv_new_domain(), b = kv_new_domain();
    kv_random_s r;
    kv::random_seed(r, 310952);
    std::vector<double> raw;
    for (int i = 0; i < 2 * 1009; ++i)
        raw.push_back(kv::random_raw(r));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(kv_domain_get_uniform_deviate(a), raw[size_t(i)]) << i;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(kv_domain_get_uniform_deviate(a), raw[size_t(1009 + i)]) << i;
    // Seeding restarts the sequence; equal seeds give equal sequences.
    ASSERT_EQ(kv_domain_seed_random(a, 77), 0);
    ASSERT_EQ(kv_domain_seed_random(b, 77 + 1073741824.0), 0) << "30 bits of the seed";
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(kv_domain_get_uniform_deviate(a), kv_domain_get_uniform_deviate(b)) << i;
    ASSERT_EQ(kv_domain_seed_random(a, 310952), 0);
    EXPECT_EQ(kv_domain_get_uniform_deviate(a), raw[0]);
    // s = 0 gives the mean and draws nothing.
    EXPECT_EQ(kv_domain_get_normal_deviate(a, 3.5, 0), 3.5);
    EXPECT_EQ(kv_domain_get_uniform_deviate(a), raw[1]);
    EXPECT_EQ(kv_domain_get_normal_deviate(a, 0, -1), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_seed_random(a, NAN), kv_error_usage);
    EXPECT_EQ(kv_domain_get_uniform_deviate(nullptr), -1.0);
    kv_domain_delete(a);
    kv_domain_delete(b);
}

TEST(RandomTest, NormalDeviatesFitTheNormalDistribution)
{
    kv_domain_t d = kv_new_domain();
    const double edges[] = {-INFINITY, -2, -1, -0.5, 0, 0.5, 1, 2, INFINITY};
    std::vector<double> observed(8, 0), expected(8);
    const int n = 100000;
    for (int i = 0; i < n; ++i) {
        double x = (kv_domain_get_normal_deviate(d, 10, 2) - 10) / 2;
        for (size_t k = 0; k < 8; ++k)
            if (x >= edges[k] && x < edges[k + 1])
                observed[k] += 1;
    }
    for (size_t k = 0; k < 8; ++k)
        expected[k] = n * kv::Gauss_cdf(edges[k], edges[k + 1], 0, 1);
    EXPECT_GE(goodness_of_fit(observed, expected), 1e-4);
    kv_domain_delete(d);
}

// Forward samples of an uncompiled domain against the joint; with evidence
// on Rain only Rain is fixed.
TEST(SimulateTest, ForwardSamplesFitTheJoint)
{
    kv_domain_t d = kv_net_parse_from_string(network, nullptr);
    ASSERT_NE(d, nullptr);
    kv_node_t rain = kv_domain_get_node_by_name(d, "Rain"), sprinkler = kv_domain_get_node_by_name(d, "Sprinkler"),
              wet = kv_domain_get_node_by_name(d, "Wet"), sun = kv_domain_get_node_by_name(d, "Sun");
    EXPECT_EQ(kv_node_get_sampled_state(rain), size_t(-1)) << "nothing sampled yet";
    const int n = 100000;
    std::vector<double> observed(8, 0), expected(8);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(kv_domain_simulate(d), 0);
        size_t cell = kv_node_get_sampled_state(rain) * 4 + kv_node_get_sampled_state(sprinkler) * 2 +
                      kv_node_get_sampled_state(wet);
        observed[cell] += 1;
        ASSERT_EQ(kv_node_get_sampled_state(sun), 0u);
    }
    for (int c = 0; c < 8; ++c)
        expected[size_t(c)] = n * joint(c / 4, c / 2 % 2, c % 2);
    EXPECT_GE(goodness_of_fit(observed, expected), 1e-4);
    EXPECT_EQ(kv_domain_probability_of_random_selection(d), 1.0) << "not compiled";

    ASSERT_EQ(kv_node_select_state(rain, 1), 0);
    std::vector<double> wet_count(2, 0);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(kv_domain_simulate(d), 0);
        ASSERT_EQ(kv_node_get_sampled_state(rain), 1u);
        wet_count[kv_node_get_sampled_state(wet)] += 1;
    }
    double p_wet = (joint(1, 0, 1) + joint(1, 1, 1)) / 0.2;
    EXPECT_GE(goodness_of_fit(wet_count, {n * (1 - p_wet), n * p_wet}), 1e-4);
    // Evidence that fixes no state is refused.
    ASSERT_EQ(kv_node_enter_finding(wet, 0, 0.5), 0);
    EXPECT_EQ(kv_domain_simulate(d), kv_error_usage);
    EXPECT_EQ(kv_node_get_sampled_state(rain), size_t(-1)) << "a failed simulation leaves no samples";
    kv_domain_delete(d);
}

// Samples of a compiled domain against its beliefs given evidence, and the
// probability of each configuration drawn.
TEST(SimulateTest, CompiledSamplesFitThePosterior)
{
    kv_domain_t d = kv_net_parse_from_string(network, nullptr);
    ASSERT_NE(d, nullptr);
    kv_node_t rain = kv_domain_get_node_by_name(d, "Rain"), sprinkler = kv_domain_get_node_by_name(d, "Sprinkler"),
              wet = kv_domain_get_node_by_name(d, "Wet");
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_node_select_state(wet, 1), 0);
    EXPECT_EQ(kv_domain_simulate(d), kv_error_usage) << "evidence not propagated";
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    double pe = 0;
    for (int r = 0; r < 2; ++r)
        for (int s = 0; s < 2; ++s)
            pe += joint(r, s, 1);
    const int n = 100000;
    std::vector<double> observed(4, 0), expected(4);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(kv_domain_simulate(d), 0);
        size_t r = kv_node_get_sampled_state(rain), s = kv_node_get_sampled_state(sprinkler);
        ASSERT_EQ(kv_node_get_sampled_state(wet), 1u);
        observed[r * 2 + s] += 1;
        double p = joint(int(r), int(s), 1) / pe;
        ASSERT_NEAR(kv_domain_probability_of_random_selection(d), p, 1e-12 * p);
    }
    for (int c = 0; c < 4; ++c)
        expected[size_t(c)] = n * joint(c / 2, c % 2, 1) / pe;
    EXPECT_GE(goodness_of_fit(observed, expected), 1e-4);
    // A propagation invalidates the samples.
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_EQ(kv_node_get_sampled_state(rain), size_t(-1));
    EXPECT_EQ(kv_domain_probability_of_random_selection(d), 1.0);
    kv_domain_delete(d);
}

// The conditional-Gaussian network of forward sampling: Y given A and X.
TEST(SimulateTest, ForwardSamplesOfContinuousNodes)
{
    kv_domain_t d = kv_net_parse_from_string(R"(
node A { states = ("a0" "a1"); }
continuous node X { }
continuous node Y { }
potential (A) { data = (0.3 0.7); }
potential (X) { data = normal ( 2, 4 ); }
potential (Y | A X) { data = ( normal ( 1 + 0.5 * X, 1 ) normal ( -1 + 2 * X, 0.5 ) ); }
)",
                                             nullptr);
    ASSERT_NE(d, nullptr);
    kv_node_t y = kv_domain_get_node_by_name(d, "Y"), x = kv_domain_get_node_by_name(d, "X");
    const int n = 100000;
    double sum = 0, sum2 = 0;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(kv_domain_simulate(d), 0);
        double v = kv_node_get_sampled_value(y);
        sum += v;
        sum2 += v * v;
    }
    double mean = sum / n, variance = sum2 / n - mean * mean;
    // E[Y] = 2.7, Var[Y] = 12.36: within five standard errors.
    EXPECT_NEAR(mean, 2.7, 5 * std::sqrt(12.36 / n));
    EXPECT_NEAR(variance, 12.36, 5 * 12.36 * std::sqrt(2.0 / n) * 2);
    ASSERT_EQ(kv_node_enter_value(x, 1), 0);
    ASSERT_EQ(kv_domain_simulate(d), 0);
    EXPECT_EQ(kv_node_get_sampled_value(x), 1.0);
    EXPECT_EQ(kv_node_get_sampled_state(y), size_t(-1)) << "a continuous node has no state";
    kv_domain_delete(d);
}

// Compiled sampling of continuous nodes: the moments of the samples
// against the propagated means and variances, without and with evidence.
TEST(SimulateTest, CompiledSamplesOfContinuousNodes)
{
    kv_domain_t d = kv_net_parse_from_string(R"(
node A { states = ("a0" "a1"); }
continuous node X { }
continuous node Y { }
potential (A) { data = (0.3 0.7); }
potential (X) { data = normal ( 2, 4 ); }
potential (Y | A X) { data = ( normal ( 1 + 0.5 * X, 1 ) normal ( -1 + 2 * X, 0.5 ) ); }
)",
                                             nullptr);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(kv_domain_compile(d), 0);
    kv_node_t x = kv_domain_get_node_by_name(d, "X"), y = kv_domain_get_node_by_name(d, "Y"),
              a = kv_domain_get_node_by_name(d, "A");
    auto moments = [&](kv_node_t n, double &mean, double &variance, double &a1) {
        const int count = 100000;
        double sum = 0, sum2 = 0, ones = 0;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(kv_domain_simulate(d), 0);
            double v = kv_node_get_sampled_value(n);
            sum += v;
            sum2 += v * v;
            ones += double(kv_node_get_sampled_state(a));
        }
        mean = sum / count;
        variance = sum2 / count - mean * mean;
        a1 = ones / count;
    };
    double mean, variance, a1;
    moments(y, mean, variance, a1);
    EXPECT_NEAR(mean, 2.7, 5 * std::sqrt(12.36 / 1e5));
    EXPECT_NEAR(variance, 12.36, 0.5);
    EXPECT_NEAR(a1, 0.7, 5 * std::sqrt(0.21 / 1e5));
    ASSERT_EQ(kv_node_enter_value(y, 4), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    moments(x, mean, variance, a1);
    EXPECT_NEAR(mean, kv_node_get_mean(x), 5 * std::sqrt(1.3 / 1e5));
    EXPECT_NEAR(variance, kv_node_get_variance(x), 0.06);
    EXPECT_NEAR(a1, kv_node_get_belief(a, 1), 5 * std::sqrt(0.22 / 1e5));
    EXPECT_EQ(kv_node_get_sampled_value(y), 4.0);
    kv_domain_delete(d);
}

// A simulation that runs out of memory part-way reports it and leaves no
// node marked as on its walk: the next one must not see a cycle.
TEST(SimulateTest, FailuresLeaveTheNextRunWhole)
{
    // A chain, each node made after its parent, so that the walk from the
    // first node (the newest) goes deep and its stack grows.
    kv_domain_t d = kv_new_domain();
    kv_node_t parent = nullptr;
    for (int i = 0; i < 8; ++i) {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        ASSERT_EQ(kv_node_set_number_of_states(n, 2), 0);
        if (parent) {
            ASSERT_EQ(kv_node_add_parent(n, parent), 0);
        }
        parent = n;
    }
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        kv_table_t t = kv_node_get_table(n);
        double *data = kv_table_get_data(t);
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            data[i] = 0.5;
    }
    ASSERT_EQ(kv_domain_simulate(d), 0);
    size_t points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_simulate(d);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ASSERT_EQ(status, kv_error_no_memory) << n;
        ++points;
        ASSERT_EQ(kv_domain_simulate(d), 0) << n;
    }
    EXPECT_GT(points, 2u);
    kv_domain_delete(d);
}
