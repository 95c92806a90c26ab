#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

#include "table/control.h"
#include "table/operations.h"
#include "table/parallel.h"
#include "table_fixture.h"

using OperationsTest = TableFixture;

TEST_F(OperationsTest, DivideLeavesEntriesOverZeroDivisors)
{
    kv_node_t a = discrete(3);
    kv_table_s *big = table({a}), *sep = table({a});
    fill(big, {0.2, 0.0, 0.5});
    fill(sep, {0.4, 0.0, 0.0});
    ASSERT_EQ(_kv_divide_tables(big, sep), 0);
    EXPECT_EQ(data(big), (std::vector<double>{0.5, 0.0, 0.5}));
}

TEST_F(OperationsTest, MaxOntoNothingKeepsTheFirstMaximum)
{
    kv_node_t a = discrete(2);
    kv_table_s *big = table({a}), *none = table({});
    fill(big, {0.3, 0.3});
    ASSERT_EQ(_kv_marginalize_tables(big, none, kv_equilibrium_max, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(none), std::vector<double>{0.3});
    fill(big, {-2.0, -1.0});
    ASSERT_EQ(_kv_marginalize_tables(big, none, kv_equilibrium_max, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(none), std::vector<double>{-1.0}) << "negative entries keep their maximum";
}

TEST_F(OperationsTest, SumTransposesAndTakesRowSums)
{
    kv_node_t p = discrete(2), q = discrete(3);
    kv_table_s *big = table({p, q}), *qp = table({q, p}), *rows = table({p});
    fill(big, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(_kv_marginalize_tables(big, qp, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(qp), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    ASSERT_EQ(_kv_marginalize_tables(big, rows, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(rows), (std::vector<double>{6, 15}));
    kv_table_s *all = table({});
    ASSERT_EQ(_kv_marginalize_tables(big, all, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(all), std::vector<double>{21});
}

TEST_F(OperationsTest, PairsMultiplyProbabilitiesAndAddUtilities)
{
    kv_node_t a = discrete(2), b = discrete(2);
    kv_table_s *bp = table({a, b}), *bu = table({a, b}, KV_UTILITY);
    kv_table_s *sp = table({b}), *su = table({b}, KV_UTILITY);
    fill(bp, {0.1, 0.2, 0.3, 0.4});
    fill(bu, {1, 2, 3, 4});
    fill(sp, {2, 10});
    fill(su, {100, 1000});
    kv_control_s *c = _kv_create_control(bp, bu, sp, su);
    ASSERT_EQ(_kv_combine(c), 0);
    EXPECT_EQ(data(bp), (std::vector<double>{0.1 * 2, 0.2 * 10, 0.3 * 2, 0.4 * 10}));
    EXPECT_EQ(data(bu), (std::vector<double>{101, 1002, 103, 1004}));
    _kv_free_control(c);
    EXPECT_EQ(_kv_combine_tables(bu, su), 0);
    EXPECT_EQ(data(bu), (std::vector<double>{201, 2002, 203, 2004}));
    EXPECT_EQ(_kv_combine_tables(bp, su), kv_error_usage);
}

TEST_F(OperationsTest, TableGetMarginal)
{
    kv_node_t a = discrete(2), b = discrete(3);
    kv_table_s *t = table({a, b});
    fill(t, {1, 2, 3, 4, 5, 6});
    kv_node_t nodes[] = {b, nullptr};
    kv_table_s *m = _kv_table_get_marginal(t, nodes, kv_equilibrium_sum, kv_mode_normal, 0);
    ASSERT_NE(m, nullptr);
    owned.push_back(m);
    EXPECT_EQ(m->number, 0u) << "caller-owned";
    EXPECT_EQ(m->role, KV_ROLE_DERIVED);
    EXPECT_EQ(data(m), (std::vector<double>{5, 7, 9}));
    kv_node_t same[] = {a, b, nullptr};
    kv_table_s *clone = _kv_table_get_marginal(t, same, kv_equilibrium_sum, kv_mode_normal, 0);
    owned.push_back(clone);
    EXPECT_EQ(data(clone), data(t));
    kv_node_t foreign[] = {discrete(2), nullptr};
    EXPECT_EQ(_kv_table_get_marginal(t, foreign, kv_equilibrium_sum, kv_mode_normal, 0), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(OperationsTest, OutMarginalizationNeedsACompiledDiscreteDomain)
{
    kv_node_t a = discrete(2);
    kv_table_s *big = table({a}), *none = table({});
    EXPECT_EQ(_kv_marginalize_tables(big, none, kv_equilibrium_sum, kv_mode_fast_retraction, 0),
              kv_error_not_compiled);
    kv_node_t x = continuous();
    kv_table_s *cg = table({a, x});
    d->is_compiled = 1;
    EXPECT_EQ(_kv_marginalize_tables(cg, none, kv_equilibrium_sum, kv_mode_fast_retraction, 0),
              kv_error_usage);
    d->is_compiled = 0;
}

// ---------------------------------------------------------------------------
// Every kernel against a naive reference, over random tables, at several
// concurrency levels with a grain small enough that the work really splits.

namespace {

struct Case {
    std::vector<kv_node_t> big, small;
};

double random_entry(std::mt19937 &rng)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    double x = u(rng);
    return x < 0.15 ? 0.0 : x; // zeros exercise the divide rule
}

} // namespace

class KernelTest : public TableFixture {
  protected:
    void SetUp() override
    {
        TableFixture::SetUp();
        for (int i = 0; i < 7; ++i)
            nodes.push_back(discrete(1 + (i * 5) % 4 + (i == 3)));
        // states: 1, 2, 3, 5, 1, 2, 3
        nodes.push_back(discrete(3, kv_category_decision));
    }
    Case random_case(std::mt19937 &rng, bool with_decision)
    {
        std::vector<kv_node_t> pool(nodes.begin(), nodes.end() - 1);
        if (with_decision)
            pool.push_back(nodes.back());
        std::shuffle(pool.begin(), pool.end(), rng);
        size_t nb = 2 + rng() % (pool.size() - 1);
        Case c;
        c.big.assign(pool.begin(), pool.begin() + nb);
        std::vector<kv_node_t> sub = c.big;
        std::shuffle(sub.begin(), sub.end(), rng);
        c.small.assign(sub.begin(), sub.begin() + rng() % (nb + 1));
        return c;
    }
    // Entered hard findings (weight w on one state) on about one node in
    // one_in; gives the chosen states.
    std::map<kv_node_s *, size_t> hard_findings(std::mt19937 &rng, unsigned one_in, double w)
    {
        std::map<kv_node_s *, size_t> chosen;
        for (kv_node_t n : nodes) {
            std::free(n->entered_finding);
            n->entered_finding = nullptr;
            if (n->number_of_states > 1 && rng() % one_in == 0) {
                size_t s = rng() % n->number_of_states;
                n->entered_finding = kv::allocate_array<double>(n->number_of_states);
                for (size_t k = 0; k < n->number_of_states; ++k)
                    n->entered_finding[k] = k == s ? w : 0.0;
                chosen[n] = s;
            }
        }
        return chosen;
    }
    void randomize(kv_table_s *t, std::mt19937 &rng)
    {
        for (size_t i = 0; i < t->size; ++i)
            t->discrete_data[i] = random_entry(rng);
    }
    std::vector<kv_node_t> nodes;
};

// Reference: for each big configuration in big order, f(big index, small
// index, assignment).
template <class F> static void naive_pairs(const kv_table_s *big, const kv_table_s *small, F &&f)
{
    for_each_config(big, [&](const std::map<kv_node_s *, size_t> &s) {
        f(config_index(big, s), config_index(small, s), s);
    });
}

TEST_F(KernelTest, MultiplyDivideSumMaxMatchTheReference)
{
    std::mt19937 rng(20261208);
    for (int round = 0; round < 60; ++round) {
        Case c = random_case(rng, false);
        kv_table_s *big = table(c.big), *small = table(c.small);
        randomize(big, rng);
        randomize(small, rng);
        std::vector<double> b0 = data(big), s0 = data(small);

        std::vector<double> mul = b0, div = b0, sum(small->size, 0.0),
                            max(small->size, -HUGE_VAL);
        naive_pairs(big, small, [&](size_t i, size_t j, auto &) {
            mul[i] *= s0[j];
            if (s0[j] > 0.0)
                div[i] /= s0[j];
            sum[j] += b0[i];
            if (b0[i] > max[j])
                max[j] = b0[i];
        });

        std::vector<double> sum_at_level_1;
        for (size_t level : {1u, 2u, 4u}) {
            kv_domain_set_concurrency_level(d, level);
            kv_domain_set_grain_size(d, 1 + rng() % 8);
            SCOPED_TRACE(testing::Message() << "round " << round << " level " << level);
            fill(big, b0);
            ASSERT_EQ(_kv_combine_tables(big, small), 0);
            EXPECT_EQ(data(big), mul);
            fill(big, b0);
            ASSERT_EQ(_kv_divide_tables(big, small), 0);
            EXPECT_EQ(data(big), div);
            fill(big, b0);
            ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
            // Sums may group their terms differently from the one-by-one
            // reference, but never differently between concurrency levels.
            std::vector<double> got = data(small);
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_NEAR(got[i], sum[i], 1e-12 * sum[i]);
            if (level == 1)
                sum_at_level_1 = got;
            EXPECT_EQ(got, sum_at_level_1);
            ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_max, kv_mode_normal, 0), 0);
            EXPECT_EQ(data(small), max);
            fill(small, s0);
        }
        _kv_free_table(big);
        _kv_free_table(small);
    }
}

// Large tables whose slowest nodes are summed out are reduced in chunks of
// memory; the results must not depend on the number of threads.
TEST_F(TableFixture, ChunkedReductionsAgreeAcrossLevels)
{
    std::vector<kv_node_t> big_nodes;
    for (int i = 0; i < 16; ++i)
        big_nodes.push_back(discrete(i == 5 ? 3 : 2));
    kv_table_s *big = table(big_nodes);
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t i = 0; i < big->size; ++i)
        big->discrete_data[i] = u(rng);
    std::vector<double> b0 = data(big);
    for (std::vector<kv_node_t> kept :
         {std::vector<kv_node_t>{big_nodes[15]}, {big_nodes[5], big_nodes[12]}, {big_nodes[9]}}) {
        kv_table_s *small = table(kept);
        std::vector<double> sum(small->size, 0.0), max(small->size, -HUGE_VAL);
        for_each_config(big, [&](const std::map<kv_node_s *, size_t> &s) {
            size_t i = config_index(big, s), j = config_index(small, s);
            sum[j] += b0[i];
            max[j] = b0[i] > max[j] ? b0[i] : max[j];
        });
        std::vector<double> at_level_1;
        for (size_t level : {1u, 2u, 4u}) {
            SCOPED_TRACE(testing::Message() << "kept " << kept.size() << " level " << level);
            kv_domain_set_concurrency_level(d, level);
            kv_domain_set_grain_size(d, 1000);
            size_t started = kv::pooled_shares();
            ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
            EXPECT_EQ(kv::pooled_shares() - started, level == 1 ? 0u : level);
            std::vector<double> got = data(small);
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_NEAR(got[i], sum[i], 1e-12 * sum[i]);
            if (level == 1)
                at_level_1 = got;
            EXPECT_EQ(got, at_level_1);
            ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_max, kv_mode_normal, 0), 0);
            EXPECT_EQ(data(small), max);
        }
        _kv_free_table(small);
    }
    // The sliced sum with a finding on node 2 (not kept): chunks when the
    // slowest dimension is summed out, ranges of it when it is kept, and
    // when it is summed out into a result too large for chunks (the last
    // set: 1,024 entries from a slice of 49,152), ranges of the outermost
    // kept dimension (nodes 3 and 4).  Every range is worth a thread here.
    size_t share = kv::set_minimum_thread_share(1);
    big_nodes[2]->entered_finding = kv::allocate_array<double>(2);
    big_nodes[2]->entered_finding[0] = 0.0;
    big_nodes[2]->entered_finding[1] = 1.0;
    std::vector<kv_node_t> wide{big_nodes[3], big_nodes[4]};
    wide.insert(wide.end(), big_nodes.begin() + 8, big_nodes.end());
    for (std::vector<kv_node_t> kept :
         {std::vector<kv_node_t>{big_nodes[15]}, {big_nodes[5], big_nodes[12]}, {big_nodes[0]}, wide}) {
        kv_table_s *small = table(kept);
        kv_control_s *control = _kv_create_control(big, nullptr, small, nullptr);
        ASSERT_NE(control, nullptr);
        std::vector<double> sum(small->size, 0.0);
        for_each_config(big, [&](const std::map<kv_node_s *, size_t> &s) {
            if (s.at(big_nodes[2]) == 1)
                sum[config_index(small, s)] += b0[config_index(big, s)];
        });
        std::vector<double> at_level_1;
        for (size_t level : {1u, 2u, 4u}) {
            SCOPED_TRACE(testing::Message() << "sliced, kept " << kept.size() << " level " << level);
            kv_domain_set_concurrency_level(d, level);
            kv_domain_set_grain_size(d, 1000);
            size_t started = kv::pooled_shares();
            ASSERT_EQ(_kv_marginalize_sliced(control, _kv_node_chosen_state), 0);
            size_t threads = kept[0] == big_nodes[0] ? std::min<size_t>(level, 2) : level;
            EXPECT_EQ(kv::pooled_shares() - started, level == 1 ? 0u : threads);
            std::vector<double> got(d->scratch_buffer, d->scratch_buffer + small->size);
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_NEAR(got[i], sum[i], 1e-12 * sum[i]);
            if (level == 1)
                at_level_1 = got;
            EXPECT_EQ(got, at_level_1);
        }
        _kv_free_control(control);
        _kv_free_table(small);
    }
    kv::set_minimum_thread_share(share);
    std::free(big_nodes[2]->entered_finding);
    big_nodes[2]->entered_finding = nullptr;
    EXPECT_EQ(data(big), b0) << "reductions leave the big table alone";
    _kv_free_table(big);
}

TEST_F(KernelTest, SimplifiedSumSkipsEntriesAgainstHardEvidence)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        Case c = random_case(rng, false);
        std::map<kv_node_s *, size_t> chosen = hard_findings(rng, 2, 1.0);
        kv_table_s *big = table(c.big), *small = table(c.small);
        randomize(big, rng);
        std::vector<double> b0 = data(big), sum(small->size, 0.0);
        naive_pairs(big, small, [&](size_t i, size_t j, auto &s) {
            for (auto [n, state] : chosen)
                if (!_kv_node_in_list(small->nodes, n) && s.count(n) && s.at(n) != state)
                    return;
            sum[j] += b0[i];
        });
        std::vector<double> at_level_1;
        for (size_t level : {1u, 2u, 4u}) {
            kv_domain_set_concurrency_level(d, level);
            kv_domain_set_grain_size(d, 2);
            ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 1), 0);
            std::vector<double> got = data(small);
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_NEAR(got[i], sum[i], 1e-12 * sum[i]) << "round " << round;
            if (level == 1)
                at_level_1 = got;
            EXPECT_EQ(got, at_level_1) << "round " << round << " level " << level;
        }
        _kv_free_table(big);
        _kv_free_table(small);
    }
}

