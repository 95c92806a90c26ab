#include <cfloat>
#include <cmath>

#include "table/control.h"
#include "table/operations.h"
#include "table_fixture.h"

using TableTest = TableFixture;

TEST_F(TableTest, DiscreteLayoutIsRowMajorWithTheLastNodeFastest)
{
    kv_node_t a = discrete(2), b = discrete(3);
    kv_table_s *t = table({a, b});
    EXPECT_EQ(kv_table_get_size(t), 6u);
    EXPECT_EQ(config_index(t, {{a, 0}, {b, 1}}), 1u);
    EXPECT_EQ(config_index(t, {{a, 1}, {b, 0}}), 3u);
    EXPECT_EQ(data(t), std::vector<double>(6, 1.0)) << "probability tables start at 1";
    kv_table_s *u = table({a}, KV_UTILITY);
    EXPECT_EQ(data(u), std::vector<double>(2, 0.0)) << "utility tables start at 0";
    kv_table_s *e = table({a}, KV_EXPERIENCE);
    EXPECT_EQ(data(e), std::vector<double>(2, 0.0));
    kv_table_s *f = table({a}, KV_FADING);
    EXPECT_EQ(data(f), std::vector<double>(2, 1.0));
    kv_table_s *empty = table({});
    EXPECT_EQ(empty->size, 1u);
}

TEST_F(TableTest, CgLayoutOfTwoContinuousNodes)
{
    kv_node_t x = continuous(), y = continuous(), a = discrete(2);
    kv_table_s *t = table({a, x, y});
    EXPECT_EQ(t->cg_size, 5u);
    EXPECT_EQ(_kv_cg_mean_offset(0), 0u);
    EXPECT_EQ(_kv_cg_cov_offset(0, 0), 1u);
    EXPECT_EQ(_kv_cg_mean_offset(1), 2u);
    EXPECT_EQ(_kv_cg_cov_offset(1, 0), 3u);
    EXPECT_EQ(_kv_cg_cov_offset(0, 1), 3u);
    EXPECT_EQ(_kv_cg_cov_offset(1, 1), 4u);
    EXPECT_EQ(_kv_calculate_c_size(3), 9u);
    EXPECT_EQ(_kv_calculate_c_size(0), 0u);
    EXPECT_EQ(t->continuous_roles[0], KV_ABSENT);
    EXPECT_EQ(t->continuous_roles[1], KV_ABSENT);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(t->cg_data[i], 0.0);
}

