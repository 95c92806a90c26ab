#include <random>
#include <set>
#include <vector>

#include "core/api.h"
#include "core/chain_block.h"
#include "core/domain.h"
#include "core_fixture.h"
#include "table/table.h"

using DSeparationTest = DomainFixture;

static std::set<kv_node_t> connected(kv_domain_t d, std::vector<kv_node_t> sources,
                                     std::vector<kv_node_t> *evidence)
{
    sources.push_back(nullptr);
    std::vector<kv_node_t> e;
    if (evidence) {
        e = *evidence;
        e.push_back(nullptr);
    }
    kv_node_t *list = kv_domain_get_d_connected_nodes(d, sources.data(), evidence ? e.data() : nullptr);
    std::set<kv_node_t> out;
    for (kv_node_t *n = list; n && *n; ++n)
        out.insert(*n);
    free(list);
    return out;
}

TEST_F(DSeparationTest, Chain)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), c = chance("C", 2);
    kv_node_add_parent(b, a);
    kv_node_add_parent(c, b);
    std::vector<kv_node_t> none, on_b{b};
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, c, nullptr), 0);
    EXPECT_EQ(connected(d, {a}, &none), (std::set<kv_node_t>{a, b, c}));
    EXPECT_EQ(connected(d, {a}, &on_b), (std::set<kv_node_t>{a}));
    kv_node_t ev[] = {b, nullptr};
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, c, ev), 1);
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        EXPECT_EQ(n->mark, 0);
}

TEST_F(DSeparationTest, Collider)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), c = chance("C", 2), e = chance("E", 2);
    kv_node_add_parent(c, a);
    kv_node_add_parent(c, b);
    kv_node_add_parent(e, c);
    kv_node_t none[] = {nullptr}, on_c[] = {c, nullptr}, on_e[] = {e, nullptr};
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, b, none), 1);
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, b, on_c), 0);
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, b, on_e), 0);
}

TEST_F(DSeparationTest, SoftEvidenceOpensCollidersButBlocksNothing)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), c = chance("C", 2);
    kv_node_add_parent(b, a);
    kv_node_add_parent(c, b);
    auto soft = [](kv_node_t n) {
        n->entered_finding = kv::allocate_array<double>(2);
        n->entered_finding[0] = 0.5, n->entered_finding[1] = 1.0;
    };
    soft(b);
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, c, nullptr), 0);
    b->entered_finding[0] = 0.0; // now hard evidence
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, c, nullptr), 1);

    kv_node_t x = chance("X", 2), y = chance("Y", 2), z = chance("Z", 2);
    kv_node_add_parent(z, x);
    kv_node_add_parent(z, y);
    EXPECT_EQ(kv_domain_are_nodes_separated(d, x, y, nullptr), 1);
    soft(z);
    EXPECT_EQ(kv_domain_are_nodes_separated(d, x, y, nullptr), 0);
}

TEST_F(DSeparationTest, SourcesAndBlocks)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), c = chance("C", 2);
    std::vector<kv_node_t> none, on_a{a};
    EXPECT_EQ(connected(d, {a}, &none), std::set<kv_node_t>{a});
    EXPECT_EQ(connected(d, {a}, &on_a), std::set<kv_node_t>{a}) << "a source is always in";
    kv_node_t list[] = {a, b, nullptr};
    kv_table_s *t = _kv_create_table(d, list, KV_PROBABILITY, 1, 0, 1);
    ASSERT_EQ(kv::guard_status([&] { return _kv_domain_add_chain_potential(d, t, 2); }), 0);
    EXPECT_EQ(connected(d, {a}, &none), (std::set<kv_node_t>{a, b}));
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, c, nullptr), 1);
    kv_node_t twice[] = {a, a, nullptr};
    EXPECT_EQ(kv_domain_get_d_connected_nodes(d, twice, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_are_nodes_separated(d, a, nullptr, nullptr), -1);
    EXPECT_EQ(kv_domain_are_nodes_d_separated(d, twice, list, nullptr), -1);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

// The moralized ancestral graph criterion: a and b are d-separated by Z when
// Z separates them in the moral graph of the ancestors of {a, b} and Z.
static bool separated_by_moral_graph(const std::vector<std::vector<int>> &parents, int a, int b,
                                     const std::set<int> &z)
{
    int n = int(parents.size());
    std::vector<bool> anc(n, false);
    std::vector<int> stack{a, b};
    stack.insert(stack.end(), z.begin(), z.end());
    while (!stack.empty()) {
        int x = stack.back();
        stack.pop_back();
        if (anc[x])
            continue;
        anc[x] = true;
        for (int p : parents[x])
            stack.push_back(p);
    }
    std::vector<std::set<int>> adj(n);
    for (int x = 0; x < n; ++x) {
        if (!anc[x])
            continue;
        for (int p : parents[x]) {
            adj[x].insert(p), adj[p].insert(x);
            for (int q : parents[x])
                if (q != p)
                    adj[p].insert(q);
        }
    }
    if (z.count(a) || z.count(b))
        return true;
    std::vector<bool> seen(n, false);
    stack = {a};
    while (!stack.empty()) {
        int x = stack.back();
        stack.pop_back();
        if (seen[x] || z.count(x))
            continue;
        seen[x] = true;
        if (x == b)
            return false;
        for (int y : adj[x])
            stack.push_back(y);
    }
    return true;
}

TEST_F(DSeparationTest, AgreesWithTheMoralGraphCriterion)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 60; ++round) {
        kv_domain_t dom = kv_new_domain();
        int n = 2 + int(rng() % 11);
        std::vector<kv_node_t> nodes;
        std::vector<std::vector<int>> parents(n);
        for (int i = 0; i < n; ++i)
            nodes.push_back(kv_domain_new_node(dom, kv_category_chance, kv_kind_discrete));
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < j; ++i)
                if (rng() % 100 < 30) {
                    ASSERT_EQ(kv_node_add_parent(nodes[j], nodes[i]), 0);
                    parents[j].push_back(i);
                }
        for (int query = 0; query < 10; ++query) {
            int a = int(rng() % n);
            std::set<int> z;
            std::vector<kv_node_t> ev;
            for (int i = 0; i < n; ++i)
                if (i != a && rng() % 4 == 0) {
                    z.insert(i);
                    ev.push_back(nodes[i]);
                }
            std::set<kv_node_t> got = connected(dom, {nodes[a]}, &ev);
            for (int b = 0; b < n; ++b) {
                if (b == a)
                    continue;
                bool sep = separated_by_moral_graph(parents, a, b, z);
                EXPECT_EQ(got.count(nodes[b]) == 0, sep)
                    << "round " << round << " a " << a << " b " << b;
            }
        }
        kv_domain_delete(dom);
    }
}
