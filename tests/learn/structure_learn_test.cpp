#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"
#include "learn/structure.h"
#include "sampler.h"

namespace {

// A domain of discrete chance nodes named by the letters given, with the
// state counts given, and no links.
kv_domain_t make_domain(const std::vector<std::pair<std::string, size_t>> &nodes)
{
    kv_domain_t d = kv_new_domain();
    for (const auto &[name, states] : nodes) {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(n, name.c_str());
        kv_node_set_number_of_states(n, states);
    }
    return d;
}

kv_node_t node(kv_domain_t d, const char *name)
{
    return kv_domain_get_node_by_name(d, name);
}

// Cases as rows of states in the order of `names` (-1: missing), each with
// a count.
void add_cases(kv_domain_t d, const std::vector<const char *> &names,
               const std::vector<std::pair<std::vector<int>, double>> &rows)
{
    for (const auto &[row, count] : rows) {
        size_t i = kv_domain_new_case(d);
        for (size_t k = 0; k < names.size(); ++k)
            if (row[k] >= 0)
                kv_node_set_case_state(node(d, names[k]), i, size_t(row[k]));
        kv_domain_set_case_count(d, i, count);
    }
}

std::set<std::pair<std::string, std::string>> links(kv_domain_t d)
{
    std::set<std::pair<std::string, std::string>> out;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        for (kv_node_t *p = kv_node_get_parents(n); *p; ++p)
            out.insert({kv_node_get_name(*p), kv_node_get_name(n)});
    return out;
}

std::string names(kv_node_t *list)
{
    std::string s;
    for (; *list; ++list)
        s += std::string(s.empty() ? "" : " ") + kv_node_get_name(*list);
    return s;
}

// The upper tail of chi-square with one degree of freedom.
double tail1(double g2)
{
    return std::erfc(std::sqrt(g2 / 2));
}

// C = A or B over the four configurations of A and B, 25 cases each.
kv_domain_t or_domain()
{
    kv_domain_t d = make_domain({{"A", 2}, {"B", 2}, {"C", 2}});
    add_cases(d, {"A", "B", "C"}, {{{0, 0, 0}, 25}, {{0, 1, 1}, 25}, {{1, 0, 1}, 25}, {{1, 1, 1}, 25}});
    return d;
}

std::string read_log(FILE *f)
{
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;)
        s += char(c);
    return s;
}

} // namespace

// ---------------------------------------------------------------------------
// Constraints and settings.

TEST(EdgeConstraintTest, MirrorEntriesAndArgumentChecks)
{
    kv_domain_t d = make_domain({{"A", 2}, {"B", 2}, {"C", 2}});
    kv_node_t a = node(d, "A"), b = node(d, "B"), c = node(d, "C");
    EXPECT_EQ(kv_node_get_edge_constraint(a, b), kv_constraint_none);
    const std::pair<kv_edge_constraint_t, kv_edge_constraint_t> mirror[] = {
        {kv_constraint_edge_required, kv_constraint_edge_required},
        {kv_constraint_forward_edge_required, kv_constraint_backward_edge_required},
        {kv_constraint_backward_edge_required, kv_constraint_forward_edge_required},
        {kv_constraint_edge_forbidden, kv_constraint_edge_forbidden},
        {kv_constraint_forward_edge_forbidden, kv_constraint_backward_edge_forbidden},
        {kv_constraint_backward_edge_forbidden, kv_constraint_forward_edge_forbidden}};
    for (auto [set, seen] : mirror) {
        ASSERT_EQ(kv_node_set_edge_constraint(a, b, set), 0);
        EXPECT_EQ(kv_node_get_edge_constraint(a, b), set);
        EXPECT_EQ(kv_node_get_edge_constraint(b, a), seen);
    }
    ASSERT_EQ(kv_node_set_edge_constraint(b, a, kv_constraint_none), 0);
    EXPECT_EQ(kv_node_get_edge_constraint(a, b), kv_constraint_none);
    EXPECT_EQ(kv_node_get_edge_constraint(b, a), kv_constraint_none);

    EXPECT_EQ(kv_node_set_edge_constraint(a, a, kv_constraint_edge_required), kv_error_usage);
    EXPECT_EQ(kv_node_set_edge_constraint(a, b, kv_edge_constraint_t(99)), kv_error_usage);
    EXPECT_EQ(kv_node_set_edge_constraint(a, b, kv_constraint_error), kv_error_usage);
    EXPECT_EQ(kv_node_set_edge_constraint(nullptr, b, kv_constraint_none), kv_error_usage);
    EXPECT_EQ(kv_node_get_edge_constraint(a, nullptr), kv_constraint_error);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_t other = make_domain({{"X", 2}});
    EXPECT_EQ(kv_node_set_edge_constraint(a, node(other, "X"), kv_constraint_edge_required), kv_error_usage);
    EXPECT_EQ(kv_node_get_edge_constraint(a, node(other, "X")), kv_constraint_error);

    // Deleting a node takes both entries of each of its pairs.
    ASSERT_EQ(kv_node_set_edge_constraint(a, c, kv_constraint_forward_edge_required), 0);
    ASSERT_EQ(kv_node_set_edge_constraint(b, c, kv_constraint_edge_forbidden), 0);
    ASSERT_EQ(kv_node_set_edge_constraint(a, b, kv_constraint_edge_required), 0);
    ASSERT_EQ(kv_node_delete(c), 0);
    EXPECT_EQ(kv_node_get_edge_constraint(a, b), kv_constraint_edge_required);
    kv_node_t c2 = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    EXPECT_EQ(kv_node_get_edge_constraint(a, c2), kv_constraint_none);
    EXPECT_EQ(kv_node_get_edge_constraint(b, c2), kv_constraint_none);
    kv_domain_delete(other);
    kv_domain_delete(d);
}

