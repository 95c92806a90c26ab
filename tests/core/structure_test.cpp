#include <cfloat>
#include <map>
#include <random>
#include <vector>

#include "core/domain.h"
#include "core/node_list.h"
#include "core_fixture.h"
#include "table/table.h"

using StructureTest = DomainFixture;

static std::vector<kv_node_t> list_of(kv_node_t *list)
{
    std::vector<kv_node_t> v;
    for (; list && *list; ++list)
        v.push_back(*list);
    return v;
}

TEST_F(StructureTest, ParentAndTableOrders)
{
    kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_node_t p1 = chance("P1", 2), p2 = chance("P2", 3);
    kv_node_t c = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_table_t t = kv_node_get_table(n);
    ASSERT_EQ(kv_node_add_parent(n, p1), 0);
    ASSERT_EQ(kv_node_add_parent(n, p2), 0);
    EXPECT_EQ(list_of(kv_node_get_parents(n)), (std::vector<kv_node_t>{p2, p1}));
    EXPECT_EQ(list_of(kv_table_get_nodes(t)), (std::vector<kv_node_t>{p2, p1, n}));
    ASSERT_EQ(kv_node_add_parent(n, c), 0);
    EXPECT_EQ(list_of(kv_node_get_parents(n)), (std::vector<kv_node_t>{p2, p1, c}));
    EXPECT_EQ(list_of(kv_table_get_nodes(t)), (std::vector<kv_node_t>{p2, p1, n, c}));
    EXPECT_EQ(t->continuous_roles[1], KV_TAIL);
    EXPECT_EQ(kv_table_get_size(t), 6u);
    EXPECT_EQ(list_of(kv_node_get_children(p1)), std::vector<kv_node_t>{n});
}

TEST_F(StructureTest, AddParentChecks)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2), c = chance("C", 2);
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    EXPECT_EQ(kv_node_add_parent(a, x), kv_error_usage) << "continuous parent of a discrete node";
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    ASSERT_EQ(kv_node_add_parent(c, b), 0);
    EXPECT_EQ(kv_node_add_parent(b, a), kv_error_usage) << "already a parent";
    EXPECT_EQ(kv_node_add_parent(a, c), kv_error_cyclic_network);
    EXPECT_EQ(kv_node_add_parent(a, a), kv_error_cyclic_network);
    EXPECT_EQ(list_of(kv_node_get_parents(a)), std::vector<kv_node_t>{});
    EXPECT_EQ(kv_node_add_parent(nullptr, a), kv_error_usage);
    kv_domain_t other = kv_new_domain();
    kv_node_t stranger = kv_domain_new_node(other, kv_category_chance, kv_kind_discrete);
    EXPECT_EQ(kv_node_add_parent(a, stranger), kv_error_usage);
    kv_domain_delete(other);
}

TEST_F(StructureTest, UtilityNodesAreChildrenButNeverParents)
{
    kv_node_t a = chance("A", 2);
    kv_node_t dec = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    kv_node_set_number_of_states(dec, 3);
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    kv_table_t t = kv_node_get_table(u);
    ASSERT_EQ(kv_node_add_parent(u, a), 0);
    ASSERT_EQ(kv_node_add_parent(u, dec), 0);
    EXPECT_EQ(kv_table_get_size(t), 6u);
    EXPECT_EQ(kv_table_get_data(t)[5], 0.0);
    kv_node_t b = chance("B", 2);
    EXPECT_EQ(kv_node_add_parent(b, u), kv_error_usage);
    EXPECT_EQ(kv_node_add_parent(b, dec), 0) << "decisions may be parents";
}

TEST_F(StructureTest, RemovingAParentKeepsItsFirstState)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2);
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    kv_table_t t = kv_node_get_table(b);
    double *v = kv_table_get_data(t);
    v[0] = 0.1, v[1] = 0.9, v[2] = 0.6, v[3] = 0.4;
    ASSERT_EQ(kv_node_remove_parent(b, a), 0);
    EXPECT_EQ(kv_table_get_size(t), 2u);
    EXPECT_EQ(kv_table_get_data(t)[0], 0.1);
    EXPECT_EQ(kv_table_get_data(t)[1], 0.9);
    EXPECT_EQ(list_of(kv_node_get_children(a)), std::vector<kv_node_t>{});
    EXPECT_EQ(kv_node_remove_parent(b, a), kv_error_usage);
    EXPECT_EQ(kv_node_remove_parent(nullptr, a), kv_error_usage);
}

