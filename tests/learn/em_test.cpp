#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <cstdio>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"
#include "learn/learn.h"
#include "sampler.h"

namespace {

// A -> B, two states each.
const char *network = R"(
node A { states = ("a0" "a1"); }
node B { states = ("b0" "b1"); }
potential (A) { data = (0.5 0.5); }
potential (B | A) { data = ((0.6 0.4) (0.3 0.7)); }
)";

std::vector<double> iterations_seen;

int record(size_t iterations, double log_likelihood, size_t)
{
    iterations_seen.push_back(log_likelihood);
    (void)iterations;
    return 1;
}

class EmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        d = kv_net_parse_from_string(network, nullptr);
        ASSERT_NE(d, nullptr);
        a = kv_domain_get_node_by_name(d, "A");
        b = kv_domain_get_node_by_name(d, "B");
        iterations_seen.clear();
        _kv_domain_set_progress_handler(d, record);
    }
    void TearDown() override { kv_domain_delete(d); }

    // Cases (A, B) with -1 for a missing entry, each with a count.
    void add_cases(const std::vector<std::vector<int>> &cases)
    {
        for (const auto &c : cases) {
            size_t i = kv_domain_new_case(d);
            if (c[0] >= 0)
                kv_node_set_case_state(a, i, size_t(c[0]));
            if (c[1] >= 0)
                kv_node_set_case_state(b, i, size_t(c[1]));
            kv_domain_set_case_count(d, i, c[2]);
        }
    }

    std::vector<double> data(kv_node_t n)
    {
        kv_table_t t = kv_node_get_table(n);
        double *v = kv_table_get_data(t);
        return std::vector<double>(v, v + kv_table_get_size(t));
    }

    kv_domain_t d = nullptr;
    kv_node_t a = nullptr, b = nullptr;
};

} // namespace

// Complete data: the tables are the counts added to the prior counts, in
// closed form, and the run ends at the third iteration.
TEST_F(EmTest, CompleteDataGivesTheClosedForm)
{
    add_cases({{0, 0, 3}, {0, 1, 1}, {1, 1, 4}, {1, 0, 2}});
    kv_table_get_data(kv_node_get_experience_table(a))[0] = 0;
    double *nb = kv_table_get_data(kv_node_get_experience_table(b));
    nb[0] = 2;
    nb[1] = 5;
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_learn_tables(d), 0);
    EXPECT_EQ(iterations_seen.size(), 3u);
    std::vector<double> ta = data(a), tb = data(b);
    EXPECT_NEAR(ta[0], 4.0 / 10, 1e-15);
    EXPECT_NEAR(ta[1], 6.0 / 10, 1e-15);
    // (n_j theta + N_jx) / (n_j + N_j)
    EXPECT_NEAR(tb[0], (2 * 0.6 + 3) / (2 + 4), 1e-15);
    EXPECT_NEAR(tb[1], (2 * 0.4 + 1) / (2 + 4), 1e-15);
    EXPECT_NEAR(tb[2], (5 * 0.3 + 2) / (5 + 6), 1e-15);
    EXPECT_NEAR(tb[3], (5 * 0.7 + 4) / (5 + 6), 1e-15);
    EXPECT_NEAR(kv_table_get_data(kv_node_get_experience_table(a))[0], 10, 1e-12);
    EXPECT_NEAR(nb[0], 6, 1e-12);
    EXPECT_NEAR(nb[1], 11, 1e-12);
    double ll = 3 * std::log(ta[0] * tb[0]) + 1 * std::log(ta[0] * tb[1]) + 4 * std::log(ta[1] * tb[3]) +
                2 * std::log(ta[1] * tb[2]);
    EXPECT_NEAR(kv_domain_get_log_likelihood(d), ll, 1e-12);
}