TEST(EdgeConstraintTest, SignificanceLevel)
{
    kv_domain_t d = kv_new_domain();
    EXPECT_EQ(kv_domain_get_significance_level(d), 0.05);
    EXPECT_EQ(kv_domain_set_significance_level(d, 1), 0);
    EXPECT_EQ(kv_domain_get_significance_level(d), 1);
    EXPECT_EQ(kv_domain_set_significance_level(d, 1e-300), 0);
    for (double bad : {0.0, -0.1, 1.0000001, std::nan(""), double(INFINITY)})
        EXPECT_EQ(kv_domain_set_significance_level(d, bad), kv_error_usage) << bad;
    EXPECT_EQ(kv_domain_get_significance_level(d), 1e-300);
    EXPECT_EQ(kv_domain_get_significance_level(nullptr), -1);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_delete(d);
}

// ---------------------------------------------------------------------------
// The tests' statistics.

TEST(IndependenceTest, PValuesOfHandComputedTables)
{
    // Weighted counts 30 10 / 10 30: every expected count is 20.
    kv_domain_t d = make_domain({{"A", 2}, {"B", 2}, {"C", 3}, {"D", 2}});
    add_cases(d, {"A", "B", "C", "D"},
              {{{0, 0, 0, 0}, 12.5}, {{0, 0, 1, 1}, 17.5}, {{0, 1, 0, 0}, 10}, {{1, 0, 1, 1}, 10},
               {{1, 1, 0, 0}, 30}, {{1, 1, -1, -1}, 7}, {{0, 0, 1, 1}, 0}});
    EXPECT_EQ(kv_node_get_data_independency(node(d, "A"), node(d, "B")), -1);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    kv_node_t a = node(d, "A"), b = node(d, "B"), c = node(d, "C"), dd = node(d, "D");
    // A, B: cells 30 10 10 37 (the case with C and D missing counts here;
    // the case of count zero never does).
    double n00 = 30, n01 = 10, n10 = 10, n11 = 37, n = 87;
    double ra[] = {40, 47}, rb[] = {40, 47}, cell[2][2] = {{n00, n01}, {n10, n11}};
    double g2 = 0;
    for (int x = 0; x < 2; ++x)
        for (int y = 0; y < 2; ++y)
            g2 += 2 * cell[x][y] * std::log(cell[x][y] / (ra[x] * rb[y] / n));
    EXPECT_NEAR(kv_node_get_data_independency(a, b), tail1(g2), 1e-15);
    EXPECT_EQ(kv_node_get_data_independency(b, a), kv_node_get_data_independency(a, b));
    // C never takes state 2: one degree of freedom, not two.  C and D
    // agree: cells 52.5 0 / 0 27.5 without the missing case.
    double g2cd = 2 * 52.5 * std::log(52.5 / (52.5 * 52.5 / 80)) + 2 * 27.5 * std::log(27.5 / (27.5 * 27.5 / 80));
    EXPECT_NEAR(kv_node_get_data_independency(c, dd), tail1(g2cd), 1e-15);
    EXPECT_EQ(kv_node_get_data_independency(a, a), -1);
    kv_domain_delete(d);
}

