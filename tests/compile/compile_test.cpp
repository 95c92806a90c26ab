#include <algorithm>
#include <cstdio>
#include <string>
#include <set>

#include "compile_fixture.h"
#include "core/api.h"
#include "core/chain_block.h"
#include "core/node_list.h"
#include "table/operations.h"
#include "inference/propagate.h"

class CompileTest : public ::testing::Test {
  protected:
    void SetUp() override { d = kv_new_domain(); }
    void TearDown() override
    {
        kv::fail_allocation_after(0);
        kv_domain_delete(d);
    }
    kv_domain_t d;
};

TEST_F(CompileTest, InitialBeliefsAreThePriorMarginals)
{
    std::mt19937 rng(42);
    for (int round = 0; round < 40; ++round) {
        kv_domain_t dom = kv_new_domain();
        std::vector<kv_node_t> nodes = random_network(dom, rng, 3 + round % 7, 35);
        for (kv_triangulation_method_t m : {kv_tm_clique_size, kv_tm_clique_weight, kv_tm_fill_in_size,
                                            kv_tm_fill_in_weight, kv_tm_optimal}) {
            ASSERT_EQ(kv_domain_triangulate(dom, m), 0) << round;
            ASSERT_EQ(kv_domain_compile(dom), 0) << round;
            auto expected = brute_force_marginals(nodes);
            for (kv_node_t n : nodes) {
                ASSERT_NE(n->belief_table, nullptr);
                for (size_t s = 0; s < n->number_of_states; ++s)
                    EXPECT_NEAR(n->belief_table->discrete_data[s], expected[n][s], 1e-12)
                        << "round " << round << " method " << m;
            }
            ASSERT_EQ(kv_domain_uncompile(dom), 0);
        }
        kv_domain_delete(dom);
    }
}

// Prime components of up to a few thousand vertices test pairs through a bit
// matrix, larger ones through marked neighbourhoods: both must choose alike.
TEST_F(CompileTest, PairTestsOfTheHeuristicsAgree)
{
    auto order_of = [](kv_domain_t dom, kv_triangulation_method_t m) {
        std::vector<kv_node_t> order;
        EXPECT_EQ(kv_domain_triangulate(dom, m), 0);
        for (kv_node_t *o = kv_domain_get_elimination_order(dom); o && *o; ++o)
            order.push_back(*o);
        EXPECT_EQ(kv_domain_uncompile(dom), 0);
        return order;
    };
    std::mt19937 rng(7);
    size_t differing = 0;
    for (int round = 0; round < 12; ++round) {
        kv_domain_t dom = kv_new_domain();
        random_network(dom, rng, 30 + 4 * round, 6 + round % 4);
        for (kv_triangulation_method_t m : {kv_tm_clique_size, kv_tm_clique_weight, kv_tm_fill_in_size,
                                            kv_tm_fill_in_weight}) {
            std::vector<kv_node_t> with_matrix = order_of(dom, m);
            size_t previous = kv::set_triangulation_matrix_limit(0);
            std::vector<kv_node_t> without = order_of(dom, m);
            kv::set_triangulation_matrix_limit(previous);
            EXPECT_EQ(with_matrix, without) << "round " << round << " method " << m;
            ASSERT_FALSE(with_matrix.empty());
            differing += with_matrix != order_of(dom, m == kv_tm_clique_size ? kv_tm_fill_in_weight : kv_tm_clique_size);
        }
        kv_domain_delete(dom);
    }
    EXPECT_GT(differing, 0u) << "the networks must be hard enough for the heuristics to differ";
}

// ---------------------------------------------------------------------------
// Log transcripts.

namespace {

kv_node_t make(kv_domain_t d, kv_node_category_t c, kv_node_kind_t k, const char *name, size_t states)
{
    kv_node_t n = kv_domain_new_node(d, c, k);
    kv_node_set_name(n, name);
    if (states)
        kv_node_set_number_of_states(n, states);
    return n;
}

} // namespace