// Sliced operations touch exactly the entries that agree with every hard
// finding: multiply there as the whole-table kernel does and leave the rest;
// sum only those.
TEST_F(KernelTest, SlicedOperationsWorkOnTheEntriesThatAgreeWithHardEvidence)
{
    std::mt19937 rng(8);
    int fixed_rounds = 0;
    size_t share = kv::set_minimum_thread_share(1);
    for (int round = 0; round < 60; ++round) {
        Case c = random_case(rng, false);
        std::map<kv_node_s *, size_t> chosen = hard_findings(rng, 3, 0.5);
        kv_table_s *big = table(c.big), *small = table(c.small);
        randomize(big, rng);
        randomize(small, rng);
        std::vector<double> b0 = data(big), s0 = data(small);
        std::vector<double> mul = b0, sum(small->size, 0.0);
        bool fixed = false;
        naive_pairs(big, small, [&](size_t i, size_t j, auto &s) {
            for (auto [n, state] : chosen)
                if (s.count(n)) {
                    fixed = true;
                    if (s.at(n) != state)
                        return;
                }
            mul[i] *= s0[j];
            sum[j] += b0[i];
        });
        fixed_rounds += fixed;
        kv_control_s *control = _kv_create_control(big, nullptr, small, nullptr);
        ASSERT_NE(control, nullptr);
        std::vector<double> sum_at_level_1;
        for (size_t level : {1u, 2u, 4u}) {
            SCOPED_TRACE(testing::Message() << "round " << round << " level " << level);
            kv_domain_set_concurrency_level(d, level);
            kv_domain_set_grain_size(d, 1 + rng() % 4);
            fill(big, b0);
            ASSERT_EQ(_kv_combine_sliced(control, false, _kv_node_chosen_state), 0);
            EXPECT_EQ(data(big), mul);
            fill(big, b0);
            ASSERT_EQ(_kv_marginalize_sliced(control, _kv_node_chosen_state), 0);
            std::vector<double> got(d->scratch_buffer, d->scratch_buffer + small->size);
            for (size_t j = 0; j < small->size; ++j)
                EXPECT_NEAR(got[j], sum[j], 1e-12 * sum[j]);
            if (level == 1)
                sum_at_level_1 = got;
            EXPECT_EQ(got, sum_at_level_1);
            EXPECT_EQ(data(big), b0);
        }
        _kv_free_control(control);
        _kv_free_table(big);
        _kv_free_table(small);
    }
    kv::set_minimum_thread_share(share);
    EXPECT_GT(fixed_rounds, 20);
    for (kv_node_t n : nodes) {
        std::free(n->entered_finding);
        n->entered_finding = nullptr;
    }
}