TEST(IndependenceTest, NoDegreesOfFreedomMeansIndependence)
{
    // B takes one value: its p-value is 1 and even the level 1 accepts.
    kv_domain_t d = make_domain({{"A", 2}, {"B", 2}});
    add_cases(d, {"A", "B"}, {{{0, 1}, 5}, {{1, 1}, 9}});
    ASSERT_EQ(kv_domain_set_significance_level(d, 1), 0);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    EXPECT_EQ(kv_node_get_data_independency(node(d, "A"), node(d, "B")), 1);
    EXPECT_TRUE(links(d).empty());
    kv_domain_delete(d);

    // With level 1, a p-value below 1 is a dependence, however large.
    d = make_domain({{"A", 2}, {"B", 2}});
    add_cases(d, {"A", "B"}, {{{0, 0}, 10}, {{0, 1}, 10}, {{1, 0}, 10}, {{1, 1}, 11}});
    ASSERT_EQ(kv_domain_set_significance_level(d, 1), 0);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    double p = kv_node_get_data_independency(node(d, "A"), node(d, "B"));
    EXPECT_GT(p, 0.8);
    EXPECT_LT(p, 1);
    EXPECT_EQ(links(d).size(), 1u);
    kv_domain_delete(d);
}

// ---------------------------------------------------------------------------
// The PC algorithm.

TEST(PcTest, OrGateIsACollider)
{
    kv_domain_t d = or_domain();
    FILE *log = std::tmpfile();
    kv_domain_set_log_file(d, log);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    std::set<std::pair<std::string, std::string>> expected{{"A", "C"}, {"B", "C"}};
    EXPECT_EQ(links(d), expected);
    EXPECT_EQ(read_log(log), "\nIdentifying skeleton:\n"
                             "2 edges out of 3\n"
                             "\nIdentifying colliders:\n"
                             "R0: A -> C <- B\n"
                             "\nPDAG has an admissible DAG extension.\n"
                             "\nIdentifying derived directions:\n"
                             "\nCompleting orientation:\n");
    kv_domain_set_log_file(d, nullptr);
    std::fclose(log);
    // The marginal test of A and B found nothing: p = 1.
    EXPECT_EQ(kv_node_get_data_independency(node(d, "A"), node(d, "B")), 1);
    kv_domain_delete(d);
}

TEST(PcTest, ConstraintsForceAndForbid)
{
    kv_domain_t d = or_domain();
    // A - B is independent in the data but required; A - C is forbidden;
    // B -> C may not point that way.
    ASSERT_EQ(kv_node_set_edge_constraint(node(d, "A"), node(d, "B"), kv_constraint_backward_edge_required), 0);
    ASSERT_EQ(kv_node_set_edge_constraint(node(d, "A"), node(d, "C"), kv_constraint_edge_forbidden), 0);
    ASSERT_EQ(kv_node_set_edge_constraint(node(d, "C"), node(d, "B"), kv_constraint_backward_edge_forbidden), 0);
    FILE *log = std::tmpfile();
    kv_domain_set_log_file(d, log);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    std::set<std::pair<std::string, std::string>> expected{{"B", "A"}, {"C", "B"}};
    EXPECT_EQ(links(d), expected);
    EXPECT_EQ(read_log(log), "\nIdentifying skeleton:\n"
                             "B -> A (constraint)\n"
                             "C -> B (constraint)\n"
                             "2 edges out of 3\n"
                             "\nIdentifying colliders:\n"
                             "\nPDAG has an admissible DAG extension.\n"
                             "\nIdentifying derived directions:\n"
                             "\nCompleting orientation:\n");
    kv_domain_set_log_file(d, nullptr);
    std::fclose(log);
    kv_domain_delete(d);
}

TEST(PcTest, RequiredLinksComeEvenWithoutTests)
{
    kv_domain_t d = make_domain({{"A", 2}, {"B", 3}, {"C", 2}});
    ASSERT_EQ(kv_domain_learn_structure(d), 0); // no data: nothing happens
    EXPECT_TRUE(links(d).empty());
    ASSERT_EQ(kv_node_set_edge_constraint(node(d, "A"), node(d, "B"), kv_constraint_edge_required), 0);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    // Completion: B with A as parent costs 2 x 2 = 4, A with B as parent
    // costs 1 x 3 = 3: B -> A.
    std::set<std::pair<std::string, std::string>> expected{{"B", "A"}};
    EXPECT_EQ(links(d), expected);
    EXPECT_EQ(kv_domain_learn_structure(d), kv_error_usage); // it has links now
    kv_domain_delete(d);
}

