#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "kelvo.h"
#include "compile/compile.h"
#include "table/parallel.h"

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

// Random conditional-Gaussian networks against the joint: for each
// configuration of the discrete nodes the continuous ones are jointly
// Gaussian; observations weigh each configuration by their density and
// condition its Gaussian.  Beliefs, means, variances and P(e) must agree.
namespace {

struct CgNet {
    std::vector<kv_node_t> discrete, continuous;
};

struct CgEvidence {
    std::vector<long> finding;   // per discrete node, -1 for none
    std::vector<double> value;   // per continuous node
    std::vector<bool> observed;  // per continuous node
};

struct CgExpected {
    std::vector<std::vector<double>> belief;
    std::vector<double> mean, variance;
    double total = 0.0;
};

// Index of the configuration of t's discrete nodes under the assignment s
// of the discrete nodes.
size_t configuration(kv_table_t t, const std::vector<kv_node_t> &discrete, const std::vector<size_t> &s)
{
    size_t index = 0;
    for (kv_node_t *m = kv_table_get_nodes(t); *m; ++m) {
        if (kv_node_get_kind(*m) != kv_kind_discrete)
            continue;
        size_t k = 0;
        while (discrete[k] != *m)
            ++k;
        index = index * kv_node_get_number_of_states(*m) + s[k];
    }
    return index;
}

// Solves a x = b in place (small, symmetric positive definite a).
void solve(std::vector<std::vector<double>> a, std::vector<double> &b)
{
    size_t n = b.size();
    for (size_t i = 0; i < n; ++i) {
        for (size_t r = i + 1; r < n; ++r) {
            double f = a[r][i] / a[i][i];
            for (size_t c = i; c < n; ++c)
                a[r][c] -= f * a[i][c];
            b[r] -= f * b[i];
        }
    }
    for (size_t i = n; i-- > 0;) {
        for (size_t c = i + 1; c < n; ++c)
            b[i] -= a[i][c] * b[c];
        b[i] /= a[i][i];
    }
}

void randomize_tables(const CgNet &g, std::mt19937 &rng, double zeros);

// Discrete nodes first, each with earlier discrete parents; continuous
// nodes with discrete parents and earlier continuous parents.  A share of
// the discrete table entries is zero.
CgNet random_cg_network(kv_domain_t d, std::mt19937 &rng, size_t nd, size_t nc, double zeros)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    CgNet g;
    for (size_t i = 0; i < nd; ++i) {
        g.discrete.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete));
        EXPECT_EQ(kv_node_set_number_of_states(g.discrete.back(), 2 + rng() % 2), 0);
        for (size_t j = 0; j < i; ++j)
            if (rng() % 10 < 4) {
                EXPECT_EQ(kv_node_add_parent(g.discrete[i], g.discrete[j]), 0);
            }
    }
    for (size_t i = 0; i < nc; ++i) {
        g.continuous.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_continuous));
        for (kv_node_t p : g.discrete)
            if (rng() % 10 < 4) {
                EXPECT_EQ(kv_node_add_parent(g.continuous[i], p), 0);
            }
        for (size_t j = 0; j < i; ++j)
            if (rng() % 10 < 5) {
                EXPECT_EQ(kv_node_add_parent(g.continuous[i], g.continuous[j]), 0);
            }
    }
    randomize_tables(g, rng, zeros);
    return g;
}

// Random tables: discrete ones with a share of zero entries, continuous
// ones with random intercepts, variances and regression coefficients.
void randomize_tables(const CgNet &g, std::mt19937 &rng, double zeros)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (kv_node_t x : g.discrete) {
        kv_table_t t = kv_node_get_table(x);
        double *v = kv_table_get_data(t);
        size_t k = kv_node_get_number_of_states(x);
        for (size_t start = 0; start < kv_table_get_size(t); start += k) {
            double sum = 0;
            for (size_t s = 0; s < k; ++s)
                sum += v[start + s] = u(rng) < zeros ? 0.0 : 0.05 + u(rng);
            if (sum == 0)
                sum = v[start] = 1.0;
            for (size_t s = 0; s < k; ++s)
                v[start + s] /= sum;
        }
    }
    for (kv_node_t x : g.continuous) {
        size_t configs = kv_table_get_size(kv_node_get_table(x));
        for (size_t i = 0; i < configs; ++i) {
            EXPECT_EQ(kv_node_set_alpha(x, 6 * u(rng) - 3, i), 0);
            EXPECT_EQ(kv_node_set_gamma(x, 0.2 + 3 * u(rng), i), 0);
            for (kv_node_t *p = kv_node_get_parents(x); *p; ++p)
                if (kv_node_get_kind(*p) == kv_kind_continuous) {
                    EXPECT_EQ(kv_node_set_beta(x, 3 * u(rng) - 1.5, *p, i), 0);
                }
        }
    }
}