// The propagated evidence of a node in a compiled domain lives in its
// evidence table.
static void set_propagated(kv_node_t n, const std::vector<double> &e, kv_domain_t d)
{
    if (!n->evidence_table) {
        kv_node_t list[] = {n, nullptr};
        n->evidence_table = _kv_create_table(d, list, KV_PROBABILITY, KV_ROLE_EVIDENCE, 0, 1);
    }
    std::copy(e.begin(), e.end(), n->evidence_table->discrete_data);
}

TEST_F(KernelTest, OutMarginalizationWeighsSummedNodesByTheirEvidence)
{
    std::mt19937 rng(11);
    d->is_compiled = 1;
    for (int round = 0; round < 40; ++round) {
        Case c = random_case(rng, false);
        std::map<kv_node_s *, std::vector<double>> evidence;
        for (kv_node_t n : nodes) {
            std::vector<double> e(n->number_of_states, 1.0);
            int kind = rng() % 3; // none, likelihood, exact state
            for (size_t s = 0; s < e.size() && kind; ++s)
                e[s] = kind == 1 ? random_entry(rng) : (s == 0 ? 1.0 : 0.0);
            set_propagated(n, e, d);
            evidence[n] = e;
        }
        kv_table_s *big = table(c.big), *small = table(c.small);
        randomize(big, rng);
        // Reference: recursion over the summed-out nodes in big order.
        std::vector<kv_node_t> out;
        for (kv_node_t n : c.big)
            if (!_kv_node_in_list(small->nodes, n))
                out.push_back(n);
        for (bool use_max : {false, true}) {
            std::vector<double> expected(small->size);
            for_each_config(small, [&](const std::map<kv_node_s *, size_t> &fixed) {
                std::map<kv_node_s *, size_t> s = fixed;
                std::function<double(size_t)> rec = [&](size_t level) -> double {
                    if (level == out.size())
                        return big->discrete_data[config_index(big, s)];
                    kv_node_t n = out[level];
                    double best = 0.0;
                    for (size_t k = 0; k < n->number_of_states; ++k) {
                        s[n] = k;
                        double v = evidence[n][k] * rec(level + 1);
                        if (use_max)
                            best = k == 0 || v > best ? v : best;
                        else
                            best += v;
                    }
                    return best;
                };
                expected[config_index(small, fixed)] = rec(0);
            });
            for (size_t level : {1u, 2u, 4u}) {
                kv_domain_set_concurrency_level(d, level);
                kv_domain_set_grain_size(d, 3);
                int eq = use_max ? kv_equilibrium_max : kv_equilibrium_sum;
                ASSERT_EQ(_kv_marginalize_tables(big, small, eq, kv_mode_fast_retraction, 0), 0);
                std::vector<double> got = data(small);
                for (size_t i = 0; i < got.size(); ++i)
                    EXPECT_NEAR(got[i], expected[i], 1e-12 * std::fabs(expected[i]))
                        << "round " << round << " max " << use_max;
            }
        }
        _kv_free_table(big);
        _kv_free_table(small);
    }
    d->is_compiled = 0;
}