TEST(PcTest, Preconditions)
{
    EXPECT_EQ(kv_domain_learn_structure(nullptr), kv_error_usage);
    kv_domain_t d = make_domain({{"A", 2}});
    kv_node_t u = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    EXPECT_EQ(kv_domain_learn_structure(d), kv_error_usage);
    EXPECT_EQ(kv_domain_learn_structure_npc(d), kv_error_usage);
    kv_node_delete(u);
    kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    EXPECT_EQ(kv_domain_learn_structure(d), kv_error_usage);
    kv_domain_delete(d);
}

// A missing entry keeps a case out of the tests that need that node only.
TEST(PcTest, MissingEntriesLeaveOnlyTheirTests)
{
    kv_domain_t d = make_domain({{"A", 2}, {"B", 2}, {"C", 2}});
    add_cases(d, {"A", "B", "C"}, {{{0, 0, -1}, 20}, {{1, 1, -1}, 20}, {{0, 0, 0}, 3}, {{1, 1, 1}, 1}});
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    // A, B: 23 / 21 on the diagonal.
    double g2 = 2 * 23 * std::log(23 / (23.0 * 23 / 44)) + 2 * 21 * std::log(21 / (21.0 * 21 / 44));
    EXPECT_NEAR(kv_node_get_data_independency(node(d, "A"), node(d, "B")), tail1(g2), 1e-15);
    // A, C: 3 / 1 on the diagonal, the other 40 cases left out.
    double g2ac = 2 * 3 * std::log(3 / (3.0 * 3 / 4)) + 2 * 1 * std::log(1 / (1.0 * 1 / 4));
    EXPECT_NEAR(kv_node_get_data_independency(node(d, "A"), node(d, "C")), tail1(g2ac), 1e-15);
    kv_domain_delete(d);
}

// ---------------------------------------------------------------------------
// The NPC algorithm.

