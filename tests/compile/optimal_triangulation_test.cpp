// Triangulation by minimal separators (method 19): least total clique
// weight against brute force over every elimination order, the log of a
// small graph, splitting when there are too many separators, and the
// shared networks (skipped when absent).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "compile_fixture.h"

namespace fs = std::filesystem;

namespace {

std::string logged_triangulation(kv_domain_t d, kv_triangulation_method_t method)
{
    return logged(d, [&] { EXPECT_EQ(kv_domain_triangulate(d, method), 0); });
}

// The least total weight of the maximal cliques over every elimination
// order of the moral graph of the nodes.
double brute_force_optimum(const std::vector<kv_node_t> &nodes)
{
    size_t n = nodes.size();
    std::vector<uint32_t> adjacent(n, 0);
    auto index = [&](kv_node_t x) {
        return size_t(std::find(nodes.begin(), nodes.end(), x) - nodes.begin());
    };
    for (size_t v = 0; v < n; ++v) {
        std::vector<size_t> family{v};
        for (kv_node_t *p = kv_node_get_parents(nodes[v]); p && *p; ++p)
            family.push_back(index(*p));
        for (size_t a : family)
            for (size_t b : family)
                if (a != b)
                    adjacent[a] |= uint32_t(1) << b;
    }
    auto weight = [&](uint32_t set) {
        double w = 1.0;
        for (size_t v = 0; v < n; ++v)
            if (set >> v & 1)
                w *= double(kv_node_get_number_of_states(nodes[v]));
        return w;
    };
    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    double best = 1e300;
    do {
        std::vector<uint32_t> adj = adjacent, cliques;
        uint32_t gone = 0;
        for (size_t v : order) {
            uint32_t clique = (adj[v] & ~gone) | uint32_t(1) << v;
            for (size_t u = 0; u < n; ++u)
                if (clique >> u & 1)
                    adj[u] |= clique & ~(uint32_t(1) << u);
            gone |= uint32_t(1) << v;
            cliques.push_back(clique);
        }
        double cost = 0.0;
        for (size_t i = 0; i < cliques.size(); ++i) {
            bool maximal = true;
            for (size_t j = 0; j < cliques.size() && maximal; ++j)
                maximal = j == i || (cliques[i] & ~cliques[j]) != 0 ||
                          (cliques[i] == cliques[j] && i < j);
            if (maximal)
                cost += weight(cliques[i]);
        }
        best = std::min(best, cost);
    } while (std::next_permutation(order.begin(), order.end()));
    return best;
}

size_t cost_of(kv_domain_t d, kv_triangulation_method_t method)
{
    EXPECT_EQ(kv_domain_triangulate(d, method), 0);
    size_t cost = kv_domain_get_jt_cost(d);
    EXPECT_EQ(kv_domain_uncompile(d), 0);
    return cost;
}

// A chordless four-cycle A-B-C-D through the parents of four children,
// each child forming a triangle with two neighbours of the cycle.
struct FourCycle {
    kv_domain_t d = kv_new_domain();
    FourCycle(size_t a = 2, size_t b = 3, size_t c = 2, size_t e = 3)
    {
        const char *names[] = {"A", "B", "C", "D"};
        size_t states[] = {a, b, c, e};
        std::vector<kv_node_t> cycle;
        for (int i = 0; i < 4; ++i) {
            kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
            kv_node_set_name(x, names[i]);
            kv_node_set_number_of_states(x, states[i]);
            cycle.push_back(x);
        }
        for (int i = 0; i < 4; ++i) {
            kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
            std::string name = "X";
            name += std::to_string(i + 1);
            kv_node_set_name(x, name.c_str());
            kv_node_set_number_of_states(x, 2);
            kv_node_add_parent(x, cycle[size_t(i)]);
            kv_node_add_parent(x, cycle[size_t(i + 1) % 4]);
        }
    }
    ~FourCycle() { kv_domain_delete(d); }
};

fs::path shared_net(const std::string &name)
{
    const char *shared = std::getenv("KELVO_SHARED");
    return fs::path(shared ? shared : KELVO_SHARED_DIR) / "nets" / name;
}

} // namespace

