#include <algorithm>
#include <set>

#include "compile_fixture.h"
#include "core/node_list.h"
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
                                            kv_tm_fill_in_weight}) {
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
