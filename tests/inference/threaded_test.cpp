// Propagation passes on several threads: everything a propagation gives is
// the same bit for bit as on one thread, a failure on one branch is that of
// the walk on one thread, and the tree recovers from it.
#include <cstdio>
#include <string>

#include "../compile/compile_fixture.h"
#include "table/parallel.h"

namespace {

std::string hex(double x)
{
    char b[40];
    std::snprintf(b, sizeof b, "%a ", x);
    return b;
}

// Lets every pass split however small, and gives the setting back.
struct SplitEverything {
    double work = kv::set_minimum_split_work(0.0);
    size_t fewest = kv::set_fewest_split_nodes(1);
    size_t share = kv::set_minimum_thread_share(1);
    ~SplitEverything()
    {
        kv::set_minimum_split_work(work);
        kv::set_fewest_split_nodes(fewest);
        kv::set_minimum_thread_share(share);
    }
};

// Beliefs, P(e) and its logarithm as text; with tables, every clique entry
// too (which hands the tables out for good: the last reading of a domain).
std::string read_all(const RandomNet &net, bool tables = false)
{
    std::string out = hex(kv_domain_get_normalization_constant(net.d)) +
                      hex(kv_domain_get_log_normalization_constant(net.d)) + "|";
    for (kv_node_t n : net.nodes)
        for (size_t s = 0; s < n->number_of_states; ++s)
            out += hex(kv_node_get_belief(n, s));
    out += "|";
    for (kv_clique_t c = net.d->first_clique; c && tables; c = c->next) {
        kv_table_t t = kv_clique_get_probability_table(c);
        const double *x = kv_table_get_data(t);
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            out += hex(x[i]);
    }
    return out + "\n";
}

// Cases on one random network at one concurrency level: hard and soft
// findings, a finding added on top, a propagation from a chosen clique.
std::string cases(unsigned seed, size_t level, bool sparse)
{
    auto limits = sparse ? kv::set_sparse_limits(1, 1.0) : kv::set_sparse_limits(size_t(-1), 0.0);
    std::mt19937 rng(seed);
    RandomNet net = compiled_random_net(seed, 10 + int(seed % 9), 18, seed % 2 ? 0.3 : 0.0, Kernels::strided);
    kv::set_sparse_limits(limits.first, limits.second);
    EXPECT_EQ(kv_domain_set_concurrency_level(net.d, level), 0);
    std::string out = read_all(net);
    for (int step = 0; step < 4; ++step) {
        EXPECT_EQ(kv_domain_retract_findings(net.d), 0);
        for (kv_node_t n : net.nodes) {
            int pick = int(rng() % 6);
            if (pick == 0) {
                EXPECT_EQ(kv_node_select_state(n, rng() % n->number_of_states), 0);
            } else if (pick == 1) {
                for (size_t s = 0; s < n->number_of_states; ++s) {
                    EXPECT_EQ(kv_node_enter_finding(n, s, 0.25 + double(rng() % 4)), 0);
                }
            }
        }
        int status = step == 3 ? kv_clique_propagate(net.d->first_clique, kv_equilibrium_sum, kv_mode_normal)
                               : kv_domain_propagate(net.d, kv_equilibrium_sum, kv_mode_normal);
        out += std::to_string(status) + " " + read_all(net);
        kv_node_t more = net.nodes[rng() % net.nodes.size()];
        if (!kv_node_evidence_is_entered(more)) {
            EXPECT_EQ(kv_node_select_state(more, 0), 0);
            out += std::to_string(kv_domain_propagate(net.d, kv_equilibrium_sum, kv_mode_normal)) + " " +
                   read_all(net);
        }
    }
    out += read_all(net, true);
    kv_domain_delete(net.d);
    return out;
}

TEST(ThreadedPassesTest, SameBitsAtEveryLevel)
{
    SplitEverything split;
    size_t shares = kv::pooled_shares();
    int split_runs = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        bool sparse = seed % 4 == 1;
        size_t before = kv::split_passes();
        std::string one = cases(seed, 1, sparse);
        EXPECT_EQ(kv::split_passes(), before);
        for (size_t level : {2, 3}) {
            size_t passes = kv::split_passes();
            EXPECT_EQ(cases(seed, level, sparse), one) << "level " << level;
            split_runs += kv::split_passes() > passes;
        }
    }
    EXPECT_GE(split_runs, 70); // of 80: the smallest trees are walked on one thread
    EXPECT_GT(kv::pooled_shares(), shares);
}