TEST_F(KernelTest, SumMaxGivesExpectedUtilities)
{
    std::mt19937 rng(5);
    kv_node_t decision = nodes.back();
    for (int round = 0; round < 40; ++round) {
        Case c = random_case(rng, true);
        kv_table_s *bp = table(c.big), *bu = table(c.big, KV_UTILITY);
        kv_table_s *sp = table(c.small), *su = table(c.small, KV_UTILITY);
        randomize(bp, rng);
        for (size_t i = 0; i < bu->size; ++i)
            bu->discrete_data[i] = double(rng() % 100) - 30.0;
        std::vector<kv_node_t> out;
        for (kv_node_t n : c.big)
            if (!_kv_node_in_list(sp->nodes, n))
                out.push_back(n);
        // An open decision keeps the option of largest conditional expected
        // utility, and the result is per unit of that option's probability.
        // Every other round gives all options the same probabilities, as
        // when a decision is eliminated after what it influences.
        bool level_weights = round % 2 == 0;
        if (level_weights)
            for_each_config(bp, [&](const std::map<kv_node_s *, size_t> &at) {
                std::map<kv_node_s *, size_t> first = at;
                first[decision] = 0;
                bp->discrete_data[config_index(bp, at)] = bp->discrete_data[config_index(bp, first)];
            });
        std::vector<double> prob(sp->size), eu(sp->size);
        for_each_config(sp, [&](const std::map<kv_node_s *, size_t> &fixed) {
            std::map<kv_node_s *, size_t> s = fixed;
            double p = 0.0;
            // (sum of probability x utility, sum of probability)
            std::function<std::pair<double, double>(size_t)> rec = [&](size_t level) -> std::pair<double, double> {
                if (level == out.size()) {
                    size_t i = config_index(bp, s);
                    p += bp->discrete_data[i];
                    return {bp->discrete_data[i] * bu->discrete_data[i], bp->discrete_data[i]};
                }
                kv_node_t n = out[level];
                std::pair<double, double> v{0.0, 0.0};
                for (size_t k = 0; k < n->number_of_states; ++k) {
                    s[n] = k;
                    auto x = rec(level + 1);
                    if (n != decision) {
                        v.first += x.first;
                        v.second += x.second;
                    } else if (k == 0 || (x.second > 0 && (v.second <= 0 || x.first / x.second > v.first / v.second))) {
                        v = x; // an open decision is maximized
                    }
                }
                return v;
            };
            size_t j = config_index(sp, fixed);
            auto [value, weight] = rec(0);
            prob[j] = p;
            eu[j] = weight > 0.0 ? value / weight : value;
        });
        kv_control_s *ctl = _kv_create_control(bp, bu, sp, su);
        for (size_t level : {1u, 2u, 4u}) {
            kv_domain_set_concurrency_level(d, level);
            kv_domain_set_grain_size(d, 2);
            ASSERT_EQ(_kv_marginalize(ctl, kv_equilibrium_sum, kv_mode_normal, 0), 0);
            ASSERT_EQ(_kv_copy_to_table_pair(sp, su, kv_equilibrium_sum), 0);
            std::vector<double> gp = data(sp), gu = data(su);
            for (size_t i = 0; i < sp->size; ++i) {
                EXPECT_NEAR(gp[i], prob[i], 1e-12 * prob[i]) << round;
                EXPECT_NEAR(gu[i], eu[i], 1e-9 * (1.0 + std::fabs(eu[i]))) << round;
            }
        }
        _kv_free_control(ctl);
        for (kv_table_s *t : {bp, bu, sp, su})
            _kv_free_table(t);
    }
}