// The joint: per discrete configuration X = alpha + B X + noise, so the
// covariance is A diag(gamma) A' with A = (I - B)^-1, conditioned on the
// observed values and weighed by their density.
CgExpected brute_force(const CgNet &g, const CgEvidence &e)
{
    size_t nd = g.discrete.size(), nc = g.continuous.size();
    CgExpected x;
    for (kv_node_t n : g.discrete)
        x.belief.emplace_back(kv_node_get_number_of_states(n), 0.0);
    std::vector<double> mean(nc, 0.0), second(nc, 0.0);
    std::vector<size_t> observed;
    for (size_t i = 0; i < nc; ++i)
        if (e.observed[i])
            observed.push_back(i);
    size_t no = observed.size();
    std::vector<size_t> s(nd, 0);
    for (;;) {
        double p = 1.0;
        for (size_t i = 0; i < nd; ++i) {
            kv_table_t t = kv_node_get_table(g.discrete[i]);
            p *= kv_table_get_data(t)[configuration(t, g.discrete, s)];
            if (e.finding[i] >= 0 && size_t(e.finding[i]) != s[i])
                p = 0.0;
        }
        if (p > 0.0) {
            std::vector<double> mu(nc), gamma(nc);
            std::vector<std::vector<double>> A(nc, std::vector<double>(nc, 0.0));
            for (size_t i = 0; i < nc; ++i) {
                kv_node_t n = g.continuous[i];
                size_t c = configuration(kv_node_get_table(n), g.discrete, s);
                mu[i] = kv_node_get_alpha(n, c);
                gamma[i] = kv_node_get_gamma(n, c);
                A[i][i] = 1.0;
                for (size_t j = 0; j < i; ++j) {
                    double beta = kv_node_get_beta(n, g.continuous[j], c);
                    if (kv_error_code() != kv_error_none)
                        beta = 0.0; // not a parent
                    mu[i] += beta * mu[j];
                    for (size_t k = 0; k <= j; ++k)
                        A[i][k] += beta * A[j][k];
                }
            }
            std::vector<std::vector<double>> cov(nc, std::vector<double>(nc, 0.0));
            for (size_t i = 0; i < nc; ++i)
                for (size_t j = 0; j < nc; ++j)
                    for (size_t k = 0; k < nc; ++k)
                        cov[i][j] += A[i][k] * gamma[k] * A[j][k];
            std::vector<std::vector<double>> coo(no, std::vector<double>(no));
            std::vector<double> r(no);
            for (size_t a = 0; a < no; ++a) {
                r[a] = e.value[observed[a]] - mu[observed[a]];
                for (size_t b = 0; b < no; ++b)
                    coo[a][b] = cov[observed[a]][observed[b]];
            }
            std::vector<double> z = r;
            solve(coo, z);
            // Density exp(-r'z/2) / sqrt((2 pi)^n det); det from the pivots.
            double quad = 0.0, det = 1.0;
            for (size_t a = 0; a < no; ++a)
                quad += r[a] * z[a];
            std::vector<std::vector<double>> m = coo;
            for (size_t i = 0; i < no; ++i) {
                det *= m[i][i];
                for (size_t rr = i + 1; rr < no; ++rr) {
                    double f = m[rr][i] / m[i][i];
                    for (size_t cc = i; cc < no; ++cc)
                        m[rr][cc] -= f * m[i][cc];
                }
            }
            double w = p * std::exp(-0.5 * quad) / std::sqrt(std::pow(2 * M_PI, double(no)) * det);
            x.total += w;
            for (size_t i = 0; i < nd; ++i)
                x.belief[i][s[i]] += w;
            for (size_t i = 0; i < nc; ++i) {
                double mi = mu[i], v = cov[i][i];
                std::vector<double> col(no);
                for (size_t a = 0; a < no; ++a) {
                    mi += cov[i][observed[a]] * z[a];
                    col[a] = cov[observed[a]][i];
                }
                solve(coo, col);
                for (size_t a = 0; a < no; ++a)
                    v -= cov[i][observed[a]] * col[a];
                mean[i] += w * mi;
                second[i] += w * (v + mi * mi);
            }
        }
        size_t k = nd;
        while (k-- > 0 && ++s[k] == kv_node_get_number_of_states(g.discrete[k]))
            s[k] = 0;
        if (k == size_t(-1))
            break;
    }
    for (size_t i = 0; i < nc; ++i) {
        x.mean.push_back(x.total > 0 ? mean[i] / x.total : 0.0);
        x.variance.push_back(x.total > 0 ? second[i] / x.total - x.mean[i] * x.mean[i] : 0.0);
    }
    return x;
}

