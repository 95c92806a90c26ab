#include "core/api.h"
#include "core/chain_block.h"
#include "core/node_list.h"
#include "core_fixture.h"
#include "table/table.h"

class ChainBlockTest : public DomainFixture {
  protected:
    kv_table_s *potential(std::vector<kv_node_t> nodes)
    {
        nodes.push_back(nullptr);
        return _kv_create_table(d, nodes.data(), KV_PROBABILITY, KV_ROLE_DERIVED, 0, 1);
    }
    int add(kv_table_s *t, size_t k)
    {
        return kv::guard_status([&] { return _kv_domain_add_chain_potential(d, t, k); });
    }
};

TEST_F(ChainBlockTest, BlocksMergeAsLinksJoinThem)
{
    kv_node_t p = chance("P", 2), a = chance("A", 2), b = chance("B", 2), c = chance("C", 2);
    kv_node_add_parent(a, p);
    kv_node_add_parent(b, p);
    kv_table_s *t1 = potential({p, a, b});
    ASSERT_EQ(add(t1, 2), 0);
    ASSERT_NE(a->chain_block, nullptr);
    EXPECT_EQ(a->chain_block, b->chain_block);
    EXPECT_EQ(p->chain_block, nullptr);
    EXPECT_EQ(_kv_node_list_length(a->chain_block->nodes), 2u);
    EXPECT_EQ(t1->role, KV_ROLE_NODE);
    kv_table_s *t2 = potential({b, c});
    ASSERT_EQ(add(t2, 2), 0);
    kv_chain_block_s *block = c->chain_block;
    EXPECT_EQ(a->chain_block, block);
    EXPECT_EQ(b->chain_block, block);
    EXPECT_EQ(_kv_node_list_length(block->nodes), 3u);
    EXPECT_EQ(block->potentials[0], t1);
    EXPECT_EQ(block->potentials[1], t2);
    EXPECT_EQ(block->potentials[2], nullptr);
    EXPECT_EQ(d->chain_blocks, block);
    EXPECT_EQ(block->next, nullptr) << "the merged block is gone";
}

TEST_F(ChainBlockTest, Checks)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), q = chance("Q", 2);
    kv_node_t dec = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    EXPECT_EQ(add(potential({a, b}), 1), kv_error_usage);
    EXPECT_EQ(add(potential({a, dec}), 2), kv_error_usage);
    EXPECT_EQ(add(potential({q, a, b}), 2), kv_error_usage) << "Q is no parent of A and B";
    EXPECT_EQ(add(potential({a}), 2), kv_error_usage);
    kv_node_add_parent(b, a);
    EXPECT_EQ(add(potential({a, b}), 2), kv_error_cyclic_network);
    EXPECT_EQ(d->chain_blocks, nullptr);
}

TEST_F(ChainBlockTest, MembersAreProtectedAndSearchedAsOne)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), c = chance("C", 2);
    ASSERT_EQ(add(potential({a, b}), 2), 0);
    EXPECT_EQ(kv_node_delete(a), kv_error_usage);
    ASSERT_EQ(kv_node_add_parent(c, b), 0);
    // A reaches C through its block: C cannot become a parent of A.
    EXPECT_EQ(kv_node_add_parent(a, c), kv_error_cyclic_network);
    EXPECT_EQ(kv_node_reverse_edge(b, c), kv_error_usage);
}