TEST_F(KernelTest, SummedOutDecisionsAreAveragedInACompiledDomain)
{
    kv_node_t decision = nodes.back(); // 3 options
    kv_node_t a = nodes[1];            // 2 states
    kv_table_s *big = table({a, decision}), *small = table({a});
    fill(big, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(small), (std::vector<double>{6, 15}));
    d->is_compiled = 1;
    ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(small), (std::vector<double>{2, 5}));
    set_propagated(decision, {1.0, 0.0, 1.0}, d); // two options still allowed
    ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(small), (std::vector<double>{3, 7.5}));
    d->is_compiled = 0;
}

// ---------------------------------------------------------------------------
// Conditional-Gaussian parts.

class CgTest : public TableFixture {};

TEST_F(CgTest, ChainRuleGivesTheJointInEitherOrder)
{
    // X ~ N(1, 4); Y | X ~ N(2 + 3 X, 1): joint means 1 and 5, variances 4
    // and 37, covariance 12.
    kv_node_t x = continuous(), y = continuous();
    for (bool y_first : {true, false}) {
        kv_table_s *joint = table({x, y});
        kv_table_s *px = table({x}), *py = table({y, x});
        px->cg_data[0] = 1.0, px->cg_data[1] = 4.0;
        px->continuous_roles[0] = KV_HEAD;
        // py: y is node 0 (alpha 2, gamma 1), x node 1 with beta 3.
        py->cg_data[0] = 2.0, py->cg_data[1] = 1.0, py->cg_data[3] = 3.0;
        py->continuous_roles[0] = KV_HEAD, py->continuous_roles[1] = KV_TAIL;
        ASSERT_EQ(_kv_combine_tables(joint, y_first ? py : px), 0);
        ASSERT_EQ(_kv_combine_tables(joint, y_first ? px : py), 0);
        EXPECT_EQ(joint->continuous_roles[0], KV_HEAD);
        EXPECT_EQ(joint->continuous_roles[1], KV_HEAD);
        EXPECT_DOUBLE_EQ(kv_table_get_mean(joint, 0, x), 1.0);
        EXPECT_DOUBLE_EQ(kv_table_get_mean(joint, 0, y), 5.0);
        EXPECT_DOUBLE_EQ(kv_table_get_variance(joint, 0, x), 4.0);
        EXPECT_DOUBLE_EQ(kv_table_get_variance(joint, 0, y), 37.0);
        EXPECT_DOUBLE_EQ(kv_table_get_covariance(joint, 0, x, y), 12.0);
        for (kv_table_s *t : {joint, px, py})
            _kv_free_table(t);
    }
}