TEST_F(CompileTest, DiamondTranscript)
{
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 2);
    kv_node_t c = make(d, kv_category_chance, kv_kind_discrete, "C", 2);
    kv_node_t dd = make(d, kv_category_chance, kv_kind_discrete, "D", 2);
    kv_node_add_parent(b, a);
    kv_node_add_parent(c, a);
    kv_node_add_parent(dd, b);
    kv_node_add_parent(dd, c);
    kv_node_set_state_label(a, 0, "yes");
    kv_node_set_state_label(a, 1, "no");
    int status = 0;
    std::string log = logged(d, [&] { status = kv_domain_compile(d); });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(log, "\n\nMoral links:\n\n"
                   "    Marrying B and C\n"
                   "\n"
                   "\nTriangulating prime component with 3 members:\n"
                   "    C, B, A\n"
                   "This component is a clique of cost 8\n"
                   "\nTriangulating prime component with 3 members:\n"
                   "    D, C, B\n"
                   "This component is a clique of cost 8\n"
                   "\n\nTotal cost of triangulation for all prime components is 16\n"
                   "\n\nElimination sequence:\n\n"
                   "    D\n    A\n    B\n    C\n"
                   "\n\nCliques:\n"
                   "\nClique 2, 3 members, table size = 8:\n"
                   "    C, B, A\n"
                   "\nClique 1, 3 members, table size = 8:\n"
                   "    C, B, D\n"
                   "\nTotal clique table size: 16\n"
                   "\n\nThe junction forest:\n"
                   "\nCreating junction tree with clique 2 as root ...\n"
                   "\nCliques 2 and 1 linked, separator has 2 members and table size = 4:\n"
                   "    C, B\n"
                   "\n\nChecking tables for all nodes:\n\n"
                   "    Warning: Node `D' has no table\n"
                   "    Warning: Node `C' has no table\n"
                   "    Warning: Node `B' has no table\n"
                   "    Warning: Node `A' has no table\n"
                   "\n\nAssignment of potentials to cliques:\n\n"
                   "    Node D assigned to clique 1\n"
                   "    Node C assigned to clique 2\n"
                   "    Node B assigned to clique 2\n"
                   "    Node A assigned to clique 2\n"
                   "\n\nChecking tables for all nodes:\n\n"
                   "    Node D: min=2  max=2\n"
                   "    Node C: min=2  max=2\n"
                   "    Node B: min=2  max=2\n"
                   "    Node A: min=2  max=2\n"
                   "\n\nBeliefs for chance nodes:\n"
                   "\n    D:\n\tstate0   0.500000\n\tstate1   0.500000\n"
                   "\n    C:\n\tstate0   0.500000\n\tstate1   0.500000\n"
                   "\n    B:\n\tstate0   0.500000\n\tstate1   0.500000\n"
                   "\n    A:\n\tyes        0.500000\n\tno         0.500000\n");
    // Compilation normalised the default tables in place.
    EXPECT_EQ(kv_table_get_data(kv_node_get_table(dd))[0], 0.5);
}