TEST_F(StructureTest, SwitchParentNeedsACompatibleNode)
{
    kv_node_t a = chance("A", 2), a2 = chance("A2", 2), three = chance("T", 3), b = chance("B", 2);
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    kv_table_t t = kv_node_get_table(b);
    double *v = kv_table_get_data(t);
    v[0] = 0.1, v[1] = 0.9, v[2] = 0.6, v[3] = 0.4;
    EXPECT_EQ(kv_node_switch_parent(b, a, three), kv_error_usage);
    kv_node_set_state_label(a, 0, "yes");
    EXPECT_EQ(kv_node_switch_parent(b, a, a2), kv_error_usage) << "labels differ";
    kv_node_set_state_label(a2, 0, "yes");
    ASSERT_EQ(kv_node_switch_parent(b, a, a2), 0);
    EXPECT_EQ(list_of(kv_node_get_parents(b)), std::vector<kv_node_t>{a2});
    EXPECT_EQ(list_of(kv_node_get_children(a)), std::vector<kv_node_t>{});
    EXPECT_EQ(list_of(kv_node_get_children(a2)), std::vector<kv_node_t>{b});
    EXPECT_EQ(list_of(kv_table_get_nodes(t)), (std::vector<kv_node_t>{a2, b}));
    EXPECT_EQ(std::vector<double>(v, v + 4), (std::vector<double>{0.1, 0.9, 0.6, 0.4}));
    kv_node_t c = chance("C", 2);
    ASSERT_EQ(kv_node_add_parent(c, b), 0);
    kv_node_set_state_label(c, 0, "yes");
    EXPECT_EQ(kv_node_switch_parent(b, a2, c), kv_error_cyclic_network);
}

TEST_F(StructureTest, DeletingANodeUpdatesItsChildren)
{
    kv_node_t a = chance("A", 3), b = chance("B", 2), c = chance("C", 2);
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    ASSERT_EQ(kv_node_add_parent(c, b), 0);
    kv_table_t tc = kv_node_get_table(c);
    double *v = kv_table_get_data(tc);
    v[0] = 0.25, v[1] = 0.75, v[2] = 0.5, v[3] = 0.5;
    ASSERT_EQ(kv_node_delete(b), 0);
    EXPECT_EQ(list_of(kv_node_get_parents(c)), std::vector<kv_node_t>{});
    EXPECT_EQ(list_of(kv_node_get_children(a)), std::vector<kv_node_t>{});
    EXPECT_EQ(kv_table_get_size(tc), 2u);
    EXPECT_EQ(kv_table_get_data(tc)[1], 0.75);
}

TEST_F(StructureTest, FailedAddParentChangesNothing)
{
    kv_node_t a = chance("A", 2), b = chance("B", 2);
    kv_table_t t = kv_node_get_table(b);
    kv_table_get_data(t);
    for (long k = 1; k <= 20; ++k) {
        kv::fail_allocation_after(k);
        int status = kv_node_add_parent(b, a);
        if (status == 0) {
            EXPECT_TRUE(kv::allocation_failure_pending()) << "succeeded past a failure";
            kv::fail_allocation_after(0);
            break;
        }
        EXPECT_EQ(status, kv_error_no_memory) << k;
        EXPECT_EQ(list_of(kv_node_get_parents(b)), std::vector<kv_node_t>{});
        EXPECT_EQ(list_of(kv_node_get_children(a)), std::vector<kv_node_t>{});
        EXPECT_EQ(kv_table_get_size(t), 2u);
        EXPECT_EQ(_kv_node_list_length(t->nodes), 1u);
        // The cycle check leaves no mark behind: a stray one would make a
        // later check see a path that is not there.
        EXPECT_EQ(a->mark, 0) << k;
        EXPECT_EQ(b->mark, 0) << k;
    }
    EXPECT_EQ(list_of(kv_node_get_parents(b)), std::vector<kv_node_t>{a});
}

// ---------------------------------------------------------------------------
// Arc reversal keeps the joint distribution.