// Propagates and compares with the joint; false when the evidence is
// impossible (and the propagation must then fail).
bool propagate_and_check(kv_domain_t d, const CgNet &g, const CgEvidence &e)
{
    CgExpected x = brute_force(g, e);
    int status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
    if (x.total < 1e-280) {
        EXPECT_NE(status, 0);
        return false;
    }
    EXPECT_EQ(status, 0) << kv_error_name(kv_error_code());
    if (status)
        return false;
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), x.total, 1e-9 * x.total);
    for (size_t i = 0; i < g.discrete.size(); ++i)
        for (size_t st = 0; st < x.belief[i].size(); ++st)
            EXPECT_NEAR(kv_node_get_belief(g.discrete[i], st), x.belief[i][st] / x.total, 1e-9)
                << "discrete " << i;
    for (size_t i = 0; i < g.continuous.size(); ++i) {
        if (e.observed[i]) {
            EXPECT_EQ(kv_node_get_mean(g.continuous[i]), e.value[i]);
            EXPECT_EQ(kv_node_get_variance(g.continuous[i]), 0.0);
            continue;
        }
        double m = x.mean[i], v = x.variance[i];
        EXPECT_NEAR(kv_node_get_mean(g.continuous[i]), m, 1e-8 * std::max(1.0, std::fabs(m)))
            << "continuous " << i;
        EXPECT_NEAR(kv_node_get_variance(g.continuous[i]), v, 1e-8 * std::max(1.0, v))
            << "continuous " << i;
        // The node's mixture has the same total weight and moments.
        kv_table_t t = kv_node_get_distribution(g.continuous[i]);
        EXPECT_NE(t, nullptr) << kv_error_name(kv_error_code());
        if (!t)
            continue;
        double w = 0, wm = 0, second = 0;
        for (size_t k = 0; k < kv_table_get_size(t); ++k) {
            double p = kv_table_get_data(t)[k];
            double mk = kv_table_get_mean(t, k, g.continuous[i]), vk = kv_table_get_variance(t, k, g.continuous[i]);
            w += p;
            wm += p * mk;
            second += p * (vk + mk * mk);
        }
        EXPECT_NEAR(w, 1.0, 1e-9) << "continuous " << i;
        EXPECT_NEAR(wm, m, 1e-8 * std::max(1.0, std::fabs(m))) << "continuous " << i;
        EXPECT_NEAR(second - wm * wm, v, 1e-8 * std::max(1.0, v)) << "continuous " << i;
        EXPECT_EQ(kv_table_delete(t), 0);
    }
    return true;
}

// Random findings on a third of the discrete nodes and values on a third
// of the continuous ones, added to e.
void add_evidence(const CgNet &g, std::mt19937 &rng, CgEvidence &e)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t i = 0; i < g.discrete.size(); ++i)
        if (e.finding[i] < 0 && rng() % 3 == 0) {
            e.finding[i] = long(rng() % kv_node_get_number_of_states(g.discrete[i]));
            EXPECT_EQ(kv_node_select_state(g.discrete[i], size_t(e.finding[i])), 0);
        }
    for (size_t i = 0; i < g.continuous.size(); ++i)
        if (!e.observed[i] && rng() % 3 == 0) {
            e.observed[i] = true;
            e.value[i] = 4 * u(rng) - 2;
            EXPECT_EQ(kv_node_enter_value(g.continuous[i], e.value[i]), 0);
        }
}

} // namespace

// Each network is checked without evidence, with evidence, with more
// evidence propagated on top, and with one observation taken back.  Half of
// the networks have zeros in their discrete tables.  With up to seven
// continuous nodes, cliques meet whose potentials each need heads of the
// other.  Above level 1 every operation big enough for two entries is
// split among threads.
class CgRandomTest : public ::testing::TestWithParam<size_t> {};

