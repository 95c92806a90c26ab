#include <algorithm>
#include <cmath>
#include <functional>

#include <pthread.h>

#include "../compile/compile_fixture.h"
#include "core/error.h"
#include "inference/propagate.h"
#include "table/parallel.h"

namespace {

// Evidence for the brute-force oracle: one weight vector per node (absent:
// all 1.0).
using Evidence = std::map<kv_node_s *, std::vector<double>>;

struct Oracle {
    std::vector<kv_node_t> nodes;
    // Calls f(weight, assignment) for every configuration.
    template <class F> void each(F &&f) const
    {
        std::map<kv_node_s *, size_t> s;
        for (kv_node_t n : nodes)
            s[n] = 0;
        for (;;) {
            double p = 1.0;
            for (kv_node_t n : nodes)
                p *= table_value(n->table, s);
            f(p, s);
            size_t k = nodes.size();
            for (; k-- > 0;) {
                if (++s[nodes[k]] < nodes[k]->number_of_states)
                    break;
                s[nodes[k]] = 0;
            }
            if (k == static_cast<size_t>(-1))
                return;
        }
    }
    static double weight(const Evidence &e, const std::map<kv_node_s *, size_t> &s, kv_node_s *skip = nullptr)
    {
        double w = 1.0;
        for (auto &[n, v] : e)
            if (n != skip)
                w *= v[s.at(n)];
        return w;
    }
    double probability(const Evidence &e) const
    {
        long double z = 0;
        each([&](double p, auto &s) { z += p * weight(e, s); });
        return double(z);
    }
    std::vector<double> posterior(kv_node_s *n, const Evidence &e, bool without_own = false) const
    {
        std::vector<double> b(n->number_of_states, 0.0);
        each([&](double p, auto &s) { b[s.at(n)] += p * weight(e, s, without_own ? n : nullptr); });
        double z = 0;
        for (double x : b)
            z += x;
        for (double &x : b)
            x /= z;
        return b;
    }
    std::vector<double> max_marginal(kv_node_s *n, const Evidence &e) const
    {
        std::vector<double> b(n->number_of_states, 0.0);
        double top = 0;
        each([&](double p, auto &s) {
            double x = p * weight(e, s);
            b[s.at(n)] = std::max(b[s.at(n)], x);
            top = std::max(top, x);
        });
        for (double &x : b)
            x /= top;
        return b;
    }
};

Evidence random_evidence(std::mt19937 &rng, const std::vector<kv_node_t> &nodes, int percent)
{
    Evidence e;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (kv_node_t n : nodes) {
        if (int(rng() % 100) >= percent)
            continue;
        std::vector<double> v(n->number_of_states, 0.0);
        if (rng() % 2) {
            v[rng() % n->number_of_states] = 1.0;
        } else {
            for (double &x : v)
                x = u(rng) < 0.2 ? 0.0 : u(rng);
            v[rng() % v.size()] = 0.5;
        }
        e[n] = v;
    }
    return e;
}

// New tables for the nodes with about 45% zero entries (logical relations).
void add_zeros(const std::vector<kv_node_t> &nodes, std::mt19937 &rng)
{
    for (kv_node_t n : nodes)
        fill_conditional(n, rng, 0.45);
}

void enter(const Evidence &e)
{
    for (auto &[n, v] : e)
        for (size_t s = 0; s < v.size(); ++s)
            ASSERT_EQ(kv_node_enter_finding(n, s, v[s]), 0);
}

} // namespace

class PropagateTest : public ::testing::Test {
  protected:
    void SetUp() override { d = kv_new_domain(); }
    void TearDown() override { kv_domain_delete(d); }
    kv_domain_t d;
};

TEST_F(PropagateTest, SumPropagationMatchesTheJoint)
{
    std::mt19937 rng(7);
    int checked = 0;
    for (int round = 0; round < 120; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 3 + round % 9, 30)};
        if (round >= 80)
            add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        Evidence e = random_evidence(rng, o.nodes, 30);
        enter(e);
        double pe = o.probability(e);
        int status = kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal);
        if (pe < 1e-300) {
            EXPECT_EQ(status, kv_error_inconsistency_or_underflow);
            kv_domain_delete(dom);
            continue;
        }
        ASSERT_EQ(status, 0) << round;
        ++checked;
        EXPECT_NEAR(kv_domain_get_normalization_constant(dom), pe, 1e-12 * pe) << round;
        EXPECT_NEAR(kv_domain_get_log_normalization_constant(dom), std::log(pe), 1e-10) << round;
        for (kv_node_t n : o.nodes) {
            std::vector<double> b = o.posterior(n, e);
            for (size_t s = 0; s < b.size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12) << "round " << round;
        }
        kv_domain_delete(dom);
    }
    EXPECT_GT(checked, 60);
}

TEST_F(PropagateTest, MaxPropagationGivesMaxMarginals)
{
    std::mt19937 rng(8);
    for (int round = 0; round < 80; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 3 + round % 8, 35)};
        if (round >= 40)
            add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        // Every other round a sum propagation of another case and one of
        // this case come first: the max propagation then starts from tables
        // propagated with the evidence from the initial potentials.
        if (round % 2) {
            enter(random_evidence(rng, o.nodes, 25));
            kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal);
            ASSERT_EQ(kv_domain_retract_findings(dom), 0);
        }
        Evidence e = random_evidence(rng, o.nodes, 25);
        enter(e);
        if (o.probability(e) < 1e-300) {
            kv_domain_delete(dom);
            continue;
        }
        if (round % 2) {
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
        }
        ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_max, kv_mode_normal), 0);
        EXPECT_EQ(kv_domain_equilibrium_is(dom, kv_equilibrium_max), 1);
        double top = 0.0;
        o.each([&](double p, auto &s) { top = std::max(top, p * Oracle::weight(e, s)); });
        EXPECT_NEAR(kv_domain_get_normalization_constant(dom), top, 1e-12 * top) << round;
        for (kv_node_t n : o.nodes) {
            std::vector<double> b = o.max_marginal(n, e);
            for (size_t s = 0; s < b.size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12) << "round " << round;
        }
        kv_domain_delete(dom);
    }
}

