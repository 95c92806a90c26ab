// The hand-written networks of ../shared/nets/small against the values
// worked out by enumeration in their README (skipped when the folder is
// absent).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kelvo.h"

namespace fs = std::filesystem;

namespace {

fs::path small_net(const char *name)
{
    const char *shared = std::getenv("KELVO_SHARED");
    return fs::path(shared ? shared : KELVO_SHARED_DIR) / "nets" / "small" / name;
}

class OilWildcatterTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fs::path path = small_net("id_oil.net");
        if (!fs::exists(path))
            GTEST_SKIP() << path << " is absent";
        d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(kv_domain_compile(d), 0);
        test = kv_domain_get_node_by_name(d, "Test");
        seismic = kv_domain_get_node_by_name(d, "Seismic");
        drill = kv_domain_get_node_by_name(d, "Drill");
        oil = kv_domain_get_node_by_name(d, "Oil");
        ASSERT_TRUE(test && seismic && drill && oil);
    }
    void TearDown() override
    {
        if (d)
            kv_domain_delete(d);
    }
    void observe(size_t tested, size_t seen)
    {
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        ASSERT_EQ(kv_node_select_state(test, tested), 0);
        ASSERT_EQ(kv_node_select_state(seismic, seen), 0);
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    }
    kv_domain_t d = nullptr;
    kv_node_t test = nullptr, seismic = nullptr, drill = nullptr, oil = nullptr;
};

TEST_F(OilWildcatterTest, FirstDecision)
{
    EXPECT_NEAR(kv_node_get_expected_utility(test, 0), 22.5, 1e-9);
    EXPECT_NEAR(kv_node_get_expected_utility(test, 1), 20.0, 1e-9);
}

TEST_F(OilWildcatterTest, SeismicUnderTesting)
{
    ASSERT_EQ(kv_node_select_state(test, 0), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_NEAR(kv_node_get_belief(seismic, 0), 0.24, 1e-12);
    EXPECT_NEAR(kv_node_get_belief(seismic, 1), 0.35, 1e-12);
    EXPECT_NEAR(kv_node_get_belief(seismic, 2), 0.41, 1e-12);
    EXPECT_NEAR(kv_node_get_expected_utility(test, 0), 22.5, 1e-9);
}

TEST_F(OilWildcatterTest, SecondDecisionAfterEachResult)
{
    observe(0, 0); // tested, closed
    EXPECT_NEAR(kv_node_get_belief(oil, 0), 5.0 / 24, 1e-12);
    EXPECT_NEAR(kv_node_get_belief(oil, 1), 0.375, 1e-12);
    EXPECT_NEAR(kv_node_get_belief(oil, 2), 5.0 / 12, 1e-12);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 0), 77.5, 1e-9);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 1), -10.0, 1e-9);
    observe(0, 1); // tested, open
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 0), 160.0 / 7, 1e-9);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 1), -10.0, 1e-9);
    observe(0, 2); // tested, diffuse
    EXPECT_NEAR(kv_node_get_belief(oil, 0), 30.0 / 41, 1e-12);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 0), -1660.0 / 41, 1e-9);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 1), -10.0, 1e-9);
    observe(1, 0); // not tested: the result says nothing
    EXPECT_NEAR(kv_node_get_belief(oil, 0), 0.5, 1e-12);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 0), 20.0, 1e-9);
    EXPECT_NEAR(kv_node_get_expected_utility(drill, 1), 0.0, 1e-9);
}

// Parses, compiles and hands over a small network, or skips.
class SmallNetTest : public ::testing::Test {
  protected:
    void load(const char *name)
    {
        fs::path path = small_net(name);
        if (!fs::exists(path))
            GTEST_SKIP() << path << " is absent";
        d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(kv_domain_compile(d), 0);
    }
    kv_node_t node(const char *name)
    {
        kv_node_t n = kv_domain_get_node_by_name(d, name);
        EXPECT_NE(n, nullptr) << name;
        return n;
    }
    void propagate() { ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0); }
    void expect_beliefs(const char *name, double b0, double b1)
    {
        EXPECT_NEAR(kv_node_get_belief(node(name), 0), b0, 1e-9) << name;
        EXPECT_NEAR(kv_node_get_belief(node(name), 1), b1, 1e-9) << name;
    }
    void TearDown() override
    {
        if (d)
            kv_domain_delete(d);
    }
    kv_domain_t d = nullptr;
};