TEST_P(CgRandomTest, AgainstTheJoint)
{
    size_t level = GetParam();
    std::mt19937 rng(2028);
    int checked = 0, continuous_evidence = 0;
    size_t started = kv::pooled_shares();
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        kv_domain_t d = kv_new_domain();
        ASSERT_EQ(kv_domain_set_concurrency_level(d, level), 0);
        ASSERT_EQ(kv_domain_set_grain_size(d, 1), 0);
        CgNet g = random_cg_network(d, rng, 2 + round % 3, 2 + (round / 3) % 6, round % 2 ? 0.3 : 0.0);
        ASSERT_EQ(kv_domain_compile(d), 0) << kv_error_name(kv_error_code());
        CgEvidence e{std::vector<long>(g.discrete.size(), -1), std::vector<double>(g.continuous.size()),
                     std::vector<bool>(g.continuous.size(), false)};
        propagate_and_check(d, g, e);
        for (int step = 0; step < 2; ++step) {
            add_evidence(g, rng, e);
            if (!propagate_and_check(d, g, e))
                break;
            ++checked;
            continuous_evidence += std::count(e.observed.begin(), e.observed.end(), true) > 1;
        }
        for (size_t i = 0; i < g.continuous.size(); ++i)
            if (e.observed[i]) {
                ASSERT_EQ(kv_node_retract_findings(g.continuous[i]), 0);
                e.observed[i] = false;
                propagate_and_check(d, g, e);
                break;
            }
        kv_domain_delete(d);
    }
    EXPECT_GT(checked, 150);
    EXPECT_GT(continuous_evidence, 40) << "several observed values at once";
    if (level > 1) {
        EXPECT_GT(kv::pooled_shares(), started);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, CgRandomTest, ::testing::Values(1, 2, 4));

// Compression of networks with continuous nodes: every clique keeps its
// nonzero weights with their CG blocks, and every result is still that of
// the joint.
TEST(CgCompressTest, CompressedAgainstTheJoint)
{
    std::mt19937 rng(2031);
    int shrunk = 0, cg_shrunk = 0, checked = 0;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        kv_domain_t d = kv_new_domain();
        CgNet g = random_cg_network(d, rng, 3 + round % 3, 1 + round % 3, 0.3);
        ASSERT_EQ(kv_domain_compile(d), 0) << kv_error_name(kv_error_code());
        std::vector<size_t> before;
        for (kv_clique_s *c = d->first_clique; c; c = c->next)
            before.push_back(c->probability_table->size);
        ASSERT_GT(kv_domain_compress(d), 0.0) << kv_error_name(kv_error_code());
        EXPECT_EQ(kv_domain_is_compressed(d), 1);
        // Every clique keeps its nonzero weights, CG blocks with them.
        size_t i = 0;
        for (kv_clique_s *c = d->first_clique; c; c = c->next, ++i) {
            kv_table_s *t = c->probability_table;
            EXPECT_EQ(t->compressed, 1);
            size_t nonzero = 0;
            for (size_t k = 0; k < t->size; ++k)
                nonzero += t->discrete_data[k] != 0.0;
            EXPECT_EQ(nonzero, t->size);
            shrunk += t->size < before[i];
            cg_shrunk += t->size < before[i] && t->continuous_count;
        }
        CgEvidence e{std::vector<long>(g.discrete.size(), -1), std::vector<double>(g.continuous.size()),
                     std::vector<bool>(g.continuous.size(), false)};
        propagate_and_check(d, g, e);
        for (int step = 0; step < 2; ++step) {
            add_evidence(g, rng, e);
            if (!propagate_and_check(d, g, e))
                break;
            ++checked;
        }
        // Taking everything back: a reset over the kept entries.
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        CgEvidence none{std::vector<long>(g.discrete.size(), -1), std::vector<double>(g.continuous.size()),
                        std::vector<bool>(g.continuous.size(), false)};
        propagate_and_check(d, g, none);
        EXPECT_NEAR(kv_domain_get_approximation_constant(d), 1.0, 1e-12);
        kv_domain_delete(d);
    }
    EXPECT_GT(shrunk, 10);
    EXPECT_GT(cg_shrunk, 10);
    EXPECT_GT(checked, 30);
}