TEST_F(CompileTest, InfluenceDiagramWithTwoDecisions)
{
    kv_node_t d1 = make(d, kv_category_decision, kv_kind_discrete, "D1", 2);
    kv_node_t c = make(d, kv_category_chance, kv_kind_discrete, "C", 2);
    kv_node_t d2 = make(d, kv_category_decision, kv_kind_discrete, "D2", 2);
    kv_node_t u = make(d, kv_category_utility, kv_kind_discrete, "U", 0);
    kv_node_add_parent(c, d1);
    kv_node_add_parent(d2, c);
    kv_node_add_parent(u, d2);
    kv_node_add_parent(u, c);
    double *t = kv_table_get_data(kv_node_get_table(c));
    t[0] = 0.9, t[1] = 0.1, t[2] = 0.2, t[3] = 0.8;
    double *v = kv_table_get_data(kv_node_get_table(u));
    v[0] = 0, v[1] = 10, v[2] = 20, v[3] = 30;
    std::string log = logged(d, [&] { ASSERT_EQ(kv_domain_compile(d), 0); });
    EXPECT_NE(log.find("\n\nMoral links:\n\n    Marrying C and D2\n\n\nNecessary fill-ins:\n\n\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\n\nElimination sequence:\n\n    D2\n    C\n    D1\n"), std::string::npos);
    EXPECT_NE(log.find("\n\nAssignment of potentials to cliques:\n\n"
                       "    Node U assigned to clique 1\n    Node C assigned to clique 2\n"),
              std::string::npos);
    EXPECT_NE(log.find("\n\nUtilities for decisions:\n\n"), std::string::npos);
    // The first decision: the expected maximal utility of each option.
    EXPECT_DOUBLE_EQ(d1->utility_belief_table->discrete_data[0], 0.9 * 10 + 0.1 * 30);
    EXPECT_DOUBLE_EQ(d1->utility_belief_table->discrete_data[1], 0.2 * 10 + 0.8 * 30);
    // An open decision is averaged: C's prior under the uniform policy.
    EXPECT_DOUBLE_EQ(c->belief_table->discrete_data[0], 0.55);
    EXPECT_DOUBLE_EQ(c->belief_table->discrete_data[1], 0.45);
    EXPECT_EQ(d1->elimination_index, 2u);
    EXPECT_EQ(d2->elimination_index, 4u);
    EXPECT_EQ(c->elimination_index, 3u);
    EXPECT_EQ(u->elimination_index, 6u);
    EXPECT_EQ(u->neighbours, nullptr) << "utility nodes are not in the moral graph";
}