// With logical relations (zeros) in the tables, a node's own evidence can
// empty a message entry that the rest of the tree still needs for that
// node's belief; the propagation then fails with fast_retraction and resets
// the tree, keeping the evidence.  Whenever it succeeds the beliefs are
// exact.
TEST_F(PropagateTest, FastRetractionLeavesOutEachNodesOwnEvidence)
{
    std::mt19937 rng(9);
    int refused = 0, exact_with_zeros = 0;
    for (int round = 0; round < 100; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 3 + round % 8, 35)};
        bool zeros = round >= 40;
        if (zeros)
            add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        Evidence e = random_evidence(rng, o.nodes, 30);
        enter(e);
        double pe = o.probability(e);
        if (pe < 1e-300) {
            kv_domain_delete(dom);
            continue;
        }
        int status = kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_fast_retraction);
        if (zeros && status == kv_error_fast_retraction) {
            ++refused;
            EXPECT_EQ(kv_domain_evidence_to_propagate(dom), 1);
            for (kv_node_t n : o.nodes) {
                std::vector<double> b = o.posterior(n, {});
                for (size_t s = 0; s < b.size(); ++s)
                    EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12) << "round " << round;
            }
            kv_domain_delete(dom);
            continue;
        }
        ASSERT_EQ(status, 0) << round;
        exact_with_zeros += zeros;
        EXPECT_NEAR(kv_domain_get_normalization_constant(dom), pe, 1e-12 * pe) << round;
        for (kv_node_t n : o.nodes) {
            Evidence others = e;
            others.erase(n);
            if (o.probability(others) < 1e-300)
                continue;
            std::vector<double> b = o.posterior(n, e, true);
            for (size_t s = 0; s < b.size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12) << "round " << round;
        }
        // Back to normal mode: the evidence of every node counts again.
        ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
        for (kv_node_t n : o.nodes) {
            std::vector<double> b = o.posterior(n, e);
            for (size_t s = 0; s < b.size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12) << "round " << round;
        }
        // Fast retraction again, then normal mode without one finding: the
        // tables of the fast propagation hold it, so this starts afresh.
        if (!e.empty() && !zeros) {
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_fast_retraction), 0);
            kv_node_t n = e.begin()->first;
            ASSERT_EQ(kv_node_retract_findings(n), 0);
            e.erase(n);
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            EXPECT_NEAR(kv_domain_get_normalization_constant(dom), o.probability(e), 1e-12);
            for (kv_node_t m : o.nodes) {
                std::vector<double> b = o.posterior(m, e);
                for (size_t s = 0; s < b.size(); ++s)
                    EXPECT_NEAR(kv_node_get_belief(m, s), b[s], 1e-12) << "round " << round;
            }
        }
        kv_domain_delete(dom);
    }
    EXPECT_GT(refused, 5);
    EXPECT_GT(exact_with_zeros, 5);
}

TEST_F(PropagateTest, IncrementalEqualsFullPropagation)
{
    std::mt19937 rng(10);
    for (int round = 0; round < 60; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 4 + round % 8, 30)};
        if (round >= 40)
            add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        Evidence e;
        double previous = 1.0;
        for (kv_node_t n : o.nodes) {
            if (rng() % 3)
                continue;
            // Draw the finding from the current posterior, so that it is
            // possible; multiply the chain rule along.
            std::vector<double> b = o.posterior(n, e);
            std::discrete_distribution<size_t> pick(b.begin(), b.end());
            size_t s = pick(rng);
            ASSERT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12);
            double chain = previous * kv_node_get_belief(n, s);
            ASSERT_EQ(kv_node_select_state(n, s), 0);
            e[n] = std::vector<double>(n->number_of_states, 0.0);
            e[n][s] = 1.0;
            EXPECT_EQ(kv_node_evidence_to_propagate(n), 1);
            EXPECT_EQ(kv_domain_evidence_to_propagate(dom), 1);
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            EXPECT_EQ(kv_domain_evidence_to_propagate(dom), 0);
            previous = kv_domain_get_normalization_constant(dom);
            EXPECT_NEAR(previous, chain, 1e-12 * chain);
            for (kv_node_t m : o.nodes) {
                std::vector<double> p = o.posterior(m, e);
                for (size_t k = 0; k < p.size(); ++k)
                    EXPECT_NEAR(kv_node_get_belief(m, k), p[k], 1e-12) << round;
            }
        }
        // Retracting one finding needs the full reset and still gives the
        // posterior of the rest.
        if (!e.empty()) {
            kv_node_t n = e.begin()->first;
            ASSERT_EQ(kv_node_retract_findings(n), 0);
            EXPECT_EQ(kv_node_evidence_to_retract(n), 1);
            e.erase(n);
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            for (kv_node_t m : o.nodes) {
                std::vector<double> p = o.posterior(m, e);
                for (size_t k = 0; k < p.size(); ++k)
                    EXPECT_NEAR(kv_node_get_belief(m, k), p[k], 1e-12) << round;
            }
        }
        kv_domain_delete(dom);
    }
}