namespace {

struct Network {
    std::vector<kv_node_t> nodes;
};

double joint(const Network &net, const std::map<kv_node_s *, size_t> &s)
{
    double p = 1.0;
    for (kv_node_t n : net.nodes) {
        kv_table_s *t = _kv_node_get_table(n);
        size_t index = 0;
        for (size_t i = 0; i < t->discrete_count; ++i)
            index = index * t->nodes[i]->number_of_states + s.at(t->nodes[i]);
        p *= kv_table_get_data(t)[index];
    }
    return p;
}

std::vector<double> all_joint(const Network &net)
{
    std::vector<double> out;
    std::map<kv_node_s *, size_t> s;
    for (kv_node_t n : net.nodes)
        s[n] = 0;
    for (;;) {
        out.push_back(joint(net, s));
        size_t k = net.nodes.size();
        for (; k-- > 0;) {
            if (++s[net.nodes[k]] < net.nodes[k]->number_of_states)
                break;
            s[net.nodes[k]] = 0;
        }
        if (k == static_cast<size_t>(-1))
            return out;
    }
}

} // namespace

class ReverseEdgeTest : public DomainFixture {
  protected:
    Network random_network(std::mt19937 &rng, int n)
    {
        Network net;
        for (int i = 0; i < n; ++i)
            net.nodes.push_back(chance(nullptr, 2 + rng() % 2));
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < j; ++i)
                if (rng() % 100 < 45) {
                    EXPECT_EQ(kv_node_add_parent(net.nodes[j], net.nodes[i]), 0);
                }
        std::uniform_real_distribution<double> u(0.05, 1.0);
        for (kv_node_t node : net.nodes) {
            kv_table_t t = kv_node_get_table(node);
            double *v = kv_table_get_data(t);
            size_t k = node->number_of_states;
            for (size_t start = 0; start < t->size; start += k) {
                double sum = 0;
                for (size_t s = 0; s < k; ++s)
                    sum += v[start + s] = u(rng);
                for (size_t s = 0; s < k; ++s)
                    v[start + s] /= sum;
            }
        }
        return net;
    }
};

TEST_F(ReverseEdgeTest, JointDistributionIsKept)
{
    std::mt19937 rng(1234);
    int reversed = 0;
    for (int round = 0; round < 30; ++round) {
        Network net = random_network(rng, 5);
        std::vector<double> before = all_joint(net);
        for (int step = 0; step < 2; ++step) {
            // Pick an arc whose reversal keeps the graph acyclic.
            std::vector<std::pair<kv_node_t, kv_node_t>> arcs;
            for (kv_node_t y : net.nodes)
                for (kv_node_t x : list_of(kv_node_get_parents(y)))
                    arcs.push_back({x, y});
            std::shuffle(arcs.begin(), arcs.end(), rng);
            for (auto [x, y] : arcs) {
                int status = kv_node_reverse_edge(y, x);
                if (status == kv_error_cyclic_network)
                    continue;
                ASSERT_EQ(status, 0);
                ++reversed;
                EXPECT_TRUE(_kv_node_in_list(x->parents, y));
                EXPECT_FALSE(_kv_node_in_list(y->parents, x));
                std::vector<double> after = all_joint(net);
                ASSERT_EQ(after.size(), before.size());
                for (size_t i = 0; i < after.size(); ++i)
                    EXPECT_NEAR(after[i], before[i], 1e-12) << "round " << round;
                break;
            }
        }
        while (kv_domain_get_first_node(d))
            kv_node_delete(kv_domain_get_first_node(d));
    }
    EXPECT_GT(reversed, 40);
}

TEST_F(ReverseEdgeTest, IndirectPathIsACycle)
{
    kv_node_t x = chance("X", 2), z = chance("Z", 2), y = chance("Y", 2);
    kv_node_add_parent(z, x);
    kv_node_add_parent(y, z);
    kv_node_add_parent(y, x);
    kv_table_t ty = kv_node_get_table(y);
    std::vector<double> data(kv_table_get_data(ty), kv_table_get_data(ty) + 8);
    EXPECT_EQ(kv_node_reverse_edge(x, y), kv_error_cyclic_network);
    EXPECT_TRUE(_kv_node_in_list(y->parents, x));
    EXPECT_EQ(std::vector<double>(ty->discrete_data, ty->discrete_data + 8), data);
    EXPECT_EQ(kv_node_reverse_edge(x, chance("W", 2)), kv_error_usage) << "no arc";
    kv_node_t dec = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    kv_node_add_parent(y, dec);
    EXPECT_EQ(kv_node_reverse_edge(dec, y), kv_error_usage) << "decision";
}