TEST_F(CompileTest, ConditionalGaussianBeliefs)
{
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t x = make(d, kv_category_chance, kv_kind_continuous, "X", 0);
    kv_node_t y = make(d, kv_category_chance, kv_kind_continuous, "Y", 0);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 2);
    kv_node_add_parent(x, a);
    kv_node_add_parent(y, x);
    kv_node_add_parent(y, b);
    double *ta = kv_table_get_data(kv_node_get_table(a));
    ta[0] = 0.3, ta[1] = 0.7;
    kv_node_set_alpha(x, 0, 0), kv_node_set_gamma(x, 1, 0);
    kv_node_set_alpha(x, 10, 1), kv_node_set_gamma(x, 4, 1);
    kv_node_set_alpha(y, 1, 0), kv_node_set_beta(y, 2, x, 0), kv_node_set_gamma(y, 1, 0);
    kv_node_set_alpha(y, -1, 1), kv_node_set_beta(y, 0.5, x, 1), kv_node_set_gamma(y, 2, 1);
    double *tb = kv_table_get_data(kv_node_get_table(b));
    tb[0] = 0.6, tb[1] = 0.4;
    std::string log = logged(d, [&] { ASSERT_EQ(kv_domain_compile(d), 0); });
    EXPECT_NE(log.find("\n\nNecessary fill-ins:\n\n    Creating necessary fill-in between A and B\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\nClique 2, 3 members, table size = 4 + 8:\n    B, A, X\n"), std::string::npos);
    EXPECT_NE(log.find("separator has 2 members and table size = 2 + 4:\n    B, X\n"), std::string::npos);
    // X is a mixture of N(0, 1) and N(10, 4); Y | B is linear in X.
    double ex = 0.7 * 10, vx = 0.3 * (1 + 49) + 0.7 * (4 + 9);
    double m0 = 1 + 2 * ex, m1 = -1 + 0.5 * ex, ey = 0.6 * m0 + 0.4 * m1;
    double vy = 0.6 * (1 + 4 * vx) + 0.4 * (2 + 0.25 * vx) + 0.6 * 0.4 * (m0 - m1) * (m0 - m1);
    EXPECT_NEAR(x->belief_table->cg_data[0], ex, 1e-12);
    EXPECT_NEAR(x->belief_table->cg_data[1], vx, 1e-12);
    EXPECT_NEAR(y->belief_table->cg_data[0], ey, 1e-12);
    EXPECT_NEAR(y->belief_table->cg_data[1], vy, 1e-12);
    EXPECT_NE(log.find("\n    Y:\n\tMean: 10.000000   Variance: 99.150000   SD: 9.957409\n"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// Failures and states.

TEST_F(CompileTest, RefusedDomains)
{
    EXPECT_EQ(kv_domain_compile(nullptr), kv_error_usage);
    make(d, kv_category_utility, kv_kind_discrete, "U", 0);
    EXPECT_EQ(kv_domain_compile(d), kv_error_usage) << "only utility nodes";
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_compile(d), kv_error_usage) << "already compiled";
    EXPECT_EQ(kv_domain_is_compiled(d), 1);
    EXPECT_EQ(kv_domain_triangulate(d, kv_tm_fill_in_size), kv_error_usage);
    EXPECT_EQ(kv_domain_get_number_of_cliques(d), 1u);
    ASSERT_EQ(kv_domain_uncompile(d), 0);
    EXPECT_EQ(kv_domain_get_number_of_cliques(d), static_cast<size_t>(-1));
    EXPECT_EQ(kv_error_code(), kv_error_not_compiled);
    EXPECT_EQ(kv_domain_get_first_clique(d), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_triangulate(d, static_cast<kv_triangulation_method_t>(20)), kv_error_usage);
    ASSERT_EQ(kv_domain_triangulate(d, kv_tm_clique_size), 0);
    ASSERT_NE(kv_domain_get_elimination_order(d), nullptr);
    EXPECT_EQ(kv_domain_get_elimination_order(d)[0], a);
    EXPECT_EQ(a->elimination_number, 1u);
}

TEST_F(CompileTest, TwoDecisionsWithoutOrder)
{
    kv_node_t d1 = make(d, kv_category_decision, kv_kind_discrete, "D1", 2);
    kv_node_t d2 = make(d, kv_category_decision, kv_kind_discrete, "D2", 2);
    kv_node_t c = make(d, kv_category_chance, kv_kind_discrete, "C", 2);
    kv_node_add_parent(c, d1);
    kv_node_add_parent(c, d2);
    int status = 0;
    std::string log = logged(d, [&] { status = kv_domain_compile(d); });
    EXPECT_EQ(status, kv_error_decision_order);
    EXPECT_EQ(log, "\n\nCycle (or invalid decision order) detected in network.  Compilation aborted.\n");
    EXPECT_EQ(kv_domain_is_triangulated(d), 0);
    EXPECT_EQ(kv_domain_is_compiled(d), 0);
    EXPECT_EQ(d->first_clique, nullptr);
    for (kv_node_t n : {d1, d2, c}) {
        EXPECT_EQ(n->elimination_index, 0u);
        EXPECT_EQ(n->neighbours, nullptr);
    }
}

TEST_F(CompileTest, ZeroColumnKeepsTheTriangulationTheCallFound)
{
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 2);
    kv_node_add_parent(b, a);
    double *t = kv_table_get_data(kv_node_get_table(b));
    t[0] = 0, t[1] = 0, t[2] = 0.5, t[3] = 0.5;
    EXPECT_EQ(kv_domain_compile(d), kv_error_zero_sum);
    EXPECT_EQ(kv_domain_is_triangulated(d), 0) << "the triangulation of this call goes";
    EXPECT_EQ(d->first_clique, nullptr);
    ASSERT_EQ(kv_domain_triangulate(d, kv_tm_fill_in_weight), 0);
    EXPECT_EQ(kv_domain_compile(d), kv_error_zero_sum);
    EXPECT_EQ(kv_domain_is_triangulated(d), 1) << "an earlier triangulation stays";
    EXPECT_EQ(kv_domain_is_compiled(d), 0);
    EXPECT_EQ(d->first_clique, nullptr);
    t = kv_table_get_data(kv_node_get_table(b));
    t[0] = -1, t[1] = 2;
    EXPECT_EQ(kv_domain_compile(d), kv_error_negative_probability);
    t[0] = 1, t[1] = 3;
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(t[0], 0.25) << "columns are normalised in place";
    EXPECT_EQ(t[1], 0.75);
}

