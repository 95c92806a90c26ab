#include <gtest/gtest.h>

#include <cmath>

#include "kelvo.h"

namespace {

double normal_density(double y, double m, double v)
{
    return std::exp(-0.5 * (y - m) * (y - m) / v) / std::sqrt(2 * M_PI * v);
}

class CgInferenceTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        d = kv_new_domain();
        a = node("A", kv_kind_discrete);
        b = node("B", kv_kind_discrete);
        x = node("X", kv_kind_continuous);
        y = node("Y", kv_kind_continuous);
        kv_node_add_parent(x, a);
        kv_node_add_parent(y, x);
        kv_node_add_parent(y, b);
        double *ta = kv_table_get_data(kv_node_get_table(a));
        ta[0] = pa[0], ta[1] = pa[1];
        double *tb = kv_table_get_data(kv_node_get_table(b));
        tb[0] = pb[0], tb[1] = pb[1];
        for (size_t i = 0; i < 2; ++i) {
            kv_node_set_alpha(x, ax[i], i);
            kv_node_set_gamma(x, gx[i], i);
            kv_node_set_alpha(y, cy[i], i);
            kv_node_set_beta(y, dy[i], x, i);
            kv_node_set_gamma(y, hy[i], i);
        }
        ASSERT_EQ(kv_domain_compile(d), 0);
    }
    void TearDown() override { kv_domain_delete(d); }
    kv_node_t node(const char *name, kv_node_kind_t kind)
    {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kind);
        kv_node_set_name(n, name);
        if (kind == kv_kind_discrete)
            kv_node_set_number_of_states(n, 2);
        return n;
    }
    kv_domain_t d;
    kv_node_t a, b, x, y;
    double pa[2] = {0.3, 0.7}, pb[2] = {0.6, 0.4};
    double ax[2] = {0.0, 10.0}, gx[2] = {1.0, 4.0};
    double cy[2] = {1.0, -1.0}, dy[2] = {2.0, 0.5}, hy[2] = {1.0, 2.0};
};

} // namespace

TEST_F(CgInferenceTest, PriorMomentsAreTheMixturesMoments)
{
    double mx = 0, vx = 0, my = 0, vy = 0, ex2 = 0, ey2 = 0;
    for (int i = 0; i < 2; ++i) {
        mx += pa[i] * ax[i];
        ex2 += pa[i] * (gx[i] + ax[i] * ax[i]);
        for (int j = 0; j < 2; ++j) {
            double m = cy[j] + dy[j] * ax[i], v = hy[j] + dy[j] * dy[j] * gx[i];
            my += pa[i] * pb[j] * m;
            ey2 += pa[i] * pb[j] * (v + m * m);
        }
    }
    vx = ex2 - mx * mx;
    vy = ey2 - my * my;
    EXPECT_NEAR(kv_node_get_mean(x), mx, 1e-9);
    EXPECT_NEAR(kv_node_get_variance(x), vx, 1e-9);
    EXPECT_NEAR(kv_node_get_mean(y), my, 1e-9);
    EXPECT_NEAR(kv_node_get_variance(y), vy, 1e-9);
}

TEST_F(CgInferenceTest, ObservationConditionsTheGaussians)
{
    const double value = 6.0;
    // Posterior weights of (A, B) and the Gaussian of X given each.
    double w[2][2], total = 0, mx[2][2], vx[2][2];
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            double m = cy[j] + dy[j] * ax[i], v = hy[j] + dy[j] * dy[j] * gx[i];
            w[i][j] = pa[i] * pb[j] * normal_density(value, m, v);
            total += w[i][j];
            double k = gx[i] * dy[j] / v;
            mx[i][j] = ax[i] + k * (value - m);
            vx[i][j] = gx[i] - k * dy[j] * gx[i];
        }
    double mean = 0, second = 0, p_a0 = 0, p_b0 = 0;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            double p = w[i][j] / total;
            mean += p * mx[i][j];
            second += p * (vx[i][j] + mx[i][j] * mx[i][j]);
            p_a0 += i == 0 ? p : 0;
            p_b0 += j == 0 ? p : 0;
        }
    ASSERT_EQ(kv_node_enter_value(y, value), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), total, 1e-12);
    EXPECT_NEAR(kv_domain_get_log_normalization_constant(d), std::log(total), 1e-9);
    EXPECT_NEAR(kv_node_get_belief(a, 0), p_a0, 1e-9);
    EXPECT_NEAR(kv_node_get_belief(b, 0), p_b0, 1e-9);
    EXPECT_NEAR(kv_node_get_mean(x), mean, 1e-9);
    EXPECT_NEAR(kv_node_get_variance(x), second - mean * mean, 1e-9);
    EXPECT_EQ(kv_node_get_mean(y), value);
    EXPECT_EQ(kv_node_get_variance(y), 0.0);
    EXPECT_EQ(kv_domain_cg_evidence_is_propagated(d), 1);
    EXPECT_EQ(kv_domain_get_conflict(d), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_cg_evidence_incorporated);
    EXPECT_EQ(kv_domain_save_to_memory(d), kv_error_cg_evidence_incorporated);

    // Observing X as well: Y's value then only weighs B.
    ASSERT_EQ(kv_node_enter_value(x, 1.0), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    double wa[2], wb[2], za = 0, zb = 0;
    for (int i = 0; i < 2; ++i) {
        wa[i] = pa[i] * normal_density(1.0, ax[i], gx[i]);
        wb[i] = pb[i] * normal_density(value, cy[i] + dy[i] * 1.0, hy[i]);
        za += wa[i], zb += wb[i];
    }
    EXPECT_NEAR(kv_node_get_belief(a, 0), wa[0] / za, 1e-9);
    EXPECT_NEAR(kv_node_get_belief(b, 0), wb[0] / zb, 1e-9);
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), za * zb, 1e-12);

    // Retracting goes back through a full reset.
    kv_domain_retract_findings(d);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_NEAR(kv_node_get_belief(a, 0), pa[0], 1e-12);
    EXPECT_EQ(kv_domain_get_normalization_constant(d), 1.0);
}