// A new case after retracting the last one starts from the initial
// potentials: beliefs, P(e) and the conflict must be those of the case on
// its own, also after a node table changed.
TEST_F(PropagateTest, NewCaseAfterRetractionStartsFromTheInitialTables)
{
    std::mt19937 rng(31);
    int checked = 0, resets = 0;
    for (int round = 0; round < 60; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 4 + round % 8, 30)};
        if (round >= 40)
            add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
            if (step == 2) {
                // New numbers in one table: the priors must follow.
                kv_node_t n = o.nodes[rng() % o.nodes.size()];
                double *data = kv_table_get_data(kv_node_get_table(n));
                size_t k = n->number_of_states, size = kv_table_get_size(kv_node_get_table(n));
                for (size_t i = 0; i < size; i += k) {
                    double x = 0.1 + 0.8 * std::uniform_real_distribution<double>(0, 1)(rng);
                    for (size_t j = 0; j < k; ++j)
                        data[i + j] = j == 0 ? x : (1.0 - x) / double(k - 1);
                }
                ASSERT_EQ(kv_node_touch_table(n), 0);
            }
            Evidence e = random_evidence(rng, o.nodes, 40);
            if (e.empty())
                continue;
            ASSERT_EQ(kv_domain_retract_findings(dom), 0);
            enter(e);
            double pe = o.probability(e);
            if (pe < 1e-300)
                continue;
            // A tree with evidence to retract starts again from its initial
            // tables, so its conflict is the items' prior probabilities over
            // the probability of them all.
            std::map<kv_junction_tree_s *, bool> reset;
            for (kv_node_t n : o.nodes)
                reset[n->junction_tree] = reset[n->junction_tree] || kv_node_evidence_to_retract(n) == 1;
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            ++checked;
            EXPECT_NEAR(kv_domain_get_normalization_constant(dom), pe, 1e-12 * pe);
            for (auto [jt, was_reset] : reset) {
                if (!was_reset)
                    continue;
                Evidence own;
                double conflict = 1.0;
                for (auto &[n, v] : e)
                    if (n->junction_tree == jt) {
                        own[n] = v;
                        conflict *= o.probability({{n, v}});
                    }
                conflict /= o.probability(own);
                EXPECT_NEAR(kv_jt_get_conflict(jt), conflict, 1e-12 * conflict);
                ++resets;
            }
            for (kv_node_t n : o.nodes) {
                std::vector<double> b = o.posterior(n, e);
                for (size_t s = 0; s < b.size(); ++s)
                    EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12);
            }
        }
        kv_domain_delete(dom);
    }
    EXPECT_GT(checked, 80);
    EXPECT_GT(resets, 60);
}

TEST_F(PropagateTest, ImpossibleEvidenceResetsTheTree)
{
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t b = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_set_number_of_states(a, 2);
    kv_node_set_number_of_states(b, 2);
    kv_node_add_parent(b, a);
    double *t = kv_table_get_data(kv_node_get_table(b));
    t[0] = 1, t[1] = 0, t[2] = 0, t[3] = 1; // b copies a
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << "nothing to do";
    kv_node_select_state(a, 0);
    kv_node_select_state(b, 1);
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal),
              kv_error_inconsistency_or_underflow);
    EXPECT_EQ(kv_node_get_entered_state(a), 0u) << "the evidence stays entered";
    EXPECT_EQ(kv_node_evidence_to_propagate(a), 1);
    EXPECT_EQ(kv_node_get_belief(a, 0), 0.5) << "prior beliefs after the reset";
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_domain_get_normalization_constant(d), 1.0);
    ASSERT_EQ(kv_node_retract_findings(b), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_EQ(kv_node_get_belief(b, 0), 1.0);
    EXPECT_EQ(kv_domain_get_normalization_constant(d), 0.5);
}

TEST_F(PropagateTest, EvidenceEntryRules)
{
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_set_number_of_states(a, 3);
    EXPECT_EQ(kv_node_enter_finding(a, 1, -0.5), kv_error_usage);
    EXPECT_EQ(kv_node_enter_finding(a, 1, NAN), kv_error_usage);
    EXPECT_EQ(kv_node_enter_finding(a, 3, 1.0), kv_error_usage);
    EXPECT_EQ(kv_node_enter_finding(a, 1, 0.0), 0);
    for (size_t s = 0; s < 3; ++s)
        kv_node_enter_finding(a, s, 1.0);
    EXPECT_EQ(kv_node_evidence_is_entered(a), 0) << "all 1.0 is no evidence";
    kv_node_select_state(a, 2);
    EXPECT_EQ(kv_node_is_instantiated(a), 1);
    EXPECT_EQ(kv_node_get_entered_state(a), 2u);
    kv_node_enter_finding(a, 0, 0.5);
    EXPECT_EQ(kv_node_likelihood_is_entered(a), 1);
    EXPECT_EQ(kv_node_is_instantiated(a), 0);
    EXPECT_EQ(kv_node_get_entered_state(a), static_cast<size_t>(-1));
    EXPECT_EQ(kv_node_get_entered_finding(a, 0), 0.5);
    EXPECT_EQ(kv_node_evidence_is_propagated(a), -1);
    EXPECT_EQ(kv_error_code(), kv_error_not_compiled);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_node_evidence_to_propagate(a), 1) << "evidence from before compilation";
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_EQ(kv_node_get_belief(a, 0), 0.5 / 1.5);
    EXPECT_EQ(kv_node_likelihood_is_propagated(a), 1);
    kv_node_select_state(a, 2);
    kv_node_select_state(a, 2);
    EXPECT_EQ(kv_domain_get_first_junction_tree(d)->evidence_to_propagate, 1u)
        << "the same selection twice counts once";
    EXPECT_EQ(kv_node_get_belief(nullptr, 0), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_propagate(d, static_cast<kv_equilibrium_t>(10), kv_mode_normal), kv_error_usage);
}

TEST_F(PropagateTest, CliqueRootGivesTheSameBeliefs)
{
    std::mt19937 rng(11);
    Oracle o{random_network(d, rng, 7, 40)};
    ASSERT_EQ(kv_domain_compile(d), 0);
    Evidence e = random_evidence(rng, o.nodes, 30);
    for (auto &[n, v] : e)
        v.assign(v.size(), 1.0), v[0] = 0.25;
    enter(e);
    kv_clique_t last = kv_domain_get_first_clique(d);
    while (kv_clique_get_next(last))
        last = kv_clique_get_next(last);
    ASSERT_EQ(kv_clique_propagate(last, kv_equilibrium_sum, kv_mode_normal), 0);
    for (kv_node_t n : o.nodes) {
        std::vector<double> b = o.posterior(n, e);
        for (size_t s = 0; s < b.size(); ++s)
            EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12);
    }
}