TEST_F(CompileTest, CyclesAreRefused)
{
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 2);
    kv_node_add_parent(b, a);
    // A cycle can only come from outside the edits (a file reader, say).
    ASSERT_EQ(_kv_node_list_extend(&a->parents), 0);
    _kv_node_list_append(a->parents, b);
    ASSERT_EQ(_kv_node_list_extend(&b->children), 0);
    _kv_node_list_append(b->children, a);
    EXPECT_EQ(kv_domain_compile(d), kv_error_cyclic_network);
    EXPECT_EQ(kv_domain_is_triangulated(d), 0);
    _kv_node_list_remove(a->parents, b);
    _kv_node_list_remove(b->children, a);
    EXPECT_EQ(kv_domain_compile(d), 0);
}

TEST_F(CompileTest, UserOrders)
{
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 2);
    kv_node_t c = make(d, kv_category_chance, kv_kind_discrete, "C", 2);
    kv_node_t u = make(d, kv_category_utility, kv_kind_discrete, "U", 0);
    kv_node_add_parent(b, a);
    kv_node_add_parent(c, b);
    kv_node_add_parent(u, c);
    kv_node_t with_utility[] = {a, b, u, c, nullptr};
    EXPECT_EQ(kv_domain_triangulate_with_order(d, with_utility), kv_error_enumeration);
    EXPECT_EQ(kv_domain_is_triangulated(d), 0);
    kv_node_t twice[] = {a, a, b, c, nullptr};
    EXPECT_EQ(kv_domain_triangulate_with_order(d, twice), kv_error_enumeration);
    kv_node_t missing[] = {a, b, nullptr};
    EXPECT_EQ(kv_domain_triangulate_with_order(d, missing), kv_error_enumeration);
    EXPECT_EQ(kv_domain_is_triangulated(d), 0);
    kv_node_t order[] = {b, a, c, nullptr};
    std::string log = logged(d, [&] { ASSERT_EQ(kv_domain_triangulate_with_order(d, order), 0); });
    EXPECT_NE(log.find("\n\nUser specified triangulation -- Fill-in links and node numbering:\n\n"
                       "    3 B\nAdding fill-in between A and C\n    2 A\n    1 C\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(u->elimination_number, 4u);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_get_number_of_cliques(d), 1u) << "b's elimination makes {A, B, C}";
}

TEST_F(CompileTest, TwoPartsMakeTwoTrees)
{
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 3);
    make(d, kv_category_chance, kv_kind_discrete, "C", 2);
    kv_node_add_parent(b, a);
    ASSERT_EQ(kv_domain_compile(d), 0);
    size_t trees = 0;
    for (kv_junction_tree_t jt = kv_domain_get_first_junction_tree(d); jt; jt = kv_jt_get_next(jt)) {
        ++trees;
        kv_clique_t *cliques = kv_jt_get_cliques(jt);
        ASSERT_NE(cliques, nullptr);
        EXPECT_EQ(cliques[0], kv_jt_get_root(jt));
        EXPECT_EQ(cliques[1], nullptr);
        EXPECT_EQ(kv_clique_get_junction_tree(cliques[0]), jt);
        EXPECT_EQ(kv_clique_get_neighbors(cliques[0])[0], nullptr);
        EXPECT_EQ(kv_clique_get_number_of_neighbors(cliques[0]), 0u);
    }
    EXPECT_EQ(trees, 2u);
    EXPECT_EQ(kv_domain_get_jt_cost(d), 8u);
    kv_clique_t first = kv_domain_get_first_clique(d);
    EXPECT_EQ(kv_clique_get_number_of_members(first) + kv_clique_get_number_of_members(kv_clique_get_next(first)), 3u);
    EXPECT_EQ(kv_clique_get_utility_table(first), nullptr);
    EXPECT_NE(kv_clique_get_probability_table(first), nullptr);
}