TEST_F(SmallNetTest, ConditionalGaussianMoments)
{
    load("cg_simple.net");
    if (!d)
        return;
    kv_node_t x = node("X"), y = node("Y"), a = node("A");
    EXPECT_NEAR(kv_node_get_mean(x), 2.0, 1e-12);
    EXPECT_NEAR(kv_node_get_variance(x), 4.0, 1e-12);
    EXPECT_NEAR(kv_node_get_mean(y), 2.7, 1e-12);
    EXPECT_NEAR(kv_node_get_variance(y), 12.36, 1e-12);

    ASSERT_EQ(kv_node_select_state(a, 1), 0);
    propagate();
    EXPECT_NEAR(kv_node_get_mean(y), 3.0, 1e-12);
    EXPECT_NEAR(kv_node_get_variance(y), 16.5, 1e-12);

    ASSERT_EQ(kv_domain_retract_findings(d), 0);
    ASSERT_EQ(kv_node_enter_value(x, 1.0), 0);
    propagate();
    EXPECT_NEAR(kv_node_get_mean(y), 1.15, 1e-12);
    EXPECT_NEAR(kv_node_get_variance(y), 0.7025, 1e-12);
    EXPECT_NEAR(kv_node_get_belief(a, 0), 0.3, 1e-12);

    ASSERT_EQ(kv_domain_retract_findings(d), 0);
    ASSERT_EQ(kv_node_enter_value(y, 4.0), 0);
    propagate();
    EXPECT_NEAR(kv_node_get_mean(x), 2.967024927, 1e-9);
    EXPECT_NEAR(kv_node_get_variance(x), 1.217187154, 1e-9);
    EXPECT_NEAR(kv_node_get_belief(a, 0), 0.3182364515, 1e-10);
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), 0.09782996938, 1e-11);
}

TEST_F(SmallNetTest, ChainGraphPosteriors)
{
    load("chain.net");
    if (!d)
        return;
    expect_beliefs("P", 0.4, 0.6);
    expect_beliefs("A", 0.425, 0.575);
    expect_beliefs("B", 0.54, 0.46);
    expect_beliefs("C", 0.578, 0.422);

    ASSERT_EQ(kv_node_select_state(node("C"), 1), 0);
    propagate();
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), 0.422, 1e-12);
    expect_beliefs("P", 0.3601895735, 0.6398104265);
    expect_beliefs("A", 0.4158767773, 0.5841232227);
    expect_beliefs("B", 0.1279620853, 0.8720379147);

    ASSERT_EQ(kv_domain_retract_findings(d), 0);
    ASSERT_EQ(kv_node_select_state(node("A"), 1), 0);
    propagate();
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), 0.575, 1e-12);
    expect_beliefs("P", 8.0 / 23, 15.0 / 23);
    expect_beliefs("B", 0.5304347826, 0.4695652174);
    expect_beliefs("C", 0.5713043478, 0.4286956522);

    ASSERT_EQ(kv_node_select_state(node("A"), 0), 0);
    ASSERT_EQ(kv_node_select_state(node("C"), 0), 0);
    propagate();
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), 0.2495, 1e-12);
    expect_beliefs("P", 0.6092184369, 0.3907815631);
    expect_beliefs("B", 0.8476953908, 0.1523046092);
}

// Tables generated from expressions: the Normal masses (exact values by
// 40-digit arithmetic), the sampled NoisyOR and the label relation, then
// the marginals of the README.
TEST_F(SmallNetTest, GeneratedTablesAndTheirMarginals)
{
    load("model.net");
    if (!d)
        return;
    auto data = [&](const char *name) {
        kv_table_t t = kv_node_get_table(node(name));
        double *v = kv_table_get_data(t);
        return std::vector<double>(v, v + kv_table_get_size(t));
    };
    std::vector<double> alt = data("Alt");
    EXPECT_NEAR(alt[0], 0.5, 1e-16);
    EXPECT_NEAR(alt[1], 0.3, 1e-16);
    EXPECT_NEAR(alt[2], 0.2, 1e-16);
    const double temp[9] = {3.1671241833119921e-5, 0.25246086630508979, 0.74750746245307709,
                            0.022750131948179207,  0.88603864832595292, 0.09121121972586787,
                            0.5,                   0.49957093966680316, 0.00042906033319683748};
    std::vector<double> t = data("Temp");
    ASSERT_EQ(t.size(), 9u);
    for (size_t i = 0; i < 9; ++i)
        EXPECT_NEAR(t[i], temp[i], 1e-14 * temp[i] + 1e-16) << i;
    // NoisyOR: state false the product q, state true 1 - q (compilation
    // normalises the rows, which may move the last bit).
    const double frost[12] = {0.2, 0.8, 1, 0, 1, 0, 0.06, 0.94, 0.3, 0.7, 0.3, 0.7};
    std::vector<double> f = data("Frost");
    ASSERT_EQ(f.size(), 12u);
    for (size_t i = 0; i < 12; ++i)
        EXPECT_NEAR(f[i], frost[i], 2e-16) << i;
    EXPECT_EQ(data("Advice"), (std::vector<double>{1, 0, 0, 1}));

    expect_beliefs("Frost", 0.5304258339, 0.4695741661);
    expect_beliefs("Advice", 0.5304258339, 0.4695741661);
    EXPECT_NEAR(kv_node_get_belief(node("Temp"), 0), 0.1068408752, 1e-10);
    EXPECT_NEAR(kv_node_get_belief(node("Temp"), 1), 0.4919562156, 1e-10);
    ASSERT_EQ(kv_node_select_state(node("Frost"), 1), 0);
    propagate();
    EXPECT_NEAR(kv_node_get_belief(node("Alt"), 0), 0.4472293471, 1e-10);
    EXPECT_NEAR(kv_node_get_belief(node("Alt"), 1), 0.2750722414, 1e-10);
    EXPECT_NEAR(kv_node_get_belief(node("Alt"), 2), 0.2776984115, 1e-10);
}

} // namespace