TEST_F(ReverseEdgeTest, ZeroColumnIsZeroSum)
{
    kv_node_t x = chance("X", 2), y = chance("Y", 2);
    kv_node_add_parent(y, x);
    double *v = kv_table_get_data(kv_node_get_table(y));
    v[0] = 0.0, v[1] = 0.0, v[2] = 0.5, v[3] = 0.5;
    EXPECT_EQ(kv_node_reverse_edge(x, y), kv_error_zero_sum);
    EXPECT_TRUE(_kv_node_in_list(y->parents, x));
    EXPECT_EQ(v[0], 0.0);
    v[0] = -0.5, v[1] = 1.5;
    EXPECT_EQ(kv_node_reverse_edge(x, y), kv_error_negative_probability);
}

TEST_F(ReverseEdgeTest, ReversalWithoutMemoryChangesNothing)
{
    kv_node_t a = chance("A", 2), x = chance("X", 2), y = chance("Y", 3);
    kv_node_add_parent(x, a);
    kv_node_add_parent(y, x);
    kv_node_add_parent(y, a);
    double *vx = kv_table_get_data(kv_node_get_table(x));
    vx[0] = 0.3, vx[1] = 0.7, vx[2] = 0.8, vx[3] = 0.2;
    double *vy = kv_table_get_data(kv_node_get_table(y));
    for (size_t i = 0; i < 12; ++i)
        vy[i] = (i % 3 + 1) / 6.0;
    double *va = kv_table_get_data(kv_node_get_table(a));
    va[0] = 0.25, va[1] = 0.75;
    Network net{{a, x, y}};
    std::vector<double> before = all_joint(net);
    int failures = 0;
    for (long k = 1; k < 200; ++k) {
        kv::fail_allocation_after(k);
        int status = kv_node_reverse_edge(x, y);
        bool reached = !kv::allocation_failure_pending();
        kv::fail_allocation_after(0);
        if (status == 0) {
            EXPECT_FALSE(reached) << "succeeded past a failure";
            break;
        }
        ++failures;
        ASSERT_EQ(status, kv_error_no_memory) << k;
        EXPECT_TRUE(_kv_node_in_list(y->parents, x)) << k;
        EXPECT_FALSE(_kv_node_in_list(x->parents, y)) << k;
        EXPECT_EQ(list_of(kv_node_get_parents(x)), std::vector<kv_node_t>{a}) << k;
        EXPECT_EQ(all_joint(net), before) << k;
    }
    EXPECT_GT(failures, 5);
    EXPECT_TRUE(_kv_node_in_list(x->parents, y));
    std::vector<double> after = all_joint(net);
    for (size_t i = 0; i < after.size(); ++i)
        EXPECT_NEAR(after[i], before[i], 1e-12);
}

TEST_F(ReverseEdgeTest, ContinuousArcKeepsTheMoments)
{
    // X ~ N(1, 4), Y | X ~ N(2 + 3X, 1); reversed: Y ~ N(5, 37) and
    // X | Y ~ N(1 + 12/37 (Y - 5), 4 - 144/37).
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    kv_node_t y = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    ASSERT_EQ(kv_node_add_parent(y, x), 0);
    kv_node_set_alpha(x, 1.0, 0);
    kv_node_set_gamma(x, 4.0, 0);
    kv_node_set_alpha(y, 2.0, 0);
    kv_node_set_gamma(y, 1.0, 0);
    kv_node_set_beta(y, 3.0, x, 0);
    ASSERT_EQ(kv_node_reverse_edge(x, y), 0);
    EXPECT_EQ(list_of(kv_node_get_parents(x)), std::vector<kv_node_t>{y});
    EXPECT_DOUBLE_EQ(kv_node_get_alpha(y, 0), 5.0);
    EXPECT_DOUBLE_EQ(kv_node_get_gamma(y, 0), 37.0);
    double b = 12.0 / 37.0;
    EXPECT_DOUBLE_EQ(kv_node_get_beta(x, y, 0), b);
    EXPECT_DOUBLE_EQ(kv_node_get_alpha(x, 0), 1.0 - b * 5.0);
    EXPECT_DOUBLE_EQ(kv_node_get_gamma(x, 0), 4.0 - 144.0 / 37.0);
}