TEST(OptimalTriangulationTest, MaximumNumberOfSeparators)
{
    kv_domain_t d = kv_new_domain();
    EXPECT_EQ(kv_domain_get_max_number_of_separators(d), 0u);
    EXPECT_EQ(kv_domain_set_max_number_of_separators(d, 1000), 0);
    EXPECT_EQ(kv_domain_get_max_number_of_separators(d), 1000u);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_domain_set_max_number_of_separators(nullptr, 5), kv_error_usage);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_get_max_number_of_separators(nullptr), static_cast<size_t>(-1));
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_delete(d);
}

// With state counts of at least 2 the best triangulation is minimal, so
// the least cost over all elimination orders is the target; it is never
// above a heuristic's either.
TEST(OptimalTriangulationTest, CostIsTheMinimumOverAllEliminationOrders)
{
    std::mt19937 rng(19);
    for (int round = 0; round < 40; ++round) {
        kv_domain_t d = kv_new_domain();
        std::vector<kv_node_t> nodes = random_network(d, rng, 6 + round % 4, 30 + round % 3 * 10);
        for (kv_node_t x : nodes)
            kv_node_set_number_of_states(x, 2 + rng() % 3);
        double optimum = brute_force_optimum(nodes);
        size_t optimal = cost_of(d, kv_tm_optimal);
        EXPECT_EQ(double(optimal), optimum) << "round " << round;
        size_t best_heuristic = SIZE_MAX;
        for (kv_triangulation_method_t m : {kv_tm_clique_size, kv_tm_clique_weight, kv_tm_fill_in_size,
                                            kv_tm_fill_in_weight})
            best_heuristic = std::min(best_heuristic, cost_of(d, m));
        EXPECT_LE(optimal, best_heuristic) << "round " << round;
        kv_domain_delete(d);
    }
}

TEST(OptimalTriangulationTest, LogOfAFourCycle)
{
    FourCycle g;
    EXPECT_EQ(logged_triangulation(g.d, kv_tm_optimal),
              "\n\nMoral links:\n\n"
              "    Marrying C and D\n    Marrying B and C\n    Marrying A and D\n    Marrying A and B\n"
              "\n"
              "\nTriangulating prime component with 3 members:\n"
              "    X2, C, B\n"
              "This component is a clique of cost 12\n"
              "\nTriangulating prime component with 3 members:\n"
              "    X1, B, A\n"
              "This component is a clique of cost 12\n"
              "\nTriangulating prime component with 3 members:\n"
              "    X3, D, C\n"
              "This component is a clique of cost 12\n"
              "\nTriangulating prime component with 4 members:\n"
              "    D, C, B, A\n"
              "\nFound 2 minimal separators\n"
              "    Found greedy triangulation of cost 24\n"
              "    Kept 1 separators for triangulation\n"
              "    Created 3 fragments\n"
              "    Optimal triangulation of graph G1 has cost 24\n"
              "\nFound optimal triangulation of cost 24\n"
              "\nFound triangulation of prime component of cost 24\n"
              "\nTriangulating prime component with 3 members:\n"
              "    X4, D, A\n"
              "This component is a clique of cost 12\n"
              "\n\nTotal cost of triangulation for all prime components is 72\n"
              "\n\nElimination sequence:\n\n"
              "    X4\n    X3\n    D\n    X1\n    A\n    X2\n    B\n    C\n");
}

TEST(OptimalTriangulationTest, TooManySeparatorsSplitTheComponent)
{
    FourCycle g;
    kv_domain_set_max_number_of_separators(g.d, 1);
    std::string log = logged_triangulation(g.d, kv_tm_optimal);
    EXPECT_NE(log.find("\nTriangulating prime component with 4 members:\n"
                       "    D, C, B, A\n"
                       "\n    This component has more than 1 minimal separators\n"
                       "\tD, C, B, A\n"
                       "    Using the following separator of size 2 and cost 4:\n"
                       "\tC, A\n"
                       "    to split the component into the following subgraphs:\n"
                       "\tG2 (size: 3)\n"
                       "\tG3 (size: 3)\n"
                       "\n    Graph G2 is a clique of cost 12\n"
                       "\n    Graph G3 is a clique of cost 12\n"
                       "\nFound triangulation of prime component of cost 24\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Found 2 minimal separators"), std::string::npos);
    EXPECT_EQ(kv_domain_get_jt_cost(g.d), 72u);
}