// Incomplete data: one iteration gives the normalised expected counts and
// the log-likelihood of the cases under the first tables, by enumeration.
TEST_F(EmTest, OneIterationOfIncompleteDataByEnumeration)
{
    add_cases({{0, 0, 1}, {-1, 1, 2}, {1, -1, 1}, {-1, 0, 1}, {1, 1, 1}});
    kv_node_get_experience_table(a);
    kv_node_get_experience_table(b);
    ASSERT_EQ(kv_domain_set_max_number_of_em_iterations(d, 1), 0);
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_learn_tables(d), 0);
    EXPECT_EQ(iterations_seen.size(), 1u);
    const double pa[2] = {0.5, 0.5}, pb[2][2] = {{0.6, 0.4}, {0.3, 0.7}};
    double na[2] = {0, 0}, nab[2][2] = {{0, 0}, {0, 0}}, ll = 0;
    auto add = [&](int ai, int bi, double w) {
        // Posterior over the missing entries, weighted by the count.
        double total = 0, p[2][2] = {{0, 0}, {0, 0}};
        for (int x = 0; x < 2; ++x)
            for (int y = 0; y < 2; ++y)
                if ((ai < 0 || ai == x) && (bi < 0 || bi == y))
                    total += p[x][y] = pa[x] * pb[x][y];
        for (int x = 0; x < 2; ++x)
            for (int y = 0; y < 2; ++y) {
                na[x] += w * p[x][y] / total;
                nab[x][y] += w * p[x][y] / total;
            }
        ll += w * std::log(total);
    };
    add(0, 0, 1);
    add(-1, 1, 2);
    add(1, -1, 1);
    add(-1, 0, 1);
    add(1, 1, 1);
    std::vector<double> ta = data(a), tb = data(b);
    EXPECT_NEAR(ta[0], na[0] / (na[0] + na[1]), 1e-14);
    for (int x = 0; x < 2; ++x)
        for (int y = 0; y < 2; ++y)
            EXPECT_NEAR(tb[size_t(x * 2 + y)], nab[x][y] / (nab[x][0] + nab[x][1]), 1e-14) << x << y;
    EXPECT_NEAR(kv_domain_get_log_likelihood(d), ll, 1e-12);
    EXPECT_NEAR(kv_table_get_data(kv_node_get_experience_table(b))[1], nab[1][0] + nab[1][1], 1e-12);

    // More iterations never lower the log-likelihood (zero experience).
    iterations_seen.clear();
    ASSERT_EQ(kv_domain_set_max_number_of_em_iterations(d, 0), 0);
    double *xa = kv_table_get_data(kv_node_get_experience_table(a));
    double *xb = kv_table_get_data(kv_node_get_experience_table(b));
    xa[0] = 0;
    xb[0] = xb[1] = 0;
    ASSERT_EQ(kv_domain_learn_tables(d), 0);
    ASSERT_GE(iterations_seen.size(), 2u);
    for (size_t i = 1; i < iterations_seen.size(); ++i)
        EXPECT_GE(iterations_seen[i], iterations_seen[i - 1] - 1e-12) << i;
}