namespace {

// Continuous X with discrete parents A0..A(n-1) of two states each, and a
// continuous child Y of X and A0: X's family is one big clique whose CG
// operations are split among threads at levels above 1.
CgNet many_parents_network(kv_domain_t d, std::mt19937 &rng, size_t n)
{
    CgNet g;
    for (size_t i = 0; i < n; ++i) {
        g.discrete.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete));
        EXPECT_EQ(kv_node_set_number_of_states(g.discrete.back(), 2), 0);
    }
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_node_t y = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    g.continuous = {x, y};
    for (kv_node_t a : g.discrete)
        EXPECT_EQ(kv_node_add_parent(x, a), 0);
    EXPECT_EQ(kv_node_add_parent(y, g.discrete[0]), 0);
    EXPECT_EQ(kv_node_add_parent(y, x), 0);
    randomize_tables(g, rng, 0.0);
    return g;
}

} // namespace

// Results at every level equal the joint and, to rounding, level 1.
TEST(CgThreadsTest, ManyDiscreteParentsOfOneNode)
{
    for (size_t n : {10, 13}) {
        std::vector<double> reference;
        for (size_t level : {1, 2, 4}) {
            SCOPED_TRACE(testing::Message() << n << " parents, level " << level);
            std::mt19937 rng(77 + n);
            kv_domain_t d = kv_new_domain();
            ASSERT_EQ(kv_domain_set_concurrency_level(d, level), 0);
            ASSERT_EQ(kv_domain_set_grain_size(d, 1), 0);
            CgNet g = many_parents_network(d, rng, n);
            ASSERT_EQ(kv_domain_compile(d), 0) << kv_error_name(kv_error_code());
            size_t started = kv::pooled_shares();
            CgEvidence e{std::vector<long>(n, -1), std::vector<double>(2), std::vector<bool>(2, false)};
            ASSERT_TRUE(propagate_and_check(d, g, e));
            std::vector<double> results = {kv_node_get_mean(g.continuous[0]),
                                           kv_node_get_variance(g.continuous[0]),
                                           kv_node_get_mean(g.continuous[1]),
                                           kv_node_get_variance(g.continuous[1])};
            e.observed[0] = true;
            e.value[0] = 1.25;
            ASSERT_EQ(kv_node_enter_value(g.continuous[0], 1.25), 0);
            ASSERT_TRUE(propagate_and_check(d, g, e));
            results.push_back(kv_domain_get_normalization_constant(d));
            results.push_back(kv_node_get_mean(g.continuous[1]));
            for (kv_node_t a : g.discrete)
                results.push_back(kv_node_get_belief(a, 1));
            if (level > 1) {
                EXPECT_GT(kv::pooled_shares(), started);
            }
            if (level == 1)
                reference = results;
            for (size_t i = 0; i < results.size(); ++i)
                EXPECT_NEAR(results[i], reference[i], 1e-12 * std::max(1.0, std::fabs(reference[i]))) << i;
            kv_domain_delete(d);
        }
    }
}

// A network whose compilation meets a separator message and a clique that
// each need a head of the other: the clique's C6 depends on the message's
// C5, the message's C9 on C6.  The chain is C5, C6, C9.
TEST(CgChainTest, InterleavedHeadsAreChained)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        kv_domain_t d = kv_new_domain();
        CgNet g;
        for (int i = 0; i < 2; ++i) {
            g.discrete.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete));
            ASSERT_EQ(kv_node_set_number_of_states(g.discrete.back(), 2), 0);
        }
        for (int i = 0; i < 8; ++i)
            g.continuous.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_continuous));
        kv_node_t c1 = g.discrete[0], c2 = g.discrete[1];
        auto c = [&](int k) { return g.continuous[size_t(k - 3)]; };
        std::vector<std::pair<kv_node_t, std::vector<kv_node_t>>> parents = {
            {c2, {c1}},
            {c(3), {c2, c1}},
            {c(5), {c2, c(4)}},
            {c(6), {c(3), c(5)}},
            {c(7), {c1, c(3), c(6)}},
            {c(8), {c2, c(4), c(5), c(6)}},
            {c(9), {c(4), c(5), c(7), c(8)}},
            {c(10), {c(3), c(5), c(6), c(9)}},
        };
        for (auto &[child, ps] : parents)
            for (kv_node_t p : ps)
                ASSERT_EQ(kv_node_add_parent(child, p), 0);
        randomize_tables(g, rng, 0.0);
        ASSERT_EQ(kv_domain_compile(d), 0) << kv_error_name(kv_error_code());
        CgEvidence e{std::vector<long>(2, -1), std::vector<double>(8), std::vector<bool>(8, false)};
        propagate_and_check(d, g, e);
        add_evidence(g, rng, e);
        propagate_and_check(d, g, e);
        kv_domain_delete(d);
    }
}