// Three copies of one variable: every pair is independent given the third.
// X - Y goes given Z, then X - Z given Y; Y - Z keeps no neighbour to be
// tested given and stays.  Neither independence is explained by Y - Z
// alone: one region of X - Y and X - Z, each edge alone a minimal solution.
TEST(NpcTest, DeterministicCopiesMakeOneRegion)
{
    kv_domain_t d = make_domain({{"X", 2}, {"Y", 2}, {"Z", 2}});
    add_cases(d, {"X", "Y", "Z"}, {{{0, 0, 0}, 40}, {{1, 1, 1}, 60}});
    ASSERT_EQ(kv_domain_get_first_ambiguous_region(d), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    FILE *log = std::tmpfile();
    kv_domain_set_log_file(d, log);
    ASSERT_EQ(kv_domain_learn_structure_npc(d), 0);
    EXPECT_TRUE(links(d).empty());
    kv_ambiguous_region_t r = kv_domain_get_first_ambiguous_region(d);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kv_ambiguous_region_get_next(r), nullptr);
    auto edge_text = [](kv_uncertain_edge_t *e) {
        std::string s;
        for (; *e; ++e)
            s += std::string(s.empty() ? "" : " ") + kv_node_get_name(kv_uncertain_edge_get_first_node(*e)) +
                 "-" + kv_node_get_name(kv_uncertain_edge_get_second_node(*e));
        return s;
    };
    EXPECT_EQ(edge_text(kv_ambiguous_region_get_edges(r)), "X-Y X-Z");
    EXPECT_EQ(kv_ambiguous_region_get_first_solution(r), nullptr);
    ASSERT_EQ(kv_ambiguous_region_find_minimal_solutions(r), 0);
    std::vector<std::string> solutions;
    for (kv_solution_t s = kv_ambiguous_region_get_first_solution(r); s; s = kv_solution_get_next(s))
        solutions.push_back(edge_text(kv_solution_get_edges(s)));
    EXPECT_EQ(solutions, (std::vector<std::string>{"X-Y", "X-Z"}));
    EXPECT_EQ(names(kv_node_get_pdag_neighbors(node(d, "X"))), "");
    EXPECT_EQ(names(kv_node_get_pdag_neighbors(node(d, "Y"))), "Z");

    // Exclude X - Y: X - Z is left, and must come.
    kv_uncertain_edge_t xy = kv_ambiguous_region_get_edges(r)[0];
    ASSERT_EQ(kv_uncertain_edge_manual_decision(xy, 0), 0);
    EXPECT_EQ(kv_uncertain_edge_manual_decision(xy, 1), kv_error_usage); // decided already
    r = kv_domain_get_first_ambiguous_region(d);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(edge_text(kv_ambiguous_region_get_edges(r)), "X-Z");
    ASSERT_EQ(kv_ambiguous_region_find_minimal_solutions(r), 0);
    kv_solution_t s = kv_ambiguous_region_get_first_solution(r);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(edge_text(kv_solution_get_edges(s)), "X-Z");
    EXPECT_EQ(kv_solution_get_next(s), nullptr);
    ASSERT_EQ(kv_uncertain_edge_manual_decision(kv_solution_get_edges(s)[0], 1), 0);
    EXPECT_EQ(kv_domain_get_first_ambiguous_region(d), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(names(kv_node_get_pdag_neighbors(node(d, "Z"))), "X Y");

    // Direct one edge by hand, then undo everything and decide again.
    ASSERT_EQ(kv_node_add_pdag_parent(node(d, "X"), node(d, "Z")), 0);
    EXPECT_EQ(names(kv_node_get_pdag_parents(node(d, "X"))), "Z");
    EXPECT_EQ(kv_node_add_pdag_parent(node(d, "X"), node(d, "Y")), kv_error_usage); // no edge
    ASSERT_EQ(kv_domain_undo_manual_decisions(d), 0);
    EXPECT_EQ(names(kv_node_get_pdag_neighbors(node(d, "Z"))), "Y");
    EXPECT_EQ(names(kv_node_get_pdag_parents(node(d, "X"))), "");
    r = kv_domain_get_first_ambiguous_region(d);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(edge_text(kv_ambiguous_region_get_edges(r)), "X-Y X-Z");
    ASSERT_EQ(kv_uncertain_edge_manual_decision(kv_ambiguous_region_get_edges(r)[1], 1), 0);
    ASSERT_EQ(kv_domain_decide_automatically(d), 0);
    EXPECT_EQ(kv_domain_decide_automatically(d), kv_error_usage); // the graph is gone
    std::set<std::pair<std::string, std::string>> found = links(d);
    ASSERT_EQ(found.size(), 2u);
    // Not a collider at Z: X and Y are separated by Z.
    EXPECT_FALSE(found.count({"X", "Z"}) && found.count({"Y", "Z"}));
    std::string text = read_log(log);
    EXPECT_NE(text.find("\nManual decision: X - Y excluded\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nManual decision: X - Z included\n"), std::string::npos);
    EXPECT_NE(text.find("\nManual decision: X <- Z\n"), std::string::npos);
    EXPECT_NE(text.find("\nDeciding automatically:\n"), std::string::npos);
    kv_domain_set_log_file(d, nullptr);
    std::fclose(log);
    kv_domain_delete(d);
}

TEST(NpcTest, ExplainedIndependencesLeaveNoRegion)
{
    kv_domain_t d = or_domain();
    FILE *log = std::tmpfile();
    kv_domain_set_log_file(d, log);
    ASSERT_EQ(kv_domain_learn_structure_npc(d), 0);
    EXPECT_EQ(kv_domain_get_first_ambiguous_region(d), nullptr);
    EXPECT_EQ(names(kv_node_get_pdag_parents(node(d, "C"))), "A B");
    EXPECT_EQ(names(kv_node_get_pdag_neighbors(node(d, "C"))), "");
    EXPECT_EQ(read_log(log), "\nIdentifying skeleton:\n"
                             "(A,C) is definitely present\n"
                             "(B,C) is definitely present\n"
                             "2 edges out of 3\n"
                             "\nIdentifying colliders:\n"
                             "R0: A -> C <- B\n"
                             "\nPDAG has an admissible DAG extension.\n"
                             "\nIdentifying derived directions:\n");
    // A new node discards the kept graph.
    kv_node_t extra = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    EXPECT_EQ(kv_node_get_pdag_parents(node(d, "C")), nullptr);
    EXPECT_EQ(kv_domain_decide_automatically(d), kv_error_usage);
    EXPECT_EQ(kv_node_get_data_independency(node(d, "A"), node(d, "B")), -1);
    kv_node_delete(extra);
    ASSERT_EQ(kv_domain_learn_structure_npc(d), 0);
    ASSERT_EQ(kv_domain_decide_automatically(d), 0);
    std::set<std::pair<std::string, std::string>> expected{{"A", "C"}, {"B", "C"}};
    EXPECT_EQ(links(d), expected);
    kv_domain_set_log_file(d, nullptr);
    std::fclose(log);
    kv_domain_delete(d);
}

// ---------------------------------------------------------------------------
// Recovery of known networks from sampled data.

namespace {

// An empty domain with the nodes of d.
kv_domain_t nodes_of(kv_domain_t d)
{
    std::vector<std::pair<std::string, size_t>> list;
    std::vector<kv_node_t> all;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        all.push_back(n);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        list.push_back({kv_node_get_name(*it), kv_node_get_number_of_states(*it)});
    return make_domain(list);
}

using Links = std::set<std::pair<std::string, std::string>>;

Links skeleton(const Links &l)
{
    Links s;
    for (auto [a, b] : l)
        s.insert(a < b ? std::pair{a, b} : std::pair{b, a});
    return s;
}

// The colliders a -> c <- b with a and b not adjacent.
std::set<std::string> v_structures(const Links &l)
{
    Links s = skeleton(l);
    std::set<std::string> out;
    for (auto [a, c] : l)
        for (auto [b, c2] : l)
            if (c == c2 && a < b && !s.count({a, b}))
                out.insert(a + ">" + c + "<" + b);
    return out;
}

// A random DAG over n nodes, each with up to two earlier parents; a child
// leans (0.8) towards the state given by the sum of its parents' states,
// so that every parent matters on its own.
kv_domain_t random_network(size_t n, uint64_t seed)
{
    std::mt19937_64 random(seed);
    kv_domain_t d = kv_new_domain();
    std::vector<kv_node_t> nodes;
    for (size_t i = 0; i < n; ++i) {
        kv_node_t v = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(v, ("N" + std::to_string(i)).c_str());
        kv_node_set_number_of_states(v, 2 + random() % 2);
        size_t parents = i == 0 ? 0 : random() % 3;
        for (size_t p = 0; p < parents; ++p)
            kv_node_add_parent(v, nodes[random() % i]);
        nodes.push_back(v);
    }
    for (kv_node_t v : nodes) {
        kv_table_t t = kv_node_get_table(v);
        kv_node_t *list = kv_table_get_nodes(t);
        size_t k = kv_node_get_number_of_states(v), size = kv_table_get_size(t);
        double *data = kv_table_get_data(t);
        for (size_t i = 0; i < size; i += k) {
            // Row i / k: the parents' configuration in table order.
            size_t rest = i / k, sum = 0;
            std::vector<size_t> parent_states;
            for (kv_node_t *m = list; *m; ++m)
                if (*m != v)
                    parent_states.push_back(kv_node_get_number_of_states(*m));
            for (size_t p = parent_states.size(); p-- > 0;) {
                sum += rest % parent_states[p];
                rest /= parent_states[p];
            }
            for (size_t s = 0; s < k; ++s)
                data[i + s] = s == std::min(sum, k - 1) ? 0.8 : 0.2 / double(k - 1);
        }
    }
    return d;
}

} // namespace

TEST(PcRecoveryTest, RandomNetworksGiveTheirEquivalenceClass)
{
    for (uint64_t seed : {1, 2, 3, 4, 5}) {
        kv_domain_t truth = random_network(10 + seed, seed);
        kv_domain_t d = nodes_of(truth);
        sample(truth, d, 100000, seed);
        // Hundreds of tests at 5% would reject some true independence;
        // with this much data a stricter level loses no real dependence.
        ASSERT_EQ(kv_domain_set_significance_level(d, 0.001), 0);
        ASSERT_EQ(kv_domain_learn_structure(d), 0);
        EXPECT_EQ(skeleton(links(d)), skeleton(links(truth))) << seed;
        EXPECT_EQ(v_structures(links(d)), v_structures(links(truth))) << seed;
        kv_domain_delete(d);
        kv_domain_delete(truth);
    }
}

TEST(PcRecoveryTest, AlarmSkeleton)
{
    std::string path = std::string(KELVO_SHARED_DIR) + "/nets/alarm.net";
    kv_domain_t truth = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    if (!truth)
        GTEST_SKIP() << "no " << path;
    kv_domain_t d = nodes_of(truth);
    sample(truth, d, 100000, 7);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    Links found = skeleton(links(d)), real = skeleton(links(truth));
    size_t hits = 0;
    for (const auto &e : found)
        hits += real.count(e);
    EXPECT_GE(double(hits) / double(found.size()), 0.9) << hits << " of " << found.size();
    EXPECT_GE(double(hits) / double(real.size()), 0.9) << hits << " of " << real.size();
    kv_domain_delete(d);
    kv_domain_delete(truth);
}

// ---------------------------------------------------------------------------
// The ways of counting: dense tables from the cases, intersections of the
// cases' state sets, sparse sorted entries.  Each must give the same
// counts, so every test record must agree to the last bit.

namespace {

// Every test of every pair: the pair, the conditioning set, df, G^2 and the
// p-value (as exact hexadecimal numbers), the decision.
std::string test_records(kv_domain_t d)
{
    const kv::learn::TestResults *r = d->test_results;
    std::string out;
    if (!r)
        return out;
    char buffer[128];
    for (size_t j = 1; j < r->number_of_nodes; ++j)
        for (size_t i = 0; i < j; ++i)
            for (const kv::learn::TestRecord &t : const_cast<kv::learn::TestResults *>(r)->pair(i, j).tests) {
                out += std::string(kv_node_get_name(r->nodes[i])) + "-" + kv_node_get_name(r->nodes[j]) + " |";
                for (kv_node_t z : t.conditioning)
                    out += std::string(" ") + kv_node_get_name(z);
                std::snprintf(buffer, sizeof buffer, " df %zu g2 %a p %a %d\n", t.degrees_of_freedom, t.g2, t.p_value,
                              int(t.independent));
                out += buffer;
            }
    return out;
}

// Sets the count of each case, or (count 0) leaves the case's entries as
// they are and gives the case weight 0.
std::string learn_records(kv_domain_t d)
{
    EXPECT_EQ(kv_domain_set_significance_level(d, 0.001), 0);
    EXPECT_EQ(kv_domain_learn_structure(d), 0);
    std::string records = test_records(d);
    // Unlink again for the next run.
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        while (*kv_node_get_parents(n))
            kv_node_remove_parent(n, *kv_node_get_parents(n));
    return records;
}

struct DenseLimit {
    size_t kept = kv::learn::dense_count_limit;
    explicit DenseLimit(size_t limit) { kv::learn::dense_count_limit = limit; }
    ~DenseLimit() { kv::learn::dense_count_limit = kept; }
};

} // namespace

TEST(CountingTest, EveryWayGivesTheSameTests)
{
    kv_domain_t truth = random_network(9, 21);
    kv_domain_t d = nodes_of(truth);
    sample(truth, d, 3000, 21);
    // The last case a copy of the first, so that the first can stand for
    // both with count 2 (weights: no counting by sets).
    size_t last = kv_domain_get_number_of_cases(d) - 1;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        kv_node_set_case_state(n, last, kv_node_get_case_state(n, 0));
    std::string reference = learn_records(d);
    EXPECT_GT(std::count(reference.begin(), reference.end(), '\n'), 60);
    {
        DenseLimit sparse(0);
        EXPECT_EQ(learn_records(d), reference);
    }
    ASSERT_EQ(kv_domain_set_number_of_cases(d, last), 0);
    ASSERT_EQ(kv_domain_set_case_count(d, 0, 2), 0);
    EXPECT_EQ(learn_records(d), reference);
    {
        DenseLimit sparse(0);
        EXPECT_EQ(learn_records(d), reference);
    }
    // Missing entries: every table counted with checks.
    for (size_t c = 5; c < last; c += 97)
        kv_node_unset_case(kv_domain_get_node_by_name(d, ("N" + std::to_string(c % 9)).c_str()), c);
    std::string gaps = learn_records(d);
    EXPECT_NE(gaps, reference);
    {
        DenseLimit sparse(0);
        EXPECT_EQ(learn_records(d), gaps);
    }
    kv_domain_delete(d);
    kv_domain_delete(truth);
}

// A pair of 3,000 states each has a table of 9 M entries: with a missing
// entry its test counts sparsely, and must agree with the dense table of the
// same cases.
TEST(CountingTest, LargeTablesCountSparsely)
{
    auto build = [](bool gap) {
        kv_domain_t d = make_domain({{"X", 3000}, {"Y", 3000}});
        kv_node_t x = node(d, "X"), y = node(d, "Y");
        std::mt19937_64 random(5);
        size_t count = 2000;
        kv_domain_set_number_of_cases(d, count + gap);
        for (size_t i = 0; i < count; ++i) {
            // 40 states in use, so that the dependence shows.
            size_t a = random() % 40 * 75;
            kv_node_set_case_state(x, i, a);
            kv_node_set_case_state(y, i, random() % 4 == 0 ? random() % 40 * 75 : (a * 7) % 3000);
        }
        if (gap)
            kv_node_set_case_state(x, count, 1);
        return d;
    };
    kv_domain_t dense = build(false), sparse = build(true);
    ASSERT_EQ(kv_domain_learn_structure(dense), 0);
    ASSERT_EQ(kv_domain_learn_structure(sparse), 0);
    EXPECT_EQ(test_records(sparse), test_records(dense));
    EXPECT_EQ(links(sparse).size(), 1u);
    kv_domain_delete(dense);
    kv_domain_delete(sparse);
}

// ---------------------------------------------------------------------------
// Allocation failures: a run that fails leaves the domain without links and
// without test results, and reports no_memory.

TEST(StructureFailureTest, EveryAllocationFailureLeavesTheDomain)
{
    kv_domain_t truth = random_network(6, 3);
    kv_domain_t d = nodes_of(truth);
    sample(truth, d, 500, 3);
    ASSERT_EQ(kv_domain_learn_structure(d), 0);
    auto expected = links(d);
    std::string records = test_records(d);
    ASSERT_FALSE(expected.empty());
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        while (*kv_node_get_parents(n))
            kv_node_remove_parent(n, *kv_node_get_parents(n));
    size_t points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_learn_structure(d);
        bool pending = kv::allocation_failure_pending();
        kv::fail_allocation_after(0);
        if (status == 0) {
            EXPECT_TRUE(pending) << n;
            EXPECT_EQ(links(d), expected);
            EXPECT_EQ(test_records(d), records);
            break;
        }
        ASSERT_EQ(status, kv_error_no_memory) << n;
        ASSERT_TRUE(links(d).empty()) << n;
        ASSERT_EQ(d->test_results, nullptr) << n;
        ++points;
    }
    EXPECT_GT(points, 50u);
    kv_domain_delete(d);
    kv_domain_delete(truth);
}