TEST_F(CgTest, ChainWithDiscreteParentAndRemainingTail)
{
    // Z is a tail throughout; X | A, Z ~ N(a_A + b Z, g); Y | X ~ N(c X, 1).
    kv_node_t a = discrete(2), x = continuous(), y = continuous(), z = continuous();
    kv_table_s *clique = table({a, x, y, z});
    kv_table_s *px = table({a, x, z}), *py = table({y, x});
    for (size_t i = 0; i < 2; ++i) {
        double *b = px->cg_data + i * 5;
        b[0] = i ? 10.0 : -1.0; // alpha
        b[1] = 2.0;             // gamma
        b[3] = 0.5;             // beta on z
    }
    px->continuous_roles[0] = KV_HEAD, px->continuous_roles[1] = KV_TAIL;
    py->cg_data[0] = 0.0, py->cg_data[1] = 1.0, py->cg_data[3] = 3.0;
    py->continuous_roles[0] = KV_HEAD, py->continuous_roles[1] = KV_TAIL;
    ASSERT_EQ(_kv_combine_tables(clique, py), 0);
    ASSERT_EQ(_kv_combine_tables(clique, px), 0);
    EXPECT_EQ(clique->continuous_roles[2], KV_TAIL);
    for (size_t i = 0; i < 2; ++i) {
        const double *b = clique->cg_data + i * clique->cg_size;
        double alpha = i ? 10.0 : -1.0;
        EXPECT_DOUBLE_EQ(b[_kv_cg_mean_offset(0)], alpha);
        EXPECT_DOUBLE_EQ(b[_kv_cg_mean_offset(1)], 3.0 * alpha);
        EXPECT_DOUBLE_EQ(b[_kv_cg_cov_offset(0, 0)], 2.0);
        EXPECT_DOUBLE_EQ(b[_kv_cg_cov_offset(1, 0)], 6.0);
        EXPECT_DOUBLE_EQ(b[_kv_cg_cov_offset(1, 1)], 1.0 + 9.0 * 2.0);
        EXPECT_DOUBLE_EQ(b[_kv_cg_cov_offset(0, 2)], 0.5);       // x on z
        EXPECT_DOUBLE_EQ(b[_kv_cg_cov_offset(1, 2)], 3.0 * 0.5); // y on z
    }
}

