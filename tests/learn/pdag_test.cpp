#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/domain.h"
#include "kelvo.h"
#include "learn/pdag.h"

namespace {

using namespace kv::learn;

// A learned graph over nodes named A, B, ... with edges given by hand:
// "A-B" undirected, "A>B" directed.
class PdagTest : public ::testing::Test {
protected:
    void build(size_t n, std::initializer_list<const char *> edges)
    {
        d = kv_new_domain();
        for (size_t i = 0; i < n; ++i) {
            kv_node_t v = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
            kv_node_set_name(v, std::string(1, char('A' + i)).c_str());
            kv_node_set_number_of_states(v, 2);
        }
        r = create<TestResults>();
        r->number_of_nodes = n;
        r->nodes.resize(n);
        for (kv_node_t v = kv_domain_get_first_node(d); v; v = kv_node_get_next(v))
            r->nodes[_kv_creation_index(v)] = v;
        r->pairs.resize(n * (n - 1) / 2);
        g = create<Graph>(d, *r);
        for (const char *e : edges) {
            size_t a = size_t(e[0] - 'A'), b = size_t(e[2] - 'A');
            g->add_undirected(a, b);
            if (e[1] == '>')
                g->set_direction(a, b);
        }
        log = std::tmpfile();
        kv_domain_set_log_file(d, log);
    }
    void TearDown() override
    {
        destroy(g);
        destroy(r);
        kv_domain_set_log_file(d, nullptr);
        std::fclose(log);
        kv_domain_delete(d);
    }
    std::string text()
    {
        std::fflush(log);
        std::rewind(log);
        std::string s;
        for (int c; (c = std::fgetc(log)) != EOF;)
            s += char(c);
        return s;
    }
    bool arrow(char a, char b) { return g->directed(size_t(a - 'A'), size_t(b - 'A')); }

    kv_domain_t d = nullptr;
    TestResults *r = nullptr;
    Graph *g = nullptr;
    FILE *log = nullptr;
};

} // namespace

TEST_F(PdagTest, RuleOne)
{
    build(3, {"A>B", "B-C"});
    g->identify_derived_directions();
    EXPECT_TRUE(arrow('B', 'C'));
    EXPECT_EQ(text(), "\nIdentifying derived directions:\nR1: A -> B - C => B -> C\n");
}

TEST_F(PdagTest, RuleTwo)
{
    build(3, {"A-C", "A>B", "B>C"});
    g->identify_derived_directions();
    EXPECT_TRUE(arrow('A', 'C'));
    EXPECT_EQ(text(), "\nIdentifying derived directions:\nR2: A - C, A -> B -> C => A -> C\n");
}

TEST_F(PdagTest, RuleThree)
{
    // A - D, A - B -> D, A - C -> D, B and C not adjacent.
    build(4, {"A-D", "A-B", "A-C", "B>D", "C>D"});
    g->identify_derived_directions();
    EXPECT_TRUE(arrow('A', 'D'));
    EXPECT_TRUE(g->is_undirected(0, 1));
    EXPECT_EQ(text(), "\nIdentifying derived directions:\n"
                      "R3: A - D, A - B -> D, not B - C, A - C -> D => A -> D\n");
}

TEST_F(PdagTest, RuleFour)
{
    // A - D, A - B -> C -> D, C adjacent to A, B and D not adjacent.
    build(4, {"A-D", "A-B", "B>C", "C>D", "A-C"});
    g->identify_derived_directions();
    EXPECT_TRUE(arrow('A', 'D'));
    EXPECT_TRUE(g->is_undirected(0, 1));
    EXPECT_TRUE(g->is_undirected(0, 2));
    EXPECT_EQ(text(), "\nIdentifying derived directions:\n"
                      "R4: A - D, A - B -> C, (A - C, A -> C, or A <- C), B -> C -> D => A -> D\n");
}

TEST_F(PdagTest, RuleOneAvoidsACycle)
{
    // A -> B - C would give B -> C, which closes C -> D -> B -> C.
    build(4, {"A>B", "B-C", "C>D", "D>B"});
    g->identify_derived_directions();
    EXPECT_TRUE(arrow('C', 'B'));
    EXPECT_EQ(text(), "\nIdentifying derived directions:\nR1: A -> B - C => B <- C to maintain acyclicity\n");
}

TEST_F(PdagTest, CompletionByCostAndAdmissibility)
{
    build(3, {"A-B", "B-C"});
    kv_node_set_number_of_states(r->nodes[1], 3);
    g->log_admissibility();
    g->complete_orientation();
    // A - B: cost(A) = 1 x 3 below cost(B) = 2 x 2: B -> A.  No rule
    // applies; B - C: cost(C) = 1 x 3 below cost(B) = 2 x 2: B -> C.
    EXPECT_TRUE(arrow('B', 'A'));
    EXPECT_TRUE(arrow('B', 'C'));
    EXPECT_EQ(text(), "\nPDAG has an admissible DAG extension.\n"
                      "\nCompleting orientation:\n"
                      "B -> A\n"
                      "B -> C\n");
}

TEST_F(PdagTest, ACycleOfUndirectedEdgesHasNoExtension)
{
    // A chordless cycle of four: no DAG without a new collider.
    build(4, {"A-B", "B-C", "C-D", "D-A"});
    g->log_admissibility();
    EXPECT_EQ(text(), "\nPDAG does not have an admissible DAG extension.\n");
}