TEST_F(EmTest, RefusedRuns)
{
    kv_node_get_experience_table(b);
    EXPECT_EQ(kv_domain_learn_tables(d), kv_error_usage) << "no cases";
    add_cases({{0, 0, 0}});
    EXPECT_EQ(kv_domain_learn_tables(d), kv_error_usage) << "no case with a positive count";
    kv_domain_set_case_count(d, 0, 1);
    EXPECT_EQ(kv_domain_learn_tables(d), kv_error_not_compiled);
    ASSERT_EQ(kv_domain_compile(d), 0);
    kv_table_get_data(kv_node_get_experience_table(b))[0] = NAN;
    std::vector<double> before = data(b);
    EXPECT_EQ(kv_domain_learn_tables(d), kv_error_usage);
    EXPECT_EQ(data(b), before);
    EXPECT_EQ(kv_domain_learn_tables(nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_set_log_likelihood_tolerance(d, -1), kv_error_usage);
    EXPECT_EQ(kv_domain_set_log_likelihood_tolerance(d, NAN), kv_error_usage);
    EXPECT_EQ(kv_domain_get_log_likelihood_tolerance(d), 0.0001);
    EXPECT_EQ(kv_domain_get_max_number_of_em_iterations(d), 0u);
    EXPECT_EQ(kv_domain_get_log_likelihood(nullptr), 1.0);
    // An impossible case fails the run and leaves no evidence.
    kv_table_get_data(kv_node_get_experience_table(b))[0] = 1;
    kv_table_t t = kv_node_get_table(b);
    kv_table_get_data(t)[0] = 0; // P(b0 | a0) = 0
    kv_table_get_data(t)[1] = 1;
    kv_node_touch_table(b);
    add_cases({{0, 1, 1}, {-1, 0, 1}, {0, 0, 1}});
    kv_domain_set_case_count(d, 0, 0);
    EXPECT_EQ(kv_domain_learn_tables(d), kv_error_inconsistency_or_underflow);
    EXPECT_EQ(kv_node_evidence_is_entered(a), 0);
    EXPECT_EQ(kv_node_evidence_is_entered(b), 0);
}

// Adaptation with the node and its parent observed: the row becomes
// (n theta + e_x) / (n + 1) and the count grows by one; with lambda outside
// (0, 1] the row is left alone.
TEST_F(EmTest, AdaptationOfAnObservedRow)
{
    double *nb = kv_table_get_data(kv_node_get_experience_table(b));
    nb[0] = 4;
    nb[1] = 2;
    double *fading = kv_table_get_data(kv_node_get_fading_table(b));
    fading[1] = 1.5;
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_node_select_state(a, 0), 0);
    ASSERT_EQ(kv_node_select_state(b, 1), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    ASSERT_EQ(kv_domain_adapt(d), 0);
    std::vector<double> tb = data(b);
    EXPECT_NEAR(tb[0], 4 * 0.6 / 5, 1e-15);
    EXPECT_NEAR(tb[1], (4 * 0.4 + 1) / 5, 1e-15);
    EXPECT_NEAR(nb[0], 5, 1e-12);
    ASSERT_EQ(kv_node_select_state(a, 1), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    ASSERT_EQ(kv_domain_adapt(d), 0);
    tb = data(b);
    EXPECT_EQ(tb[2], 0.3) << "lambda 1.5 leaves the row";
    EXPECT_EQ(nb[1], 2.0);
    // Evidence waiting to be propagated is refused.
    ASSERT_EQ(kv_node_select_state(a, 0), 0);
    EXPECT_EQ(kv_domain_adapt(d), kv_error_usage);
}

// With the parent unobserved, the rows follow the posterior: adaptation over
// a case keeps each row a distribution, and its count grows by the row's
// posterior mass.
TEST_F(EmTest, AdaptationOfPartlyObservedRows)
{
    double *nb = kv_table_get_data(kv_node_get_experience_table(b));
    nb[0] = 10;
    nb[1] = 10;
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_node_select_state(b, 1), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    double post0 = 0.5 * 0.4 / (0.5 * 0.4 + 0.5 * 0.7);
    ASSERT_EQ(kv_domain_adapt(d), 0);
    std::vector<double> tb = data(b);
    EXPECT_NEAR(tb[0] + tb[1], 1, 1e-15);
    EXPECT_NEAR(tb[2] + tb[3], 1, 1e-15);
    // Moment matching of the Dirichlet mixture: the mean of row a0 is
    // (1 - p) theta + p (n theta + e_b1) / (n + 1).
    EXPECT_NEAR(tb[1], (1 - post0) * 0.4 + post0 * (10 * 0.4 + 1) / 11, 1e-14);
    EXPECT_NEAR(tb[3], post0 * 0.7 + (1 - post0) * (10 * 0.7 + 1) / 11, 1e-14);
    EXPECT_GT(nb[0], 10);
    EXPECT_LT(nb[0], 11);
}

// Adapting to complete cases one at a time ends where batch EM does from
// the same prior.
TEST_F(EmTest, SequentialAdaptationEqualsBatchLearning)
{
    const std::vector<std::vector<int>> cases = {{0, 0, 1}, {0, 1, 1}, {1, 1, 1}, {1, 1, 1}, {0, 0, 1}, {1, 0, 1}};
    kv_domain_t batch = kv_net_parse_from_string(network, nullptr);
    ASSERT_NE(batch, nullptr);
    for (kv_domain_t dom : {d, batch}) {
        kv_node_t na = kv_domain_get_node_by_name(dom, "A"), nb = kv_domain_get_node_by_name(dom, "B");
        kv_table_get_data(kv_node_get_experience_table(na))[0] = 3;
        double *x = kv_table_get_data(kv_node_get_experience_table(nb));
        x[0] = 2;
        x[1] = 4;
        ASSERT_EQ(kv_domain_compile(dom), 0);
    }
    for (const auto &c : cases) {
        ASSERT_EQ(kv_node_select_state(a, size_t(c[0])), 0);
        ASSERT_EQ(kv_node_select_state(b, size_t(c[1])), 0);
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
        ASSERT_EQ(kv_domain_adapt(d), 0);
    }
    std::swap(d, batch);
    a = kv_domain_get_node_by_name(d, "A");
    b = kv_domain_get_node_by_name(d, "B");
    add_cases(cases);
    ASSERT_EQ(kv_domain_learn_tables(d), 0);
    std::vector<double> learned_a = data(a), learned_b = data(b);
    std::swap(d, batch);
    a = kv_domain_get_node_by_name(d, "A");
    b = kv_domain_get_node_by_name(d, "B");
    std::vector<double> adapted_a = data(a), adapted_b = data(b);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_NEAR(adapted_a[i], learned_a[i], 1e-14) << i;
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(adapted_b[i], learned_b[i], 1e-14) << i;
    EXPECT_NEAR(kv_table_get_data(kv_node_get_experience_table(b))[1],
                kv_table_get_data(kv_node_get_experience_table(kv_domain_get_node_by_name(batch, "B")))[1], 1e-12);
    kv_domain_delete(batch);
}

// Per-class EM: class B (A -> B) instantiated twice in Top; the two runtime
// copies of B pool their counts into B's class table.
TEST(ClassEmTest, CountsOfAllCopiesArePooledIntoTheClassTable)
{
    const char *classes = R"(
class B {
  node A { states = ("a0" "a1"); }
  node B { states = ("b0" "b1"); }
  potential (A) { data = (0.5 0.5); }
  potential (B | A) { data = ((0.6 0.4) (0.3 0.7)); experience = (2 5); }
}
class Top { instance I1 : B () {} instance I2 : B () {} }
)";
    std::string path = ::testing::TempDir() + "class_em.net";
    FILE *f = std::fopen(path.c_str(), "w");
    std::fputs(classes, f);
    std::fclose(f);
    kv_class_collection_t cc = kv_new_class_collection();
    ASSERT_EQ(kv_net_parse_classes(path.c_str(), cc, nullptr, nullptr, nullptr), 0);
    kv_class_t b = kv_cc_get_class_by_name(cc, "B");
    kv_domain_t d = kv_class_create_domain(kv_cc_get_class_by_name(cc, "Top"));
    ASSERT_NE(d, nullptr);
    // Runtime nodes by source: I1's A, B and I2's A, B.
    kv_node_t n[2][2] = {};
    for (kv_node_t x = kv_domain_get_first_node(d); x; x = kv_node_get_next(x)) {
        kv_node_t *src = kv_node_get_source(x);
        int i = std::string(kv_node_get_name(src[0])) == "I1" ? 0 : 1;
        int j = std::string(kv_node_get_name(src[1])) == "A" ? 0 : 1;
        n[i][j] = x;
    }
    // Complete cases (I1.A, I1.B, I2.A, I2.B) with counts.
    int cases[][5] = {{0, 0, 1, 1, 3}, {0, 1, 0, 0, 1}, {1, 1, 1, 0, 2}};
    for (auto &c : cases) {
        size_t i = kv_domain_new_case(d);
        for (int k = 0; k < 4; ++k)
            kv_node_set_case_state(n[k / 2][k % 2], i, size_t(c[k]));
        kv_domain_set_case_count(d, i, c[4]);
    }
    EXPECT_EQ(kv_domain_learn_class_tables(d), kv_error_not_compiled);
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_learn_class_tables(d), 0);

    // Row a0: prior 2 * (0.6, 0.4); counts over both copies: I1 (a0,b0) 3,
    // (a0,b1) 1; I2 (a0,b0) 1.  Row a1: prior 5 * (0.3, 0.7); I1 (a1,b1) 2;
    // I2 (a1,b1) 3, (a1,b0) 2.
    double expected[] = {(1.2 + 4) / 7, (0.8 + 1) / 7, (1.5 + 2) / 12, (3.5 + 5) / 12};
    kv_node_t class_b = kv_class_get_node_by_name(b, "B");
    double *learnt = kv_table_get_data(kv_node_get_table(class_b));
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(learnt[k], expected[k], 1e-15) << k;
        EXPECT_EQ(kv_table_get_data(kv_node_get_table(n[0][1]))[k], learnt[k]);
        EXPECT_EQ(kv_table_get_data(kv_node_get_table(n[1][1]))[k], learnt[k]);
    }
    double *experience = kv_table_get_data(kv_node_get_experience_table(class_b));
    EXPECT_DOUBLE_EQ(experience[0], 7);
    EXPECT_DOUBLE_EQ(experience[1], 12);
    EXPECT_DOUBLE_EQ(kv_table_get_data(kv_node_get_experience_table(n[1][1]))[1], 12);
    // A has no experience table: it learns nothing.
    EXPECT_EQ(kv_table_get_data(kv_node_get_table(kv_class_get_node_by_name(b, "A")))[0], 0.5);

    // A domain not made from a class has no sources.
    kv_domain_t plain = kv_domain_clone(d);
    ASSERT_NE(plain, nullptr);
    kv_domain_new_case(plain);
    ASSERT_EQ(kv_domain_compile(plain), 0);
    EXPECT_EQ(kv_domain_learn_class_tables(plain), kv_error_usage);
    EXPECT_EQ(kv_domain_learn_class_tables(b), kv_error_usage);
    EXPECT_EQ(kv_domain_delete(plain), 0);
    EXPECT_EQ(kv_domain_delete(d), 0);
    EXPECT_EQ(kv_cc_delete(cc), 0);
}