TEST_F(CgInferenceTest, DiscreteEvidenceWithObservation)
{
    kv_node_select_state(b, 1);
    kv_node_enter_value(y, 3.0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    double w[2], z = 0;
    for (int i = 0; i < 2; ++i) {
        w[i] = pa[i] * normal_density(3.0, cy[1] + dy[1] * ax[i], hy[1] + dy[1] * dy[1] * gx[i]);
        z += w[i];
    }
    EXPECT_NEAR(kv_node_get_belief(a, 0), w[0] / z, 1e-9);
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), pb[1] * z, 1e-12);
}

TEST(CgDensityTest, MixtureDensity)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t s = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_node_set_number_of_states(s, 2);
    kv_node_add_parent(x, s);
    kv_node_set_alpha(x, 0.0, 0), kv_node_set_gamma(x, 1.0, 0);
    kv_node_set_alpha(x, 2.0, 1), kv_node_set_gamma(x, 1.0, 1);
    // The node's own table weighs each configuration 1.0.
    kv_table_t t = kv_node_get_table(x);
    EXPECT_DOUBLE_EQ(kv_table_compute_density(t, 0.0), 0.3989422804014327 * (1.0 + std::exp(-2.0)));
    kv_node_t y = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_node_add_parent(y, x);
    EXPECT_EQ(kv_table_compute_density(kv_node_get_table(y), 0.0), -1.0) << "two continuous members";
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_node_delete(y);
    ASSERT_EQ(kv_domain_compile(d), 0);
    kv_node_t nodes[] = {s, x, nullptr};
    kv_table_t m = kv_domain_get_marginal(d, nodes);
    ASSERT_NE(m, nullptr);
    EXPECT_DOUBLE_EQ(kv_table_compute_density(m, 0.0), 0.3989422804014327 * (0.5 + 0.5 * std::exp(-2.0)));
    kv_table_delete(m);
    kv_domain_delete(d);
}

TEST(CgDensityTest, ZeroVarianceAndLowDensity)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t s = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_node_set_number_of_states(s, 2);
    kv_node_add_parent(x, s);
    kv_node_set_alpha(x, 0.0, 0), kv_node_set_gamma(x, 0.0, 0); // a point mass at 0
    kv_node_set_alpha(x, 5.0, 1), kv_node_set_gamma(x, 1.0, 1);
    ASSERT_EQ(kv_domain_compile(d), 0);
    // Away from the point mass its configuration is ruled out.
    kv_node_enter_value(x, 4.0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_NEAR(kv_node_get_belief(s, 1), 1.0, 1e-12);
    // At the point mass itself the density is degenerate.
    kv_node_retract_findings(x);
    kv_node_enter_value(x, 0.0);
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), kv_error_zero_variance);
    EXPECT_EQ(kv_node_get_entered_value(x), 0.0) << "the value stays entered";
    // A value no configuration can explain.
    kv_node_retract_findings(x);
    kv_node_enter_value(x, 1e6);
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), kv_error_low_density);
    kv_domain_delete(d);
}

TEST_F(CgInferenceTest, DistributionIsTheMixture)
{
    kv_table_t t = kv_node_get_distribution(y);
    ASSERT_NE(t, nullptr) << kv_error_name(kv_error_code());
    // The mixture over the configurations Y depends on, however grouped:
    // its total weight and first two moments are those of Y.
    double w = 0, m = 0, second = 0;
    size_t size = kv_table_get_size(t);
    kv_node_t *nodes = kv_table_get_nodes(t);
    kv_node_t head = nodes[0];
    while (kv_node_get_kind(head) == kv_kind_discrete)
        head = *++nodes;
    for (size_t i = 0; i < size; ++i) {
        double p = kv_table_get_data(t)[i];
        double mean = kv_table_get_mean(t, i, head), v = kv_table_get_variance(t, i, head);
        w += p;
        m += p * mean;
        second += p * (v + mean * mean);
    }
    EXPECT_NEAR(w, 1.0, 1e-12);
    EXPECT_NEAR(m, kv_node_get_mean(y), 1e-9);
    EXPECT_NEAR(second - m * m, kv_node_get_variance(y), 1e-9);
    EXPECT_EQ(kv_table_delete(t), 0);
    kv_node_enter_value(y, 1.0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_EQ(kv_node_get_distribution(y), nullptr) << "an observed node has no distribution";
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}