TEST_F(PropagateTest, JointMarginals)
{
    std::mt19937 rng(12);
    Oracle o{random_network(d, rng, 6, 30)};
    ASSERT_EQ(kv_domain_compile(d), 0);
    Evidence e = random_evidence(rng, o.nodes, 20);
    enter(e);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    kv_node_t pair[] = {o.nodes[0], o.nodes[5], nullptr};
    kv_table_t m = kv_domain_get_marginal(d, pair);
    ASSERT_NE(m, nullptr);
    std::vector<double> expected(m->size, 0.0);
    double z = o.probability(e);
    o.each([&](double p, auto &s) {
        expected[s.at(o.nodes[0]) * o.nodes[5]->number_of_states + s.at(o.nodes[5])] +=
            p * Oracle::weight(e, s) / z;
    });
    for (size_t i = 0; i < m->size; ++i)
        EXPECT_NEAR(m->discrete_data[i], expected[i], 1e-12);
    EXPECT_EQ(kv_table_delete(m), 0);
    kv_node_t repeated[] = {o.nodes[0], o.nodes[0], nullptr};
    EXPECT_EQ(kv_domain_get_marginal(d, repeated), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

// The posterior over a table's nodes given e, in the table's layout.
static std::vector<double> posterior_table(const Oracle &o, const Evidence &e, const kv_table_s *t)
{
    std::vector<double> x(t->size, 0.0);
    double z = o.probability(e);
    o.each([&](double p, auto &s) {
        size_t index = 0;
        for (size_t i = 0; i < t->discrete_count; ++i)
            index = index * t->nodes[i]->number_of_states + s.at(t->nodes[i]);
        x[index] += p * Oracle::weight(e, s) / z;
    });
    return x;
}

// Exact zeros where x has them, x to 1e-12 elsewhere.
static void expect_table(const kv_table_s *t, const std::vector<double> &x)
{
    for (size_t i = 0; i < t->size; ++i)
        if (x[i] == 0.0)
            EXPECT_EQ(t->discrete_data[i], 0.0) << i;
        else
            EXPECT_NEAR(t->discrete_data[i], x[i], 1e-12) << i;
}

// Propagations of hard evidence leave the entries against it alone until a
// caller reads those tables: joint marginals and clique tables handed out
// must hold exact zeros there and the posterior elsewhere, in later cases too.
TEST_F(PropagateTest, TablesReadByCallersHoldTheZerosOfHardEvidence)
{
    std::mt19937 rng(44);
    int zeros = 0;
    for (int round = 0; round < 30; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 5 + round % 6, 40)};
        if (round >= 20)
            add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
            Evidence e;
            for (kv_node_t n : o.nodes)
                if (rng() % 3 == 0) {
                    e[n] = std::vector<double>(n->number_of_states, 0.0);
                    e[n][rng() % n->number_of_states] = 1.0;
                }
            ASSERT_EQ(kv_domain_retract_findings(dom), 0);
            enter(e);
            if (o.probability(e) < 1e-300)
                continue;
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            if (step == 1) {
                kv_node_t pair[] = {o.nodes[0], o.nodes[1], nullptr};
                if (o.nodes[0]->junction_tree != o.nodes[1]->junction_tree)
                    continue;
                kv_table_t m = kv_domain_get_marginal(dom, pair);
                ASSERT_NE(m, nullptr);
                expect_table(m, posterior_table(o, e, m));
                EXPECT_EQ(kv_table_delete(m), 0);
            }
            if (step >= 2) {
                for (kv_clique_t c = dom->first_clique; c; c = c->next) {
                    kv_table_t t = kv_clique_get_probability_table(c);
                    std::vector<double> x = posterior_table(o, e, t);
                    zeros += int(std::count(x.begin(), x.end(), 0.0));
                    expect_table(t, x);
                }
            }
        }
        kv_domain_delete(dom);
    }
    EXPECT_GT(zeros, 100);
}

// With threads on every table operation that can split, the sliced and the
// threaded kernels mix within one propagation; the results must not change.
TEST_F(PropagateTest, ThreadedPropagationMatchesTheJoint)
{
    std::mt19937 rng(77);
    int checked = 0;
    size_t share = kv::set_minimum_thread_share(1);
    for (int round = 0; round < 30; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 5 + round % 7, 40)};
        ASSERT_EQ(kv_domain_set_concurrency_level(dom, 2 + round % 3), 0);
        ASSERT_EQ(kv_domain_set_grain_size(dom, 1), 0);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        for (int step = 0; step < 3; ++step) {
            SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
            Evidence e = random_evidence(rng, o.nodes, 30);
            ASSERT_EQ(kv_domain_retract_findings(dom), 0);
            enter(e);
            double pe = o.probability(e);
            if (pe < 1e-300)
                continue;
            kv_equilibrium_t eq = step == 2 ? kv_equilibrium_max : kv_equilibrium_sum;
            kv_evidence_mode_t mode = step == 1 ? kv_mode_fast_retraction : kv_mode_normal;
            ASSERT_EQ(kv_domain_propagate(dom, eq, mode), 0);
            ++checked;
            for (kv_node_t n : o.nodes) {
                std::vector<double> b = eq == kv_equilibrium_max ? o.max_marginal(n, e)
                                        : o.posterior(n, e, mode == kv_mode_fast_retraction);
                for (size_t s = 0; s < b.size(); ++s)
                    EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12);
            }
        }
        kv_domain_delete(dom);
    }
    kv::set_minimum_thread_share(share);
    EXPECT_GT(checked, 60);
}