TEST(StructureFailureTest, NpcFailuresKeepNoGraph)
{
    kv_domain_t d = make_domain({{"X", 2}, {"Y", 2}, {"Z", 2}});
    add_cases(d, {"X", "Y", "Z"}, {{{0, 0, 0}, 40}, {{1, 1, 1}, 60}});
    size_t points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_learn_structure_npc(d);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ASSERT_EQ(status, kv_error_no_memory) << n;
        ASSERT_EQ(kv_domain_get_first_ambiguous_region(d), nullptr) << n;
        ++points;
    }
    EXPECT_GT(points, 10u);
    kv_ambiguous_region_t r = kv_domain_get_first_ambiguous_region(d);
    ASSERT_NE(r, nullptr);
    // Minimal solutions: a failure leaves none; the next call finds both.
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_ambiguous_region_find_minimal_solutions(r);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ASSERT_EQ(status, kv_error_no_memory) << n;
        ASSERT_EQ(kv_ambiguous_region_get_first_solution(r), nullptr) << n;
    }
    kv_solution_t first = kv_ambiguous_region_get_first_solution(r);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(kv_solution_get_next(first), nullptr);
    EXPECT_EQ(kv_solution_get_next(kv_solution_get_next(first)), nullptr);
    // Automatic decisions: a failure adds no link and frees the graph and
    // the test results, as a failed learning run does.
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_decide_automatically(d);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ASSERT_EQ(status, kv_error_no_memory) << n;
        ASSERT_TRUE(links(d).empty()) << n;
        ASSERT_EQ(kv_domain_get_first_ambiguous_region(d), nullptr) << n;
        ASSERT_EQ(kv_node_get_data_independency(node(d, "X"), node(d, "Y")), -1.0) << n;
        ASSERT_EQ(kv_domain_learn_structure_npc(d), 0);
    }
    // Y - Z stays; the uncertain X - Y and X - Z are decided absent.
    std::set<std::pair<std::string, std::string>> expected{{"Y", "Z"}};
    EXPECT_EQ(skeleton(links(d)), expected);
    EXPECT_EQ(kv_domain_get_first_ambiguous_region(d), nullptr);
    kv_domain_delete(d);
}

// A log that cannot be written fails the run that flushes it with io: no
// links, no graph, no test results.
TEST(StructureFailureTest, UnwritableLogIsIo)
{
    FILE *full = std::fopen("/dev/full", "w");
    if (!full)
        GTEST_SKIP() << "/dev/full is not available";
    kv_domain_t d = or_domain();
    kv_domain_set_log_file(d, full);
    EXPECT_EQ(kv_domain_learn_structure(d), kv_error_io);
    EXPECT_TRUE(links(d).empty());
    EXPECT_EQ(kv_node_get_data_independency(node(d, "A"), node(d, "B")), -1.0);
    kv_domain_set_log_file(d, nullptr);
    std::fclose(full);
    kv_domain_delete(d);
}