// The lighter separator {B, D} (weight 4 against 9) is the one kept now,
// and a second separator would exceed the bound of cost / (2 m).
TEST(OptimalTriangulationTest, HeavySeparatorsArePruned)
{
    FourCycle g(3, 2, 3, 2);
    std::string log = logged_triangulation(g.d, kv_tm_optimal);
    EXPECT_NE(log.find("    Kept 1 separators for triangulation\n"), std::string::npos) << log;
    kv_node_t b = kv_domain_get_node_by_name(g.d, "B"), dn = kv_domain_get_node_by_name(g.d, "D");
    bool joined = false;
    for (kv_clique_s *c = g.d->first_clique; c; c = c->next) {
        kv_node_t *m = kv_clique_get_members(c);
        bool hb = false, hd = false;
        for (; *m; ++m)
            hb = hb || *m == b, hd = hd || *m == dn;
        joined = joined || (hb && hd);
    }
    EXPECT_TRUE(joined) << "B and D share a clique";
    EXPECT_EQ(kv_domain_get_jt_cost(g.d), 4u * 12 + 24);
}

// The exact optima of the shared networks.
TEST(OptimalTriangulationTest, SharedNetworksReachTheirOptima)
{
    struct Known {
        const char *name;
        size_t optimum;
    } known[] = {{"alarm.net", 996},          {"insurance.net", 23880}, {"water.net", 3028305},
                 {"mildew.net", 3400464},     {"hailfinder.net", 9406}, {"child.net", 642},
                 {"hepar2.net", 2617},        {"pathfinder.net", 182641}};
    for (const Known &k : known) {
        fs::path path = shared_net(k.name);
        if (!fs::exists(path))
            GTEST_SKIP() << path << " is absent";
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(cost_of(d, kv_tm_optimal), k.optimum) << k.name;
        EXPECT_LE(k.optimum, cost_of(d, kv_tm_fill_in_weight)) << k.name;
        kv_domain_delete(d);
    }
}

// Influence diagrams and CG networks keep their elimination constraints:
// the same beliefs, expected utilities and moments as with method 18.
TEST(OptimalTriangulationTest, SmallNetworksGiveTheSameResultsAsTheHeuristic)
{
    for (const char *name : {"id_oil.net", "cg_simple.net", "chain.net", "model.net"}) {
        fs::path path = shared_net(std::string("small/") + name);
        if (!fs::exists(path))
            GTEST_SKIP() << path << " is absent";
        std::vector<double> results[2];
        int i = 0;
        for (kv_triangulation_method_t m : {kv_tm_fill_in_weight, kv_tm_optimal}) {
            kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
            ASSERT_NE(d, nullptr);
            ASSERT_EQ(kv_domain_triangulate(d, m), 0) << name;
            ASSERT_EQ(kv_domain_compile(d), 0) << name;
            ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << name;
            for (kv_node_t x = kv_domain_get_first_node(d); x; x = kv_node_get_next(x)) {
                if (kv_node_get_category(x) == kv_category_utility)
                    continue;
                if (kv_node_get_kind(x) == kv_kind_continuous) {
                    results[i].push_back(kv_node_get_mean(x));
                    results[i].push_back(kv_node_get_variance(x));
                    continue;
                }
                for (size_t s = 0; s < kv_node_get_number_of_states(x); ++s)
                    results[i].push_back(kv_node_get_category(x) == kv_category_decision
                                             ? kv_node_get_expected_utility(x, s)
                                             : kv_node_get_belief(x, s));
            }
            kv_domain_delete(d);
            ++i;
        }
        ASSERT_EQ(results[0].size(), results[1].size()) << name;
        for (size_t k = 0; k < results[0].size(); ++k) {
            EXPECT_NEAR(results[0][k], results[1][k], 1e-12) << name << " value " << k;
        }
    }
}

// A failed allocation anywhere in the search leaves the domain plain (and
// leaks nothing, as the sanitizer build checks).
TEST(OptimalTriangulationTest, FailedAllocationsLeaveTheDomainPlain)
{
    FourCycle g;
    long points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_triangulate(g.d, kv_tm_optimal);
        bool pending = kv::allocation_failure_pending();
        kv::fail_allocation_after(0);
        if (pending) { // every allocation succeeded
            ASSERT_EQ(status, 0);
            break;
        }
        ASSERT_EQ(status, kv_error_no_memory) << n;
        ASSERT_EQ(kv_domain_is_triangulated(g.d), 0) << n;
        ++points;
    }
    EXPECT_GT(points, 40);
    EXPECT_EQ(kv_domain_get_jt_cost(g.d), 72u);
}