// Tables saved to memory after a propagation of hard evidence hold the zeros
// of that evidence: a reset brings them back whole.
TEST_F(PropagateTest, TablesSavedAfterHardEvidenceHoldItsZeros)
{
    std::mt19937 rng(21);
    for (int round = 0; round < 10; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 6, 40)};
        ASSERT_EQ(kv_domain_compile(dom), 0);
        Evidence e;
        for (kv_node_t n : o.nodes)
            if (rng() % 3 == 0) {
                e[n] = std::vector<double>(n->number_of_states, 0.0);
                e[n][rng() % n->number_of_states] = 1.0;
            }
        enter(e);
        if (e.empty() || o.probability(e) < 1e-300) {
            kv_domain_delete(dom);
            continue;
        }
        ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
        ASSERT_EQ(kv_domain_save_to_memory(dom), 0);
        ASSERT_EQ(kv_domain_retract_findings(dom), 0);
        enter(random_evidence(rng, o.nodes, 30));
        kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal);
        ASSERT_EQ(kv_domain_initialize(dom), 0);
        for (kv_clique_t c = dom->first_clique; c; c = c->next) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            kv_table_t t = kv_clique_get_probability_table(c);
            expect_table(t, posterior_table(o, e, t));
        }
        kv_domain_delete(dom);
    }
}

// A -> B <- C -> D <- E -> F <- A: the moral graph's triangle A, C, E is a
// clique between three others, and it holds no node table when the roots'
// tables go elsewhere.  New cases start from the initial potentials, where
// such a clique counts as ones until its first update reaches it.
TEST_F(PropagateTest, CliqueWithoutPotentialsInANewCase)
{
    std::mt19937 rng(5);
    std::vector<kv_node_t> n;
    for (int i = 0; i < 6; ++i) {
        n.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete));
        ASSERT_EQ(kv_node_set_number_of_states(n.back(), i % 2 ? 2 : 3), 0);
    }
    for (auto [child, parent] : {std::pair{1, 0}, {1, 2}, {3, 2}, {3, 4}, {5, 4}, {5, 0}})
        ASSERT_EQ(kv_node_add_parent(n[size_t(child)], n[size_t(parent)]), 0);
    for (kv_node_t x : n)
        fill_conditional(x, rng, 0.1);
    Oracle o{n};
    ASSERT_EQ(kv_domain_compile(d), 0);
    int without = 0;
    for (kv_clique_s *c = d->first_clique; c; c = c->next) {
        bool has = false;
        for (kv_node_t x : n)
            has = has || _kv_control_big(x->potential_control) == c->probability_table;
        without += !has;
    }
    ASSERT_EQ(without, 1);
    int checked = 0;
    for (int step = 0; step < 12; ++step) {
        Evidence e = random_evidence(rng, o.nodes, 40);
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        enter(e);
        double pe = o.probability(e);
        if (e.empty() || pe < 1e-300)
            continue;
        ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
        ++checked;
        EXPECT_NEAR(kv_domain_get_normalization_constant(d), pe, 1e-12 * pe) << step;
        for (kv_node_t x : o.nodes) {
            std::vector<double> b = o.posterior(x, e);
            for (size_t s = 0; s < b.size(); ++s)
                EXPECT_NEAR(kv_node_get_belief(x, s), b[s], 1e-12) << step;
        }
    }
    EXPECT_GT(checked, 6);
}

// D1 -> C -> D2 with U(C, D2) = (0 10 / 20 30): C follows D1 with
// (0.9 0.1) or (0.2 0.8).  Expected utilities are worked by hand: an open
// decision averages uniformly in the probability part and maximises in the
// utility part; each option's value is divided by its probability.
TEST_F(PropagateTest, ExpectedUtilitiesWithChosenOptions)
{
    auto node = [&](kv_node_category_t category, const char *name, size_t states) {
        kv_node_t n = kv_domain_new_node(d, category, kv_kind_discrete);
        EXPECT_EQ(kv_node_set_name(n, name), 0);
        if (states) {
            EXPECT_EQ(kv_node_set_number_of_states(n, states), 0);
        }
        return n;
    };
    kv_node_t d1 = node(kv_category_decision, "D1", 2);
    kv_node_t c = node(kv_category_chance, "C", 2);
    kv_node_t d2 = node(kv_category_decision, "D2", 2);
    kv_node_t u = node(kv_category_utility, "U", 0);
    ASSERT_EQ(kv_node_add_parent(c, d1), 0);
    ASSERT_EQ(kv_node_add_parent(d2, c), 0);
    ASSERT_EQ(kv_node_add_parent(u, d2), 0);
    ASSERT_EQ(kv_node_add_parent(u, c), 0);
    double *t = kv_table_get_data(kv_node_get_table(c));
    t[0] = 0.9, t[1] = 0.1, t[2] = 0.2, t[3] = 0.8;
    double *v = kv_table_get_data(kv_node_get_table(u));
    v[0] = 0, v[1] = 10, v[2] = 20, v[3] = 30;
    ASSERT_EQ(kv_domain_compile(d), 0);
    auto propagate = [&] { ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0); };

    // Nothing chosen: D2 sees C's prior under the uniform policy for D1.
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d1, 0), 0.9 * 10 + 0.1 * 30);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d1, 1), 0.2 * 10 + 0.8 * 30);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 0), 0.55 * 0 + 0.45 * 20);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 1), 0.55 * 10 + 0.45 * 30);

    // D1 chosen as its second option: the other option has probability 0
    // and keeps its computed value 0.
    ASSERT_EQ(kv_node_select_state(d1, 1), 0);
    propagate();
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d1, 0), 0.0);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d1, 1), 0.2 * 10 + 0.8 * 30);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 0), 0.2 * 0 + 0.8 * 20);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 1), 0.2 * 10 + 0.8 * 30);
    EXPECT_DOUBLE_EQ(kv_node_get_belief(c, 1), 0.8);
    EXPECT_DOUBLE_EQ(kv_domain_get_normalization_constant(d), 1.0) << "a decision is not evidence";

    // C observed as well: D2's options are worth their utilities, and P(e)
    // is C's probability under the chosen option.
    ASSERT_EQ(kv_node_select_state(c, 1), 0);
    propagate();
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 0), 20.0);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 1), 30.0);
    EXPECT_DOUBLE_EQ(kv_domain_get_normalization_constant(d), 0.8);

    // D1 open again with C observed: both options lead to the best D2, 30.
    ASSERT_EQ(kv_node_retract_findings(d1), 0);
    propagate();
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d1, 0), 30.0);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d1, 1), 30.0);
    EXPECT_DOUBLE_EQ(kv_node_get_expected_utility(d2, 1), 30.0);
    EXPECT_DOUBLE_EQ(kv_domain_get_normalization_constant(d), 0.5 * 0.1 + 0.5 * 0.8);
}