TEST_F(TableTest, CreationPartitionsAndChecks)
{
    kv_node_t x = continuous(), a = discrete(2), y = continuous(), b = discrete(3);
    kv_node_t list[] = {x, a, y, b, nullptr};
    kv_table_s *t = _kv_create_table(d, list, KV_PROBABILITY, 0, 1, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->nodes[0], b) << "scans from both ends swap x and b";
    EXPECT_EQ(t->nodes[1], a);
    EXPECT_EQ(t->nodes[2], y);
    EXPECT_EQ(t->nodes[3], x);
    EXPECT_EQ(t->discrete_count, 2u);
    EXPECT_EQ(t->continuous_count, 2u);
    EXPECT_EQ(t->discrete_data, nullptr);
    EXPECT_EQ(_kv_create_table(d, list, KV_PROBABILITY, 0, 0, 1), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage) << "unpartitioned list without partition";
    kv_node_t twice[] = {a, a, nullptr};
    EXPECT_EQ(_kv_create_table(d, twice, KV_PROBABILITY, 0, 0, 1), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_t other = kv_new_domain();
    kv_node_t stranger = kv_domain_new_node(other, kv_category_chance, kv_kind_discrete);
    kv_node_t mixed[] = {a, stranger, nullptr};
    EXPECT_EQ(_kv_create_table(d, mixed, KV_PROBABILITY, 0, 0, 1), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_delete(other);
}

TEST_F(TableTest, NumbersStayDense)
{
    kv_node_t a = discrete(2);
    kv_table_s *t1 = table({a}), *t2 = table({a}), *t3 = table({a});
    EXPECT_EQ(t1->number, 1u);
    EXPECT_EQ(t3->number, 3u);
    _kv_free_table(t2);
    EXPECT_EQ(t1->number, 1u);
    EXPECT_EQ(t3->number, 2u);
    EXPECT_EQ(d->number_of_tables, 2u);
    _kv_unlink_table(t1);
    EXPECT_EQ(t1->number, 0u);
    EXPECT_EQ(t3->number, 1u);
    EXPECT_EQ(d->first_table, t3);
    owned.push_back(t1);
}

TEST_F(TableTest, SizeSaturates)
{
    kv_node_t a = discrete(2), b = discrete(2);
    ASSERT_EQ(kv_node_set_number_of_states(a, SIZE_MAX / 2 + 1), 0);
    ASSERT_EQ(kv_node_set_number_of_states(b, 3), 0);
    kv_node_t list[] = {a, b, nullptr};
    kv_table_s *t = _kv_create_table(d, list, KV_PROBABILITY, 0, 0, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(kv_table_get_size(t), SIZE_MAX);
    EXPECT_EQ(kv_error_code(), kv_error_size_too_large);
    EXPECT_EQ(kv_table_get_data(t), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_EQ(_kv_create_table(d, list, KV_PROBABILITY, 0, 0, 1), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_EQ(kv_table_get_size(nullptr), SIZE_MAX);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(TableTest, ResizeGrowsWithCopiesOfStateZeroAndShrinksBack)
{
    kv_node_t a = discrete(2), b = discrete(3);
    kv_table_s *t = table({a, b});
    fill(t, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(_kv_table_resize(t, a, 3), 0);
    EXPECT_EQ(data(t), (std::vector<double>{1, 2, 3, 4, 5, 6, 1, 2, 3}));
    a->number_of_states = 3;
    ASSERT_EQ(_kv_table_resize(t, a, 2), 0);
    EXPECT_EQ(data(t), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    a->number_of_states = 2;
    ASSERT_EQ(_kv_table_resize(t, b, 4), 0);
    EXPECT_EQ(data(t), (std::vector<double>{1, 2, 3, 1, 4, 5, 6, 4}));
    b->number_of_states = 4;
    ASSERT_EQ(_kv_table_resize(t, b, 2), 0);
    EXPECT_EQ(data(t), (std::vector<double>{1, 2, 4, 5}));
}

TEST_F(TableTest, ResizeMovesCgBlocks)
{
    kv_node_t a = discrete(2), x = continuous();
    kv_table_s *t = table({a, x});
    for (size_t i = 0; i < 4; ++i)
        t->cg_data[i] = 10.0 + i; // (mean, var) per configuration
    ASSERT_EQ(_kv_table_resize(t, a, 3), 0);
    EXPECT_EQ(std::vector<double>(t->cg_data, t->cg_data + 6),
              (std::vector<double>{10, 11, 12, 13, 10, 11}));
}

TEST_F(TableTest, FailedResizeLeavesTheTable)
{
    kv_node_t a = discrete(2), x = continuous();
    kv_table_s *t = table({a, x});
    fill(t, {0.25, 0.75});
    for (long k = 1; k <= 2; ++k) { // discrete array, then CG array
        kv::fail_allocation_after(k);
        EXPECT_EQ(_kv_table_resize(t, a, 5), kv_error_no_memory) << k;
        EXPECT_EQ(t->size, 2u);
        EXPECT_EQ(data(t), (std::vector<double>{0.25, 0.75}));
    }
    kv::fail_allocation_after(0);
    // A size that saturates fails before any allocation.
    kv_node_t b = discrete(2);
    kv_table_s *u = table({a, b});
    EXPECT_EQ(_kv_table_resize(u, b, SIZE_MAX / 2), kv_error_no_memory);
    EXPECT_EQ(u->size, 4u);
}

TEST_F(TableTest, NodeStateCountFollowsIntoTables)
{
    kv_node_t a = discrete(2), b = discrete(2);
    link(a, b);
    kv_table_s *ta = _kv_node_get_table(a);
    kv_table_s *tb = _kv_node_get_table(b);
    ASSERT_EQ(_kv_allocate_data_arrays(tb), 0);
    fill(tb, {0.1, 0.9, 0.3, 0.7});
    EXPECT_EQ(kv_node_set_number_of_states(a, 3), 0);
    EXPECT_EQ(ta->size, 3u);
    EXPECT_EQ(data(tb), (std::vector<double>{0.1, 0.9, 0.3, 0.7, 0.1, 0.9}));
    // The child's table cannot grow: the parent keeps its count and the
    // parent's own table goes back.
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_node_set_number_of_states(a, 5), kv_error_no_memory);
    EXPECT_EQ(kv_node_get_number_of_states(a), 3u);
    EXPECT_EQ(ta->size, 3u);
    EXPECT_EQ(data(tb), (std::vector<double>{0.1, 0.9, 0.3, 0.7, 0.1, 0.9}));
    EXPECT_EQ(kv_node_set_number_of_states(a, 1), 0);
    EXPECT_EQ(data(tb), (std::vector<double>{0.1, 0.9}));
}

TEST_F(TableTest, AddNodeCopiesTheData)
{
    kv_node_t a = discrete(2), b = discrete(2), c = discrete(3);
    kv_table_s *t = table({a, b});
    fill(t, {1, 2, 3, 4});
    ASSERT_EQ(_kv_table_add_node(t, c), 0);
    EXPECT_EQ(t->nodes[0], c);
    EXPECT_EQ(t->size, 12u);
    EXPECT_EQ(data(t), (std::vector<double>{1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4}));
    ASSERT_EQ(_kv_table_add_node(t, c), 0) << "already there: nothing to do";
    EXPECT_EQ(t->size, 12u);

    kv_node_t x = continuous(), y = continuous();
    kv_table_s *g = table({a, x});
    g->cg_data[0] = 1, g->cg_data[1] = 2, g->cg_data[2] = 3, g->cg_data[3] = 4;
    g->continuous_roles[0] = KV_HEAD;
    ASSERT_EQ(_kv_table_add_node(g, y), 0);
    EXPECT_EQ(g->cg_size, 5u);
    EXPECT_EQ(std::vector<double>(g->cg_data, g->cg_data + 10),
              (std::vector<double>{1, 2, 0, 0, 0, 3, 4, 0, 0, 0}));
    EXPECT_EQ(g->continuous_roles[0], KV_HEAD);
    EXPECT_EQ(g->continuous_roles[1], KV_ABSENT);

    kv_domain_t other = kv_new_domain();
    kv_node_t stranger = kv_domain_new_node(other, kv_category_chance, kv_kind_discrete);
    EXPECT_EQ(_kv_table_add_node(t, stranger), kv_error_usage);
    kv_domain_delete(other);
}

TEST_F(TableTest, FailedAddNodeLeavesTheTable)
{
    kv_node_t a = discrete(2), c = discrete(3);
    kv_table_s *t = table({a});
    fill(t, {0.5, 0.25});
    for (long k = 1; k <= 3; ++k) {
        kv::fail_allocation_after(k);
        EXPECT_EQ(_kv_table_add_node(t, c), kv_error_no_memory) << k;
        EXPECT_EQ(t->size, 2u);
        EXPECT_EQ(_kv_node_list_length(t->nodes), 1u);
        EXPECT_EQ(data(t), (std::vector<double>{0.5, 0.25}));
    }
}

TEST_F(TableTest, InstantiateKeepsOneSlice)
{
    kv_node_t a = discrete(2), b = discrete(3), c = discrete(2);
    kv_table_s *t = table({a, b, c});
    std::vector<double> v(12);
    for (size_t i = 0; i < 12; ++i)
        v[i] = double(i);
    fill(t, v);
    ASSERT_EQ(_kv_table_instantiate(t, b, 2), 0);
    EXPECT_EQ(data(t), (std::vector<double>{4, 5, 10, 11}));
    EXPECT_EQ(_kv_node_list_length(t->nodes), 2u);
    ASSERT_EQ(_kv_table_remove_node(t, a), 0); // state 0
    EXPECT_EQ(data(t), (std::vector<double>{4, 5}));
}

TEST_F(TableTest, RemoveContinuousNodeCompactsBlocks)
{
    kv_node_t x = continuous(), y = continuous(), z = continuous();
    kv_table_s *t = table({x, y, z});
    // x: m0 v00 | y: m1 c10 v11 | z: m2 c20 c21 v22
    for (size_t i = 0; i < 9; ++i)
        t->cg_data[i] = double(i + 1);
    t->continuous_roles[0] = KV_HEAD, t->continuous_roles[1] = KV_TAIL,
    t->continuous_roles[2] = KV_HEAD;
    ASSERT_EQ(_kv_table_remove_c_node(t, y), 0);
    EXPECT_EQ(t->cg_size, 5u);
    EXPECT_EQ(std::vector<double>(t->cg_data, t->cg_data + 5),
              (std::vector<double>{1, 2, 6, 7, 9}));
    EXPECT_EQ(t->continuous_roles[1], KV_HEAD);
    ASSERT_EQ(_kv_table_remove_c_node(t, x), 0);
    ASSERT_EQ(_kv_table_remove_c_node(t, z), 0);
    EXPECT_EQ(t->cg_data, nullptr);
    EXPECT_EQ(t->continuous_roles, nullptr);
    EXPECT_EQ(t->cg_size, 0u);
}

TEST_F(TableTest, MeanAndCovarianceGetters)
{
    kv_node_t a = discrete(2), x = continuous(), y = continuous();
    kv_table_s *t = table({a, x, y});
    double block[] = {1.5, 2.0, -3.0, 0.5, 4.0};
    std::copy(block, block + 5, t->cg_data + 5); // configuration 1
    EXPECT_EQ(kv_table_get_mean(t, 1, x), -1.0) << "absent nodes have no moments";
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    t->continuous_roles[0] = t->continuous_roles[1] = KV_HEAD;
    EXPECT_EQ(kv_table_get_mean(t, 1, x), 1.5);
    EXPECT_EQ(kv_table_get_variance(t, 1, x), 2.0);
    EXPECT_EQ(kv_table_get_mean(t, 1, y), -3.0);
    EXPECT_EQ(kv_table_get_covariance(t, 1, x, y), 0.5);
    EXPECT_EQ(kv_table_get_covariance(t, 1, y, x), 0.5);
    EXPECT_EQ(kv_table_get_variance(t, 1, y), 4.0);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_table_get_mean(t, 2, x), -1.0);
    EXPECT_EQ(kv_table_get_mean(t, 0, a), -1.0);
    EXPECT_EQ(kv_table_get_mean(t, 0, nullptr), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    t->continuous_roles[1] = KV_TAIL;
    EXPECT_EQ(kv_table_get_mean(t, 1, x), -1.0) << "a table with a tail gives no moments";
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(TableTest, NodeTablesAndCgParameters)
{
    kv_node_t a = discrete(2), p = continuous(), x = continuous();
    link(a, x);
    link(p, x);
    kv_table_s *t = kv_node_get_table(x);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(kv_node_get_table(x), t);
    EXPECT_EQ(t->nodes[0], a);
    EXPECT_EQ(t->nodes[1], x);
    EXPECT_EQ(t->nodes[2], p);
    EXPECT_EQ(t->continuous_roles[0], KV_HEAD);
    EXPECT_EQ(t->continuous_roles[1], KV_TAIL);
    EXPECT_EQ(t->owner, x);

    EXPECT_EQ(kv_node_set_alpha(x, 1.25, 1), 0);
    EXPECT_EQ(kv_node_set_gamma(x, 0.5, 1), 0);
    EXPECT_EQ(kv_node_set_beta(x, -2.0, p, 1), 0);
    EXPECT_EQ(std::vector<double>(t->cg_data + 5, t->cg_data + 10),
              (std::vector<double>{1.25, 0.5, 0.0, -2.0, 0.0}));
    EXPECT_EQ(kv_node_get_alpha(x, 1), 1.25);
    EXPECT_EQ(kv_node_get_gamma(x, 1), 0.5);
    EXPECT_EQ(kv_node_get_beta(x, p, 1), -2.0);
    EXPECT_EQ(kv_node_get_alpha(x, 0), 0.0);

    EXPECT_EQ(kv_node_set_gamma(x, -1.0, 0), kv_error_usage);
    EXPECT_EQ(kv_node_set_gamma(x, NAN, 0), kv_error_usage);
    EXPECT_EQ(kv_node_set_alpha(x, 1.0, 2), kv_error_usage);
    EXPECT_EQ(kv_node_set_beta(x, 1.0, a, 0), kv_error_usage) << "not a continuous parent";
    EXPECT_EQ(kv_node_set_beta(x, 1.0, x, 0), kv_error_usage) << "the node itself";
    EXPECT_EQ(kv_node_get_beta(x, nullptr, 0), -1.0);
    EXPECT_EQ(kv_node_get_alpha(a, 0), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_table_get_mean(t, 0, x), -1.0) << "a conditional table has tails";

}

TEST_F(TableTest, UtilityTablesRangeOverTheParents)
{
    kv_node_t a = discrete(2);
    kv_node_t dec = discrete(2, kv_category_decision);
    EXPECT_EQ(kv_node_get_table(dec), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    link(a, u);
    kv_table_s *tu = kv_node_get_table(u);
    ASSERT_NE(tu, nullptr);
    EXPECT_EQ(tu->type, KV_UTILITY);
    EXPECT_EQ(_kv_node_list_length(tu->nodes), 1u);
    EXPECT_EQ(tu->nodes[0], a);
}

TEST_F(TableTest, DeleteKeepsNodeTablesAndFreesOwnedOnes)
{
    kv_node_t a = discrete(2);
    kv_table_s *t = kv_node_get_table(a);
    EXPECT_EQ(kv_table_delete(t), 0);
    EXPECT_EQ(kv_node_get_table(a), t);
    EXPECT_EQ(kv_table_get_size(t), 2u);

    kv_table_s *e = table({a}, KV_EXPERIENCE, KV_ROLE_NODE);
    e->owner = a;
    a->experience_table = e;
    EXPECT_EQ(kv_table_delete(e), 0);
    EXPECT_EQ(a->experience_table, nullptr);

    kv_table_s *mine = table({a});
    _kv_unlink_table(mine);
    EXPECT_EQ(kv_table_delete(mine), 0); // the sanitizer build sees it freed
    EXPECT_EQ(kv_table_delete(nullptr), kv_error_usage);
}

TEST_F(TableTest, ReorderPermutesTheData)
{
    kv_node_t a = discrete(2), b = discrete(3), c = discrete(2);
    link(a, c);
    link(b, c);
    kv_table_s *t = kv_node_get_table(c); // (a, b, c)
    double *v = kv_table_get_data(t);
    for (size_t i = 0; i < 12; ++i)
        v[i] = double(i);
    kv_node_t order[] = {b, a, c, nullptr};
    ASSERT_EQ(kv_table_reorder_nodes(t, order), 0);
    EXPECT_EQ(t->nodes[0], b);
    EXPECT_EQ(t->nodes[1], a);
    EXPECT_EQ(data(t), (std::vector<double>{0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11}));

    kv_node_t moves_owner[] = {b, c, a, nullptr};
    EXPECT_EQ(kv_table_reorder_nodes(t, moves_owner), kv_error_usage);
    kv_node_t too_short[] = {b, a, nullptr};
    EXPECT_EQ(kv_table_reorder_nodes(t, too_short), kv_error_usage);
    kv_node_t repeated[] = {a, a, c, nullptr};
    EXPECT_EQ(kv_table_reorder_nodes(t, repeated), kv_error_usage);
    EXPECT_EQ(kv_table_reorder_nodes(t, nullptr), kv_error_usage);
    kv_node_t same[] = {b, a, c, nullptr};
    EXPECT_EQ(kv_table_reorder_nodes(t, same), 0);

    kv_table_s *clique = table({a, b}, KV_PROBABILITY, KV_ROLE_CLIQUE);
    kv_node_t swapped[] = {b, a, nullptr};
    EXPECT_EQ(kv_table_reorder_nodes(clique, swapped), kv_error_usage);
}

TEST_F(TableTest, ReorderTakesAdaptationTablesAlong)
{
    kv_node_t a = discrete(2), b = discrete(3), c = discrete(2);
    link(a, c);
    link(b, c);
    kv_table_s *t = kv_node_get_table(c);
    kv_table_get_data(t);
    kv_table_s *e = table({a, b}, KV_EXPERIENCE, KV_ROLE_NODE);
    fill(e, {1, 2, 3, 4, 5, 6});
    e->owner = c;
    c->experience_table = e;
    kv_node_t order[] = {b, a, c, nullptr};
    // The permuted experience table cannot be made: nothing changes.
    kv::fail_allocation_after(4);
    EXPECT_EQ(kv_table_reorder_nodes(t, order), kv_error_no_memory);
    EXPECT_EQ(t->nodes[0], a);
    EXPECT_EQ(e->nodes[0], a);
    EXPECT_EQ(data(e), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    kv::fail_allocation_after(0);
    ASSERT_EQ(kv_table_reorder_nodes(t, order), 0);
    EXPECT_EQ(e->nodes[0], b);
    EXPECT_EQ(e->nodes[1], a);
    EXPECT_EQ(data(e), (std::vector<double>{1, 4, 2, 5, 3, 6}));
}

TEST_F(TableTest, ReorderPermutesCgData)
{
    kv_node_t x = continuous(), y = continuous();
    kv_table_s *t = table({x, y});
    _kv_unlink_table(t);
    owned.push_back(t);
    double block[] = {1.0, 2.0, 3.0, 0.5, 4.0};
    std::copy(block, block + 5, t->cg_data);
    t->continuous_roles[0] = KV_HEAD, t->continuous_roles[1] = KV_TAIL;
    kv_node_t order[] = {y, x, nullptr};
    ASSERT_EQ(kv_table_reorder_nodes(t, order), 0);
    EXPECT_EQ(std::vector<double>(t->cg_data, t->cg_data + 5),
              (std::vector<double>{3.0, 4.0, 1.0, 0.5, 2.0}));
    EXPECT_EQ(t->continuous_roles[0], KV_TAIL);
    EXPECT_EQ(t->continuous_roles[1], KV_HEAD);
}

TEST_F(TableTest, ClonesCopyEverything)
{
    kv_node_t a = discrete(2), x = continuous();
    kv_table_s *t = table({a, x});
    fill(t, {0.25, 0.75});
    t->cg_data[2] = 7.0;
    t->continuous_roles[0] = KV_HEAD;
    kv_table_s *c = _kv_clone_table(t);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(data(c), (std::vector<double>{0.25, 0.75}));
    EXPECT_EQ(c->cg_data[2], 7.0);
    EXPECT_EQ(c->continuous_roles[0], KV_HEAD);
    EXPECT_NE(c->discrete_data, t->discrete_data);
    kv_table_s *dc = _kv_discrete_clone_table(t);
    EXPECT_EQ(dc->continuous_count, 0u);
    EXPECT_EQ(dc->cg_data, nullptr);
    EXPECT_EQ(_kv_node_list_length(dc->nodes), 1u);
    kv_table_s *cc = _kv_c_clone_table(t, 1);
    EXPECT_EQ(cc->size, 1u);
    EXPECT_EQ(cc->discrete_data[0], 0.75);
    EXPECT_EQ(cc->cg_data[0], 7.0);
    _kv_swap_table_data(t, dc);
    EXPECT_EQ(t->continuous_count, 0u);
    EXPECT_EQ(dc->continuous_count, 1u);
    for (long k = 1; k <= 4; ++k) {
        kv::fail_allocation_after(k);
        size_t tables = d->number_of_tables;
        EXPECT_EQ(_kv_clone_table(dc), nullptr) << k;
        EXPECT_EQ(kv_error_code(), kv_error_no_memory);
        EXPECT_EQ(d->number_of_tables, tables);
    }
}