TEST_F(CgTest, WeakMarginalizationKeepsTwoMoments)
{
    kv_node_t a = discrete(2), x = continuous();
    kv_table_s *big = table({a, x}), *small = table({x});
    fill(big, {0.3, 0.7});
    big->continuous_roles[0] = KV_HEAD;
    big->cg_data[0] = 0.0, big->cg_data[1] = 1.0;  // N(0, 1)
    big->cg_data[2] = 10.0, big->cg_data[3] = 4.0; // N(10, 4)
    ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_DOUBLE_EQ(small->discrete_data[0], 1.0);
    EXPECT_DOUBLE_EQ(kv_table_get_mean(small, 0, x), 7.0);
    EXPECT_DOUBLE_EQ(kv_table_get_variance(small, 0, x), 0.3 * (1 + 49) + 0.7 * (4 + 9));
}

TEST_F(CgTest, StrongMarginalizationDropsContinuousNodes)
{
    kv_node_t a = discrete(2), x = continuous(), y = continuous();
    kv_table_s *big = table({a, x, y}), *small = table({a, y});
    big->continuous_roles[0] = big->continuous_roles[1] = KV_HEAD;
    for (size_t i = 0; i < 10; ++i)
        big->cg_data[i] = double(i + 1);
    ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(small->continuous_roles[0], KV_HEAD);
    EXPECT_EQ(std::vector<double>(small->cg_data, small->cg_data + 4),
              (std::vector<double>{3, 5, 8, 10}));
}