// Structural zeros: with every clique in its sparse form, new cases, added
// findings, max and fast-retraction propagations in between, a changed
// table, saved memory tables, joint marginals and handed-out clique tables
// all give the joint's numbers, with exact zeros where the joint has them.
namespace {
struct SparseLimits {
    std::pair<size_t, double> previous = kv::set_sparse_limits(1, 1.0);
    std::pair<size_t, size_t> flat = kv::set_flat_limits(0, 0); // small trees would run flat
    ~SparseLimits()
    {
        kv::set_sparse_limits(previous.first, previous.second);
        kv::set_flat_limits(flat.first, flat.second);
    }
};

size_t sparse_cliques(kv_domain_t dom)
{
    size_t n = 0;
    for (kv_clique_t c = dom->first_clique; c; c = c->next)
        n += c->probability_table->sparse != nullptr;
    return n;
}

void expect_posteriors(const Oracle &o, const Evidence &e, kv_domain_t dom)
{
    double pe = o.probability(e);
    EXPECT_NEAR(kv_domain_get_normalization_constant(dom), pe, 1e-12 * pe);
    for (kv_node_t n : o.nodes) {
        std::vector<double> b = o.posterior(n, e);
        for (size_t s = 0; s < b.size(); ++s)
            EXPECT_NEAR(kv_node_get_belief(n, s), b[s], 1e-12) << kv_node_get_name(n);
    }
}

// A hard finding on an unobserved node, drawn from its posterior.
void add_finding(const Oracle &o, Evidence &e, std::mt19937 &rng)
{
    for (kv_node_t n : o.nodes) {
        if (e.count(n) || rng() % 2)
            continue;
        std::vector<double> b = o.posterior(n, e);
        std::discrete_distribution<size_t> pick(b.begin(), b.end());
        e[n] = std::vector<double>(n->number_of_states, 0.0);
        e[n][pick(rng)] = 1.0;
        enter({{n, e[n]}});
        return;
    }
}
} // namespace

TEST_F(PropagateTest, SparseCliquesGiveTheJointsNumbers)
{
    SparseLimits limits;
    std::mt19937 rng(2027);
    int sparse_rounds = 0, checked = 0;
    for (int round = 0; round < 24; ++round) {
        kv_domain_t dom = kv_new_domain();
        Oracle o{random_network(dom, rng, 5 + round % 6, 40)};
        add_zeros(o.nodes, rng);
        ASSERT_EQ(kv_domain_compile(dom), 0);
        EXPECT_EQ(sparse_cliques(dom), 0u); // built by the first propagation
        for (int step = 0; step < 8; ++step) {
            SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
            Evidence e = random_evidence(rng, o.nodes, 30);
            ASSERT_EQ(kv_domain_retract_findings(dom), 0);
            if (step == 4) {
                // New numbers, new zeros: the sparse form follows the tables.
                kv_node_t n = o.nodes[rng() % o.nodes.size()];
                fill_conditional(n, rng, 0.45);
                ASSERT_EQ(kv_node_touch_table(n), 0);
            }
            enter(e);
            if (o.probability(e) < 1e-300) {
                EXPECT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal),
                          kv_error_inconsistency_or_underflow);
                continue;
            }
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            sparse_rounds += step == 0 && sparse_cliques(dom) > 0;
            expect_posteriors(o, e, dom);
            ++checked;
            add_finding(o, e, rng);
            if (o.probability(e) < 1e-300)
                continue;
            if (step == 2) {
                // Whole tables in between, then the sparse form again.
                ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_max, kv_mode_normal), 0);
                for (kv_node_t n : o.nodes) {
                    std::vector<double> m = o.max_marginal(n, e);
                    for (size_t s = 0; s < m.size(); ++s)
                        EXPECT_NEAR(kv_node_get_belief(n, s), m[s], 1e-12);
                }
            }
            ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            expect_posteriors(o, e, dom);
            if (step == 6) {
                // Fast retraction over whole tables, then normal mode again.
                int status = kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_fast_retraction);
                ASSERT_TRUE(status == 0 || status == kv_error_fast_retraction) << status;
                for (kv_node_t n : o.nodes) {
                    if (status)
                        break;
                    Evidence others = e;
                    others.erase(n);
                    if (o.probability(others) < 1e-300)
                        continue;
                    std::vector<double> b = o.posterior(n, e, true);
                    for (size_t k = 0; k < b.size(); ++k)
                        EXPECT_NEAR(kv_node_get_belief(n, k), b[k], 1e-12) << kv_node_get_name(n);
                }
                add_finding(o, e, rng);
                if (o.probability(e) < 1e-300)
                    continue;
                ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
                expect_posteriors(o, e, dom);
            }
            if (step == 3 && o.nodes[0]->junction_tree == o.nodes[1]->junction_tree) {
                kv_node_t pair[] = {o.nodes[0], o.nodes[1], nullptr};
                kv_table_t m = kv_domain_get_marginal(dom, pair);
                ASSERT_NE(m, nullptr);
                expect_table(m, posterior_table(o, e, m));
                EXPECT_EQ(kv_table_delete(m), 0);
            }
            if (step == 5) {
                // The saved tables come back with the reset; the sparse form
                // takes them up again.
                // The tables of this case are saved; initialising retracts
                // the findings but brings those tables back, so a further
                // finding f gives the posterior given both and P(f | e).
                ASSERT_EQ(kv_domain_save_to_memory(dom), 0);
                ASSERT_EQ(kv_domain_initialize(dom), 0);
                double pe = o.probability(e);
                Evidence before = e;
                add_finding(o, e, rng);
                Evidence f;
                for (auto &[n, v] : e)
                    if (!before.count(n))
                        f[n] = v;
                // Without the saved tables, a reset of trees whose tables
                // are marked changed goes back to the network's own priors
                // (a tree that still holds the restored tables and no
                // evidence would otherwise keep them).
                auto forget = [&] {
                    ASSERT_EQ(kv_domain_reclaim_memory_tables(dom), 0);
                    for (kv_node_t n : o.nodes) {
                        ASSERT_EQ(kv_node_touch_table(n), 0);
                    }
                    ASSERT_EQ(kv_domain_initialize(dom), 0);
                };
                if (f.empty() || o.probability(e) < 1e-300) {
                    forget();
                    continue;
                }
                ASSERT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
                double pf = o.probability(e) / pe;
                EXPECT_NEAR(kv_domain_get_normalization_constant(dom), pf, 1e-12 * pf);
                for (kv_node_t n : o.nodes) {
                    std::vector<double> b = o.posterior(n, e);
                    for (size_t k = 0; k < b.size(); ++k)
                        EXPECT_NEAR(kv_node_get_belief(n, k), b[k], 1e-12);
                }
                forget();
            }
            if (step == 7)
                for (kv_clique_t c = dom->first_clique; c; c = c->next) {
                    kv_table_t t = kv_clique_get_probability_table(c);
                    expect_table(t, posterior_table(o, e, t));
                }
        }
        kv_domain_delete(dom);
    }
    EXPECT_GT(sparse_rounds, 15);
    EXPECT_GT(checked, 100);
}