// The reset before evidence loads the potentials on several threads only
// when the evidence slices leave enough work: with all nodes but one
// observed the slices are tiny, and only the belief update is split.  Each
// case retracts a finding of the one before, so that each starts afresh.
TEST(ThreadedPassesTest, HeavyEvidenceLoadsPotentialsOnOneThread)
{
    SplitEverything split;
    RandomNet net = compiled_random_net(5, 16, 25, 0.0, Kernels::strided);
    kv_junction_tree_s *jt = net.d->first_junction_tree;
    ASSERT_EQ(jt->next, nullptr);
    double entries = _kv_jt_clique_entries(jt);
    ASSERT_GT(entries, 1000.0);
    kv::set_minimum_split_work(entries / 8);
    EXPECT_EQ(kv_domain_set_concurrency_level(net.d, 2), 0);
    auto splits_of_case = [&](bool heavy) {
        EXPECT_EQ(kv_domain_retract_findings(net.d), 0);
        for (size_t i = heavy ? 1 : 0; i < (heavy ? net.nodes.size() : 1); ++i) {
            EXPECT_EQ(kv_node_select_state(net.nodes[i], 0), 0);
        }
        size_t before = kv::split_passes();
        EXPECT_EQ(kv_domain_propagate(net.d, kv_equilibrium_sum, kv_mode_normal), 0);
        return kv::split_passes() - before;
    };
    splits_of_case(false);
    EXPECT_EQ(splits_of_case(true), 1u);
    EXPECT_GE(splits_of_case(false), 2u); // the load and the belief update at least
    EXPECT_EQ(splits_of_case(true), 1u);
    kv_domain_delete(net.d);
}

// The passes keep a layout of the tree between propagations: after a
// link is added and the domain compiled anew, the new tree's passes split
// with a layout of their own and give the bits of one thread.
TEST(ThreadedPassesTest, RecompiledTreeSplitsAfresh)
{
    SplitEverything split;
    auto run = [](size_t level, std::vector<double> &entries) {
        RandomNet net = compiled_random_net(7, 14, 30, 0.0, Kernels::strided);
        EXPECT_EQ(kv_domain_set_concurrency_level(net.d, level), 0);
        std::string out;
        for (int round = 0; round < 2; ++round) {
            entries.push_back(_kv_jt_clique_entries(net.d->first_junction_tree));
            for (int step = 0; step < 2; ++step) {
                EXPECT_EQ(kv_domain_retract_findings(net.d), 0);
                EXPECT_EQ(kv_node_select_state(net.nodes[size_t(3 + step)], 1), 0);
                size_t passes = kv::split_passes();
                EXPECT_EQ(kv_domain_propagate(net.d, kv_equilibrium_sum, kv_mode_normal), 0);
                if (level > 1) {
                    EXPECT_GT(kv::split_passes(), passes) << "round " << round;
                }
                out += read_all(net);
            }
            if (round == 0) {
                std::mt19937 rng(3);
                EXPECT_EQ(kv_domain_uncompile(net.d), 0);
                EXPECT_EQ(kv_node_add_parent(net.nodes.back(), net.nodes[0]), 0);
                fill_conditional(net.nodes.back(), rng);
                auto limits = kv::set_flat_limits(0, 0);
                EXPECT_EQ(kv_domain_compile(net.d), 0);
                kv::set_flat_limits(limits.first, limits.second);
            }
        }
        kv_domain_delete(net.d);
        return out;
    };
    std::vector<double> one_entries, two_entries;
    std::string one = run(1, one_entries);
    EXPECT_EQ(run(2, two_entries), one);
    ASSERT_EQ(one_entries.size(), 2u);
    EXPECT_NE(one_entries[0], one_entries[1]);
    EXPECT_EQ(two_entries, one_entries);
}