TEST_F(CgTest, TailsWithoutWeightBecomeAbsent)
{
    kv_node_t x = continuous(), z = continuous(), w = continuous();
    kv_table_s *big = table({x, z, w}), *small = table({x, z, w});
    big->continuous_roles[0] = KV_HEAD;
    big->continuous_roles[1] = big->continuous_roles[2] = KV_TAIL;
    big->cg_data[_kv_cg_cov_offset(0, 2)] = 0.25; // x depends on w only
    ASSERT_EQ(_kv_marginalize_tables(big, small, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(small->continuous_roles[1], KV_ABSENT);
    EXPECT_EQ(small->continuous_roles[2], KV_TAIL);
}

TEST_F(CgTest, ComplementConditionsTheOtherHeads)
{
    kv_node_t x = continuous(), y = continuous();
    kv_table_s *t = table({x, y});
    t->continuous_roles[0] = t->continuous_roles[1] = KV_HEAD;
    // Joint of X ~ N(1, 4), Y = 2 + 3X + N(0, 1).
    double block[] = {1.0, 4.0, 5.0, 12.0, 37.0};
    std::copy(block, block + 5, t->cg_data);
    ASSERT_EQ(_kv_table_complement(t, 0), 0);
    EXPECT_EQ(t->continuous_roles[0], KV_TAIL);
    EXPECT_DOUBLE_EQ(t->cg_data[_kv_cg_cov_offset(1, 0)], 3.0); // regression on x
    EXPECT_DOUBLE_EQ(t->cg_data[_kv_cg_mean_offset(1)], 2.0);   // intercept
    EXPECT_DOUBLE_EQ(t->cg_data[_kv_cg_cov_offset(1, 1)], 1.0); // residual variance
    EXPECT_EQ(t->cg_data[0], 0.0);
    EXPECT_EQ(t->cg_data[1], 0.0);
}

TEST_F(CgTest, ComplementOfAZeroVarianceNode)
{
    kv_node_t x = continuous(), y = continuous();
    kv_table_s *t = table({x, y});
    t->continuous_roles[0] = t->continuous_roles[1] = KV_HEAD;
    double block[] = {1.0, 0.0, 5.0, 12.0, 37.0};
    std::copy(block, block + 5, t->cg_data);
    ASSERT_EQ(_kv_table_complement(t, 0), 0);
    EXPECT_EQ(t->cg_data[_kv_cg_cov_offset(1, 0)], 0.0);
    EXPECT_EQ(t->cg_data[_kv_cg_mean_offset(1)], 5.0);
    EXPECT_EQ(t->cg_data[_kv_cg_cov_offset(1, 1)], 37.0);
}

TEST_F(CgTest, ComplementReportsRounding)
{
    kv_node_t x = continuous(), y = continuous();
    kv_table_s *t = table({x, y});
    t->continuous_roles[0] = t->continuous_roles[1] = KV_HEAD;
    // Not a covariance matrix: the residual variance 1 - 4 is clearly negative.
    double block[] = {0.0, 1.0, 0.0, 2.0, 1.0};
    std::copy(block, block + 5, t->cg_data);
    EXPECT_EQ(_kv_table_complement(t, 0), kv_error_rounding);
    // A tiny negative residual is rounding noise and becomes 0.
    double noisy[] = {0.0, 1.0, 0.0, 1.0, 1.0 - 1e-17};
    std::copy(noisy, noisy + 5, t->cg_data);
    t->continuous_roles[0] = KV_HEAD;
    EXPECT_EQ(_kv_table_complement(t, 0), 0);
    EXPECT_EQ(t->cg_data[_kv_cg_cov_offset(1, 1)], 0.0);
}

TEST_F(CgTest, SpecialMarginal)
{
    kv_node_t a = discrete(2), x = continuous(), y = continuous();
    kv_table_s *t = table({a, x, y});
    fill(t, {0.25, 0.75});
    for (size_t i = 0; i < 10; ++i)
        t->cg_data[i] = double(i);
    kv_table_s *m = _kv_special_marginal(t, y);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(data(m), (std::vector<double>{0.25, 0.75}));
    EXPECT_EQ(std::vector<double>(m->cg_data, m->cg_data + 4), (std::vector<double>{2, 4, 7, 9}));
    EXPECT_EQ(m->continuous_roles[0], KV_HEAD);
    EXPECT_EQ(_kv_special_marginal(t, a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(OperationsTest, TemporaryControlsReuseTheModelsLoops)
{
    kv_node_t a = discrete(2), b = discrete(3);
    kv_table_s *big = table({a, b}), *small = table({b});
    kv_control_s *model = _kv_create_control(big, nullptr, small, nullptr);
    kv_table_s *big2 = table({a, b}), *small2 = table({b});
    fill(big2, {1, 2, 3, 4, 5, 6});
    fill(small2, {2, 3, 4});
    size_t controls = d->number_of_controls;
    ASSERT_EQ(_kv_marginalize_tables_using_control(big2, small2, model, kv_equilibrium_sum,
                                                   kv_mode_normal, 0),
              0);
    EXPECT_EQ(data(small2), (std::vector<double>{5, 7, 9}));
    ASSERT_EQ(_kv_combine_tables_using_control(big2, small2, model), 0);
    EXPECT_EQ(data(big2), (std::vector<double>{5, 14, 27, 20, 35, 54}));
    EXPECT_EQ(d->number_of_controls, controls) << "temporary controls are not listed";
    _kv_free_control(model);
}

TEST_F(OperationsTest, FailedMarginalizationKeepsTheSmallTable)
{
    kv_node_t a = discrete(2), b = discrete(3);
    kv_table_s *big = table({a, b}), *small = table({b});
    fill(big, {1, 2, 3, 4, 5, 6});
    fill(small, {0.5, 0.25, 0.125});
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    kv::fail_allocation_after(1); // the scratch buffer
    EXPECT_EQ(_kv_marginalize(c, kv_equilibrium_sum, kv_mode_normal, 0), kv_error_no_memory);
    EXPECT_EQ(data(small), (std::vector<double>{0.5, 0.25, 0.125}));
    // The result waits in the scratch buffer until it is copied into place.
    ASSERT_EQ(_kv_marginalize(c, kv_equilibrium_sum, kv_mode_normal, 0), 0);
    EXPECT_EQ(data(small), (std::vector<double>{0.5, 0.25, 0.125}));
    ASSERT_EQ(_kv_copy_to_table_pair(small, nullptr, kv_equilibrium_sum), 0);
    EXPECT_EQ(data(small), (std::vector<double>{5, 7, 9}));
    _kv_free_control(c);
}

TEST_F(CgTest, FormComplementConditionsOnTheBigTablesTails)
{
    kv_node_t x = continuous(), y = continuous();
    kv_table_s *big = table({x, y}), *small = table({x, y});
    big->continuous_roles[0] = KV_TAIL, big->continuous_roles[1] = KV_HEAD;
    small->continuous_roles[0] = small->continuous_roles[1] = KV_HEAD;
    double block[] = {1.0, 4.0, 5.0, 12.0, 37.0};
    std::copy(block, block + 5, small->cg_data);
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    ASSERT_EQ(_kv_cg_form_complement(c), 0);
    EXPECT_EQ(small->continuous_roles[0], KV_TAIL);
    EXPECT_EQ(small->continuous_roles[1], KV_HEAD);
    EXPECT_DOUBLE_EQ(small->cg_data[_kv_cg_cov_offset(1, 0)], 3.0);
    _kv_free_control(c);
}