// The sparse form is optional: when building it runs out of memory at any
// allocation, the propagation still succeeds or reports no_memory, and the
// beliefs are right either way.
TEST_F(PropagateTest, SparseFormOutOfMemory)
{
    SparseLimits limits;
    std::mt19937 rng(88);
    Oracle o{random_network(d, rng, 8, 40)};
    add_zeros(o.nodes, rng);
    Evidence e;
    e[o.nodes[7]] = std::vector<double>(o.nodes[7]->number_of_states, 0.0);
    e[o.nodes[7]][1] = 1.0;
    double pe = o.probability(e);
    ASSERT_GT(pe, 0.0);
    long k = 1;
    int built = 0;
    for (bool pending = false; !pending; ++k) {
        SCOPED_TRACE(testing::Message() << "allocation " << k);
        ASSERT_EQ(kv_domain_compile(d), 0);
        enter(e);
        kv::fail_allocation_after(k);
        int status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        pending = kv::allocation_failure_pending();
        kv::fail_allocation_after(0);
        ASSERT_TRUE(status == 0 || status == kv_error_no_memory) << status;
        if (status) {
            ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
        }
        expect_posteriors(o, e, d);
        built += sparse_cliques(d) > 0;
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        ASSERT_EQ(kv_domain_uncompile(d), 0);
    }
    EXPECT_GT(k, 10);
    EXPECT_GT(built, 5);
}

// Large sparse cliques split their work among threads in fixed chunks: the
// beliefs and P(e) are the same bit for bit at every concurrency level, and
// those of the whole tables to 1e-12.
TEST_F(PropagateTest, SparseCliquesAcrossConcurrencyLevels)
{
    size_t share = kv::set_minimum_thread_share(1);
    auto run = [](int level, bool sparse, size_t &sparse_count) {
        auto previous = sparse ? kv::set_sparse_limits(1, 1.0) : kv::set_sparse_limits(size_t(-1), 0.0);
        auto flat = kv::set_flat_limits(0, 0);
        std::mt19937 rng(3);
        kv_domain_t dom = kv_new_domain();
        std::vector<kv_node_t> n;
        for (int i = 0; i < 6; ++i) {
            n.push_back(kv_domain_new_node(dom, kv_category_chance, kv_kind_discrete));
            EXPECT_EQ(kv_node_set_number_of_states(n.back(), 10), 0);
        }
        for (int j = 1; j < 5; ++j) // one clique of A..E, 100,000 entries
            for (int i = 0; i < j; ++i)
                EXPECT_EQ(kv_node_add_parent(n[j], n[i]), 0);
        EXPECT_EQ(kv_node_add_parent(n[5], n[3]), 0);
        EXPECT_EQ(kv_node_add_parent(n[5], n[4]), 0);
        for (kv_node_t x : n)
            fill_conditional(x, rng, 0.2);
        EXPECT_EQ(kv_domain_set_concurrency_level(dom, level), 0);
        EXPECT_EQ(kv_domain_compile(dom), 0);
        std::vector<double> out;
        for (int step = 0; step < 3; ++step) {
            EXPECT_EQ(kv_domain_retract_findings(dom), 0);
            EXPECT_EQ(kv_node_select_state(n[5], size_t(step)), 0);
            for (size_t s = 0; s < 10; ++s)
                EXPECT_EQ(kv_node_enter_finding(n[0], s, 0.1 * double(s + step)), 0);
            EXPECT_EQ(kv_domain_propagate(dom, kv_equilibrium_sum, kv_mode_normal), 0);
            out.push_back(kv_domain_get_normalization_constant(dom));
            for (kv_node_t x : n)
                for (size_t s = 0; s < 10; ++s)
                    out.push_back(kv_node_get_belief(x, s));
        }
        sparse_count = sparse_cliques(dom);
        kv_domain_delete(dom);
        kv::set_sparse_limits(previous.first, previous.second);
        kv::set_flat_limits(flat.first, flat.second);
        return out;
    };
    size_t count = 0, none = 0;
    std::vector<double> whole = run(1, false, none), one = run(1, true, count);
    EXPECT_EQ(none, 0u);
    EXPECT_GT(count, 0u);
    ASSERT_EQ(one.size(), whole.size());
    for (size_t i = 0; i < one.size(); ++i)
        EXPECT_NEAR(one[i], whole[i], 1e-12 * std::max(1.0, whole[i])) << i;
    for (int level : {2, 4}) {
        size_t started = kv::pooled_shares();
        EXPECT_EQ(run(level, true, count), one) << level;
        EXPECT_GT(kv::pooled_shares(), started) << level;
    }
    kv::set_minimum_thread_share(share);
}