// A collect that stayed on one thread tells its distribute to stay too
// only when it walked the whole tree: one more finding marks a single
// clique, whose collect is too small to split, while the distribute over
// every clique splits.
TEST(ThreadedPassesTest, DistributeAfterAPartialCollectDecidesForItself)
{
    SplitEverything split;
    kv::set_fewest_split_nodes(size_t(-1)); // beliefs on one thread
    RandomNet net = compiled_random_net(5, 16, 25, 0.0, Kernels::strided);
    kv_junction_tree_s *jt = net.d->first_junction_tree;
    ASSERT_EQ(jt->next, nullptr);
    ASSERT_GE(jt->clique_count, 4u);
    kv::set_minimum_split_work(_kv_jt_clique_entries(jt) / 4);
    EXPECT_EQ(kv_domain_set_concurrency_level(net.d, 2), 0);
    EXPECT_EQ(kv_node_select_state(net.nodes[0], 0), 0);
    EXPECT_EQ(kv_domain_propagate(net.d, kv_equilibrium_sum, kv_mode_normal), 0);
    kv_node_t last = net.nodes.back();
    EXPECT_EQ(kv_node_select_state(last, 0), 0);
    size_t before = kv::split_passes();
    EXPECT_EQ(kv_domain_propagate(net.d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_EQ(kv::split_passes() - before, 1u); // the distribute alone
    kv_domain_delete(net.d);
}

// X has parents A and B, each at the end of a branch of its own; X = x0 is
// impossible, so the collect fails wherever X's clique is.
TEST(ThreadedPassesTest, ImpossibleEvidenceOnABranch)
{
    SplitEverything split;
    auto run = [](size_t level) {
        std::mt19937 rng(11);
        kv_domain_t d = kv_new_domain();
        std::vector<kv_node_t> n;
        for (int i = 0; i < 9; ++i) {
            n.push_back(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete));
            EXPECT_EQ(kv_node_set_number_of_states(n.back(), 3), 0);
        }
        // A star of chains from n[0]: n0-n1-n2, n0-n3-n4, n0-n5-n6, and
        // X = n8 below n6 and n7.
        for (auto [child, parent] : {std::pair{1, 0}, {2, 1}, {3, 0}, {4, 3}, {5, 0}, {6, 5}, {7, 6}, {8, 6}})
            EXPECT_EQ(kv_node_add_parent(n[child], n[parent]), 0);
        EXPECT_EQ(kv_node_add_parent(n[8], n[7]), 0);
        for (kv_node_t x : n)
            fill_conditional(x, rng);
        double *x = kv_table_get_data(kv_node_get_table(n[8]));
        for (size_t i = 0; i < 27; i += 3) {
            x[i + 1] += x[i];
            x[i] = 0.0;
        }
        EXPECT_EQ(kv_domain_set_concurrency_level(d, level), 0);
        auto limits = kv::set_flat_limits(0, 0);
        EXPECT_EQ(kv_domain_compile(d), 0);
        kv::set_flat_limits(limits.first, limits.second);
        std::string out;
        EXPECT_EQ(kv_node_select_state(n[2], 1), 0);
        EXPECT_EQ(kv_node_select_state(n[8], 0), 0);
        int status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        out += std::to_string(status) + " " + std::to_string(kv_error_code()) + " ";
        out += std::to_string(kv_node_evidence_is_propagated(n[2])) + "\n";
        EXPECT_EQ(kv_node_retract_findings(n[8]), 0);
        EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
        out += hex(kv_domain_get_normalization_constant(d));
        for (kv_node_t m : n)
            for (size_t s = 0; s < 3; ++s)
                out += hex(kv_node_get_belief(m, s));
        kv_domain_delete(d);
        return out;
    };
    std::string one = run(1);
    EXPECT_EQ(one.substr(0, 10), "22 22 0\n0x");
    size_t passes = kv::split_passes();
    EXPECT_EQ(run(2), one);
    EXPECT_GT(kv::split_passes(), passes);
}

} // namespace