// One iteration with values missing at random on a network whose families
// sit inside larger cliques (A -> B -> D, A -> C -> D, D -> E): the learnt
// tables are the expected counts given each case, worked out by
// enumerating the joint distribution.
TEST(EmEnumerationTest, ExpectedCountsOverLargerCliques)
{
    const char *text = R"(
node A { states = ("0" "1"); }
node B { states = ("0" "1" "2"); }
node C { states = ("0" "1"); }
node D { states = ("0" "1"); }
node E { states = ("0" "1" "2"); }
potential (A) { data = (0.3 0.7); }
potential (B | A) { data = (0.2 0.5 0.3 0.6 0.1 0.3); }
potential (C | A) { data = (0.8 0.2 0.35 0.65); }
potential (D | B C) { data = (0.9 0.1 0.4 0.6 0.3 0.7 0.5 0.5 0.15 0.85 0.6 0.4); }
potential (E | D) { data = (0.2 0.3 0.5 0.7 0.2 0.1); }
)";
    kv_domain_t d = kv_net_parse_from_string(text, nullptr);
    ASSERT_NE(d, nullptr);
    const char *names[] = {"A", "B", "C", "D", "E"};
    kv_node_t n[5];
    size_t k[5];
    std::vector<std::vector<double>> cpt(5);
    for (int i = 0; i < 5; ++i) {
        n[i] = kv_domain_get_node_by_name(d, names[i]);
        k[i] = kv_node_get_number_of_states(n[i]);
        kv_table_t t = kv_node_get_table(n[i]);
        cpt[i].assign(kv_table_get_data(t), kv_table_get_data(t) + kv_table_get_size(t));
    }
    auto joint = [&](const int *x) {
        return cpt[0][x[0]] * cpt[1][x[0] * 3 + x[1]] * cpt[2][x[0] * 2 + x[2]] *
               cpt[3][(x[1] * 2 + x[2]) * 2 + x[3]] * cpt[4][x[3] * 3 + x[4]];
    };
    // Table index of each node's family entry.
    auto entry = [&](int i, const int *x) -> size_t {
        switch (i) {
        case 0: return size_t(x[0]);
        case 1: return size_t(x[0] * 3 + x[1]);
        case 2: return size_t(x[0] * 2 + x[2]);
        case 3: return size_t((x[1] * 2 + x[2]) * 2 + x[3]);
        default: return size_t(x[3] * 3 + x[4]);
        }
    };
    std::mt19937 rng(11);
    std::vector<std::vector<int>> cases;
    for (int c = 0; c < 60; ++c) {
        std::vector<int> v(5);
        for (int i = 0; i < 5; ++i)
            v[i] = rng() % 3 == 0 ? -1 : int(rng() % k[i]);
        cases.push_back(v);
        size_t id = kv_domain_new_case(d);
        for (int i = 0; i < 5; ++i)
            if (v[i] >= 0)
                kv_node_set_case_state(n[i], id, size_t(v[i]));
    }
    std::vector<std::vector<double>> expected(5);
    for (int i = 0; i < 5; ++i)
        expected[i].assign(cpt[i].size(), 0.0);
    for (const auto &v : cases) {
        double total = 0;
        std::vector<std::vector<double>> add(5);
        for (int i = 0; i < 5; ++i)
            add[i].assign(cpt[i].size(), 0.0);
        int x[5];
        for (x[0] = 0; x[0] < 2; ++x[0])
            for (x[1] = 0; x[1] < 3; ++x[1])
                for (x[2] = 0; x[2] < 2; ++x[2])
                    for (x[3] = 0; x[3] < 2; ++x[3])
                        for (x[4] = 0; x[4] < 3; ++x[4]) {
                            bool fits = true;
                            for (int i = 0; i < 5; ++i)
                                fits = fits && (v[i] < 0 || v[i] == x[i]);
                            if (!fits)
                                continue;
                            double p = joint(x);
                            total += p;
                            for (int i = 0; i < 5; ++i)
                                add[i][entry(i, x)] += p;
                        }
        for (int i = 0; i < 5; ++i)
            for (size_t e = 0; e < add[i].size(); ++e)
                expected[i][e] += add[i][e] / total;
    }
    for (int i = 0; i < 5; ++i) {
        kv_table_get_data(kv_node_get_experience_table(n[i]));
        for (size_t e = 0; e < expected[i].size(); e += k[i]) {
            double row = 0;
            for (size_t s = 0; s < k[i]; ++s)
                row += expected[i][e + s];
            for (size_t s = 0; s < k[i]; ++s)
                expected[i][e + s] /= row;
        }
    }
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_set_max_number_of_em_iterations(d, 1), 0);
    ASSERT_EQ(kv_domain_learn_tables(d), 0);
    for (int i = 0; i < 5; ++i) {
        double *learnt = kv_table_get_data(kv_node_get_table(n[i]));
        for (size_t e = 0; e < expected[i].size(); ++e)
            EXPECT_NEAR(learnt[e], expected[i][e], 1e-13) << names[i] << " " << e;
    }
    EXPECT_EQ(kv_domain_delete(d), 0);
}