TEST_F(CompileTest, ChainGraphBlockBecomesOneUnit)
{
    std::mt19937 rng(3);
    kv_node_t p = make(d, kv_category_chance, kv_kind_discrete, "P", 2);
    kv_node_t a = make(d, kv_category_chance, kv_kind_discrete, "A", 2);
    kv_node_t b = make(d, kv_category_chance, kv_kind_discrete, "B", 2);
    kv_node_add_parent(a, p);
    kv_node_add_parent(b, p);
    fill_conditional(p, rng);
    kv_node_t list[] = {a, b, nullptr};
    kv_table_s *link = _kv_create_table(d, list, KV_PROBABILITY, KV_ROLE_DERIVED, 0, 1);
    link->discrete_data[0] = 4, link->discrete_data[1] = 1, link->discrete_data[2] = 1,
    link->discrete_data[3] = 4;
    ASSERT_EQ(kv::guard_status([&] { return _kv_domain_add_chain_potential(d, link, 2); }), 0);
    std::string log = logged(d, [&] { ASSERT_EQ(kv_domain_compile(d), 0); });
    EXPECT_NE(log.find("    Chain graph component (A, B):\n\tParents assigned to clique "), std::string::npos)
        << log;
    EXPECT_NE(log.find("   Potential (A, B) assigned to clique "), std::string::npos);
    // P(A, B | P) is proportional to the link potential (the members' own
    // tables are uniform): agreement 0.8.
    EXPECT_NEAR(a->belief_table->discrete_data[0], 0.5, 1e-12);
    kv_node_t ab[] = {a, b, nullptr};
    kv_clique_s *c = _kv_select_clique(d->first_clique, ab, nullptr);
    ASSERT_NE(c, nullptr);
    kv_node_t none[] = {nullptr};
    kv_table_s *m = _kv_table_get_marginal(c->probability_table, ab, kv_equilibrium_sum, kv_mode_normal, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_NEAR(m->discrete_data[0] + m->discrete_data[3], 0.8, 1e-12);
    _kv_free_table(m);
    (void)none;
}

// A compilation that fails after a triangulation it did not make keeps the
// elimination numbers but not the cliques; the next compilation makes the
// cliques again with the fill-ins the order needs (here the chord of the
// cycle A-B-C-D-A) and gives the beliefs of a fresh compilation.
TEST_F(CompileTest, RecompileAfterAFailureKeepsTheTriangulation)
{
    const char *net = "node A { states = (\"y\" \"n\"); } node B { states = (\"y\" \"n\"); }"
                      "node C { states = (\"y\" \"n\"); } node D { states = (\"y\" \"n\"); }"
                      "node E { states = (\"y\" \"n\"); }"
                      "potential (A) { data = (0.3 0.7); } potential (B | A) { data = (0.2 0.8 0.6 0.4); }"
                      "potential (C | B) { data = (0.1 0.9 0.5 0.5); } potential (D | C) { data = (0.7 0.3 0.4 0.6); }"
                      "potential (E | D A) { data = (0.9 0.1 0.3 0.7 0.2 0.8 0.5 0.5); }";
    kv_domain_t a = kv_net_parse_from_string(net, nullptr), b = kv_net_parse_from_string(net, nullptr);
    ASSERT_EQ(kv_domain_triangulate(a, kv_tm_fill_in_weight), 0);
    double *t = kv_table_get_data(kv_node_get_table(kv_domain_get_node_by_name(a, "B")));
    t[0] = -1;
    EXPECT_EQ(kv_domain_compile(a), kv_error_negative_probability);
    EXPECT_EQ(kv_domain_is_triangulated(a), 1);
    t[0] = 0.2;
    ASSERT_EQ(kv_domain_compile(a), 0);
    ASSERT_EQ(kv_domain_compile(b), 0);
    for (kv_domain_t x : {a, b}) {
        ASSERT_EQ(kv_node_select_state(kv_domain_get_node_by_name(x, "E"), 0), 0);
        ASSERT_EQ(kv_domain_propagate(x, kv_equilibrium_sum, kv_mode_normal), 0);
    }
    // P(C = y | E = y), worked out by enumeration.
    double p = kv_node_get_belief(kv_domain_get_node_by_name(a, "C"), 0);
    EXPECT_NEAR(p, 0.33615557613440933, 1e-15);
    EXPECT_NEAR(kv_node_get_belief(kv_domain_get_node_by_name(b, "C"), 0), p, 1e-15);
    kv_domain_delete(a);
    kv_domain_delete(b);
}