// Normalisation constants: the usable range, underflow, overflow and NaN,
// and negative ones, which carry the code of the failure that made them.
TEST(NormFactorTest, EveryRangeHasItsCode)
{
    EXPECT_EQ(_kv_check_norm_factor(1.0), 0);
    EXPECT_EQ(_kv_check_norm_factor(2.2250738585072014e-308), 0);
    EXPECT_EQ(_kv_check_norm_factor(0.0), kv_error_inconsistency_or_underflow);
    EXPECT_EQ(_kv_check_norm_factor(1e-310), kv_error_inconsistency_or_underflow);
    EXPECT_EQ(_kv_check_norm_factor(1.7976931348623157e308), kv_error_overflow);
    EXPECT_EQ(_kv_check_norm_factor(HUGE_VAL), kv_error_overflow);
    EXPECT_EQ(_kv_check_norm_factor(std::nan("")), kv_error_overflow);
    EXPECT_EQ(kv_error_code(), kv_error_overflow);
    _kv_set_error_code(kv_error_none);
    EXPECT_EQ(_kv_check_norm_factor(-0.25), kv_error_negative_probability);
    EXPECT_EQ(kv_error_code(), kv_error_negative_probability);
    _kv_set_error_code(kv_error_no_memory);
    EXPECT_EQ(_kv_check_norm_factor(-1.0), kv_error_no_memory);
}

// A table whose entries sum to a negative number cannot be propagated.
TEST_F(PropagateTest, NegativeTablesFailToPropagate)
{
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_set_number_of_states(a, 2);
    double *t = kv_table_get_data(kv_node_get_table(a));
    t[0] = -0.5, t[1] = 0.2;
    EXPECT_EQ(kv_domain_compile(d), kv_error_negative_probability);
    EXPECT_EQ(kv_error_code(), kv_error_negative_probability);
}

namespace {

// A chain X1 -> X2 -> ... -> Xn of binary nodes, each copying its parent
// with probability 0.9, X1 uniform; Xn observed in state 0.
struct ChainRun {
    size_t n;
    double first = -1.0, pe = -1.0;
    int status = -1;
};

void *run_chain(void *arg)
{
    ChainRun &r = *static_cast<ChainRun *>(arg);
    kv_domain_t d = kv_new_domain();
    kv_node_t previous = nullptr, last = nullptr, first = nullptr;
    for (size_t i = 0; i < r.n; ++i) {
        kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_number_of_states(x, 2);
        if (previous)
            kv_node_add_parent(x, previous);
        double *t = kv_table_get_data(kv_node_get_table(x));
        if (previous)
            t[0] = 0.9, t[1] = 0.1, t[2] = 0.1, t[3] = 0.9;
        else
            t[0] = t[1] = 0.5, first = x;
        previous = last = x;
    }
    r.status = kv_domain_compile(d);
    if (!r.status) {
        kv_node_select_state(last, 0);
        r.status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        r.first = kv_node_get_belief(first, 0);
        r.pe = kv_domain_get_normalization_constant(d);
    }
    kv_domain_delete(d);
    return nullptr;
}

} // namespace

// Compilation and propagation walk trees without recursion: a chain of
// 30000 cliques compiles and propagates on a thread with 256 KiB of stack.
TEST(DeepTreeTest, LongChainOnASmallStack)
{
    ChainRun r{30000};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, run_chain, &r), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(r.status, 0) << kv_error_name(kv_error_code());
    // P(X1 = Xn) = (1 + 0.8^(n-1)) / 2, and X1 is uniform.
    double agree = (1.0 + std::pow(0.8, double(r.n - 1))) / 2.0;
    EXPECT_NEAR(r.first, agree, 1e-12);
    EXPECT_NEAR(r.pe, 0.5, 1e-12);
}

// Compilation sizes the scratch buffer for every marginal that propagation
// takes: it never moves under a propagation.
TEST_F(PropagateTest, ScratchBufferStaysPut)
{
    std::mt19937 rng(31);
    Oracle o{random_network(d, rng, 9, 45)};
    ASSERT_EQ(kv_domain_compile(d), 0);
    const double *buffer = d->scratch_buffer;
    size_t size = d->scratch_buffer_size;
    ASSERT_NE(buffer, nullptr);
    for (int step = 0; step < 6; ++step) {
        ASSERT_EQ(kv_domain_retract_findings(d), 0);
        enter(random_evidence(rng, o.nodes, 40));
        kv_domain_propagate(d, step % 3 == 2 ? kv_equilibrium_max : kv_equilibrium_sum,
                            step % 2 ? kv_mode_fast_retraction : kv_mode_normal);
        EXPECT_EQ(d->scratch_buffer, buffer) << step;
        EXPECT_EQ(d->scratch_buffer_size, size) << step;
    }
}