// Running out of memory anywhere in a run reports no_memory and leaves no
// case's evidence entered; the run then succeeds once memory suffices.
TEST_F(EmTest, AllocationFailuresLeaveNoEvidence)
{
    add_cases({{0, 0, 1}, {-1, 1, 2}, {1, -1, 1}, {-1, 0, 1}, {1, 1, 1}});
    kv_node_get_experience_table(a);
    kv_node_get_experience_table(b);
    ASSERT_EQ(kv_domain_set_max_number_of_em_iterations(d, 1), 0);
    ASSERT_EQ(kv_domain_compile(d), 0);
    size_t points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_learn_tables(d);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ASSERT_EQ(status, kv_error_no_memory) << n;
        EXPECT_EQ(kv_node_evidence_is_entered(a), 0) << n;
        EXPECT_EQ(kv_node_evidence_is_entered(b), 0) << n;
        ++points;
    }
    EXPECT_GT(points, 5u);
}

// Recovery: cases drawn from alarm by the test's own sampler with a fifth
// of the entries hidden; EM with zero experience, started halfway between
// the truth and uniform rows, must land every well-supported entry within
// four standard errors of the truth (the start is as far off as 0.5 in
// places).  An entry's standard error counts the cases that inform it: the
// row's expected count n_j (the experience after the run) times the
// fraction in which the node itself is observed; 1 / n_j is added to the
// binomial variance so that entries near 0 or 1 are not judged by a
// vanishing one.
TEST(EmRecoveryTest, AlarmFromHiddenValues)
{
    std::string path = std::string(KELVO_SHARED_DIR) + "/nets/alarm.net";
    kv_domain_t truth = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    if (!truth)
        GTEST_SKIP() << "no " << path;
    kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    ASSERT_NE(d, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    const size_t cases = 20000;
#else
    const size_t cases = 100000;
#endif
    sample(truth, d, cases, 17, 0.2);
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        kv_table_t t = kv_node_get_table(n);
        double *v = kv_table_get_data(t);
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            v[i] = 0.5 * v[i] + 0.5 / double(kv_node_get_number_of_states(n));
        kv_node_touch_table(n);
        kv_node_get_experience_table(n);
    }
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_learn_tables(d), 0);
    size_t checked = 0;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        kv_node_t m = kv_domain_get_node_by_name(truth, kv_node_get_name(n));
        const double *learnt = kv_table_get_data(kv_node_get_table(n));
        const double *real = kv_table_get_data(kv_node_get_table(m));
        const double *experience = kv_table_get_data(kv_node_get_experience_table(n));
        size_t k = kv_node_get_number_of_states(n), rows = kv_table_get_size(kv_node_get_table(n)) / k;
        for (size_t j = 0; j < rows; ++j) {
            double nj = experience[j];
            if (nj < 50)
                continue;
            for (size_t x = 0; x < k; ++x) {
                double p = real[j * k + x];
                double se = std::sqrt((p * (1 - p) + 1 / nj) / (0.8 * nj));
                EXPECT_LE(std::fabs(learnt[j * k + x] - p), 4 * se)
                    << kv_node_get_name(n) << " row " << j << " state " << x << " n " << nj;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 300u);
    kv_domain_delete(d);
    kv_domain_delete(truth);
}