// A (three states, one impossible) -> X: the one clique keeps two entries,
// each with the CG block of its configuration, in order; continuous and
// discrete evidence, recompression and a reset keep the numbers exact.
TEST(CgCompressTest, KeptBlocksInOrder)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    ASSERT_EQ(kv_node_set_number_of_states(a, 3), 0);
    ASSERT_EQ(kv_node_add_parent(x, a), 0);
    double pa[] = {0.25, 0.0, 0.75};
    std::copy(pa, pa + 3, kv_table_get_data(kv_node_get_table(a)));
    double alpha[] = {1.0, 5.0, -2.0}, gamma[] = {4.0, 1.0, 0.25};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(kv_node_set_alpha(x, alpha[i], i), 0);
        ASSERT_EQ(kv_node_set_gamma(x, gamma[i], i), 0);
    }
    ASSERT_EQ(kv_domain_compile(d), 0);
    kv_table_s *t = kv_domain_get_first_clique(d)->probability_table;
    ASSERT_EQ(t->size, 3u);
    ASSERT_EQ(t->cg_size, 2u);
    std::vector<double> blocks(t->cg_data, t->cg_data + 6);
    EXPECT_GT(kv_domain_compress(d), 0.0);
    ASSERT_EQ(t->size, 2u);
    EXPECT_EQ(std::vector<double>(t->discrete_data, t->discrete_data + 2), (std::vector<double>{0.25, 0.75}));
    EXPECT_EQ(std::vector<double>(t->cg_data, t->cg_data + 4),
              (std::vector<double>{blocks[0], blocks[1], blocks[4], blocks[5]}));
    EXPECT_EQ(std::vector<size_t>(t->kept_configurations, t->kept_configurations + 2), (std::vector<size_t>{0, 2}));
    EXPECT_EQ(kv_node_get_mean(x), 0.25 * 1.0 + 0.75 * -2.0);
    EXPECT_DOUBLE_EQ(kv_node_get_variance(x), 0.25 * 4.0 + 0.75 * 0.25 + 0.25 * 0.75 * 9.0);
    // X = 0: posterior weights 0.25 N(0; 1, 4) and 0.75 N(0; -2, 0.25).
    double w0 = 0.25 * std::exp(-1.0 / 8.0) / 2.0, w2 = 0.75 * std::exp(-8.0) / 0.5;
    ASSERT_EQ(kv_node_enter_value(x, 0.0), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_NEAR(kv_node_get_belief(a, 0), w0 / (w0 + w2), 1e-15);
    EXPECT_EQ(kv_node_get_belief(a, 1), 0.0);
    EXPECT_NEAR(kv_domain_get_normalization_constant(d), (w0 + w2) * 0.3989422804014327, 1e-16);
    // A finding that leaves configuration 2 alone, then compressing again.
    ASSERT_EQ(kv_domain_retract_findings(d), 0);
    ASSERT_EQ(kv_node_select_state(a, 2), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_GT(kv_domain_compress(d), 0.0);
    ASSERT_EQ(t->size, 1u);
    EXPECT_EQ(t->kept_configurations[0], 2u);
    EXPECT_EQ(kv_node_get_mean(x), -2.0);
    EXPECT_EQ(kv_node_get_variance(x), 0.25);
    kv_table_t dist = kv_node_get_distribution(x);
    ASSERT_NE(dist, nullptr) << kv_error_name(kv_error_code());
    ASSERT_EQ(kv_table_get_size(dist), 3u);
    EXPECT_EQ(kv_table_get_data(dist)[2], 1.0);
    EXPECT_EQ(kv_table_get_mean(dist, 2, x), -2.0);
    EXPECT_EQ(kv_table_delete(dist), 0);
    // The reset finds the mass of the kept configuration.
    ASSERT_EQ(kv_domain_retract_findings(d), 0);
    ASSERT_EQ(kv_domain_initialize(d), 0);
    EXPECT_EQ(kv_domain_get_approximation_constant(d), 0.75);
    EXPECT_EQ(kv_node_get_belief(a, 2), 1.0);
    EXPECT_EQ(kv_node_get_mean(x), -2.0);
    kv_domain_delete(d);
}
