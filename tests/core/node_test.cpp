#include <cfloat>
#include <vector>

#include "core/domain.h"
#include "core_fixture.h"

using NodeTest = DomainFixture;

TEST_F(NodeTest, NewDomainDefaults)
{
    EXPECT_EQ(d->grain_size, 10000u);
    EXPECT_EQ(d->concurrency_level, 1u);
    EXPECT_EQ(d->significance_level, 0.05);
    EXPECT_EQ(d->log_likelihood_tolerance, 0.0001);
    EXPECT_EQ(d->random_seed, 310952u);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 0u);
    EXPECT_EQ(kv_domain_get_first_node(d), nullptr);
    EXPECT_EQ(kv_domain_get_file_name(d), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    size_t w = 7, h = 7;
    EXPECT_EQ(kv_domain_get_node_size(d, &w, &h), 0);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(h, 0u);
}

TEST_F(NodeTest, CreationChecksArguments)
{
    EXPECT_EQ(kv_domain_new_node(nullptr, kv_category_chance, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_instance, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_error, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_domain_new_node(d, static_cast<kv_node_category_t>(10), kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_chance, kv_kind_error), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 0u);
}

TEST_F(NodeTest, ContinuousNodesAndInfluenceDiagramsDoNotMix)
{
    for (kv_node_category_t c : {kv_category_decision, kv_category_utility}) {
        EXPECT_EQ(kv_domain_new_node(d, c, kv_kind_continuous), nullptr);
        EXPECT_EQ(kv_error_code(), kv_error_cg_influence_diagrams_not_supported);
    }
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_chance, kv_kind_continuous), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cg_influence_diagrams_not_supported);
    EXPECT_EQ(kv_node_delete(u), 0);

    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_decision, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cg_influence_diagrams_not_supported);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_utility, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cg_influence_diagrams_not_supported);
    EXPECT_NE(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 2u);
}

TEST_F(NodeTest, CountsFollowCreationAndDeletion)
{
    kv_node_t a = chance();
    kv_node_t dec = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 3u);
    EXPECT_EQ(kv_domain_get_number_of_chance_nodes(d), 1u);
    EXPECT_EQ(kv_domain_get_number_of_decision_nodes(d), 1u);
    EXPECT_EQ(kv_domain_get_number_of_utility_nodes(d), 1u);
    EXPECT_EQ(kv_domain_get_number_of_discrete_nodes(d), 3u);
    EXPECT_EQ(kv_domain_get_number_of_continuous_nodes(d), 0u);
    EXPECT_EQ(kv_node_delete(dec), 0);
    EXPECT_EQ(kv_domain_get_number_of_decision_nodes(d), 0u);
    EXPECT_EQ(kv_domain_get_number_of_discrete_nodes(d), 2u);
    EXPECT_EQ(kv_node_delete(u), 0);
    EXPECT_EQ(kv_node_delete(a), 0);
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    EXPECT_EQ(kv_domain_get_number_of_continuous_nodes(d), 1u);
    EXPECT_EQ(kv_domain_get_number_of_chance_nodes(d), 1u);
    EXPECT_EQ(kv_node_get_kind(x), kv_kind_continuous);
    EXPECT_EQ(x->number_of_states, 0u);
    for (auto count : {kv_domain_get_number_of_nodes, kv_domain_get_number_of_chance_nodes,
                       kv_domain_get_number_of_utility_nodes, kv_domain_get_number_of_continuous_nodes}) {
        EXPECT_EQ(count(nullptr), static_cast<size_t>(-1));
        EXPECT_EQ(kv_error_code(), kv_error_usage);
    }
}

TEST_F(NodeTest, NodeListIsNewestFirstAndIndicesStayDense)
{
    std::vector<kv_node_t> nodes;
    for (int i = 0; i < 5; ++i)
        nodes.push_back(chance());
    EXPECT_EQ(kv_node_delete(nodes[2]), 0); // index 3 of 5
    nodes.erase(nodes.begin() + 2);
    std::vector<kv_node_t> walked;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        walked.push_back(n);
    ASSERT_EQ(walked.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(walked[i], nodes[3 - i]);
        EXPECT_EQ(walked[i]->index, 4 - i);
    }
    // A new node takes the next index after the count.
    kv_node_t n = chance();
    EXPECT_EQ(n->index, 5u);
    EXPECT_EQ(kv_domain_get_first_node(d), n);
    EXPECT_EQ(kv_node_get_next(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(NodeTest, DeleteChecksItsArgument)
{
    EXPECT_EQ(kv_node_delete(nullptr), kv_error_usage);
    kv_node_t master = chance("M");
    kv_node_t clone = chance();
    clone->clone_source = master; // an output clone can only go with its instance
    EXPECT_EQ(kv_node_delete(clone), kv_error_usage);
    clone->clone_source = nullptr;
    EXPECT_EQ(kv_node_delete(clone), 0);
}

TEST_F(NodeTest, DeleteUnlinksParentsAndChildren)
{
    kv_node_t a = chance("A"), b = chance("B"), c = chance("C");
    // Links as the structure edits will make them: a -> b -> c.
    b->parents = kv::allocate_array<kv_node_s *>(2);
    b->parents[0] = a, b->parents[1] = nullptr;
    a->children = kv::allocate_array<kv_node_s *>(2);
    a->children[0] = b, a->children[1] = nullptr;
    b->children = kv::allocate_array<kv_node_s *>(2);
    b->children[0] = c, b->children[1] = nullptr;
    c->parents = kv::allocate_array<kv_node_s *>(2);
    c->parents[0] = b, c->parents[1] = nullptr;
    EXPECT_EQ(kv_node_delete(b), 0);
    EXPECT_EQ(kv_node_get_children(a)[0], nullptr);
    EXPECT_EQ(kv_node_get_parents(c)[0], nullptr);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "B"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
}

TEST_F(NodeTest, HomeDomainOrHomeClass)
{
    kv_node_t n = chance();
    EXPECT_EQ(kv_node_get_domain(n), d);
    EXPECT_EQ(kv_node_get_home_domain(n), d);
    EXPECT_EQ(kv_node_get_home_class(n), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    // The same record becomes a class once it belongs to a collection.
    d->class_collection = reinterpret_cast<kv_class_collection_s *>(d);
    EXPECT_EQ(kv_node_get_domain(n), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_get_home_class(n), d);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    kv_node_t m = kv_class_new_node(d, kv_category_decision, kv_kind_discrete);
    EXPECT_EQ(kv_class_get_first_node(d), m);
    d->class_collection = nullptr;
    EXPECT_EQ(kv_node_get_category(nullptr), kv_category_error);
    EXPECT_EQ(kv_node_get_kind(nullptr), kv_kind_error);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(NodeTest, LabelPositionAndNodeSize)
{
    kv_node_t n = chance();
    EXPECT_STREQ(kv_node_get_label(n), "");
    EXPECT_EQ(kv_node_set_label(n, nullptr), kv_error_usage);
    EXPECT_EQ(kv_node_set_label(n, "Blood pressure"), 0);
    EXPECT_STREQ(kv_node_get_label(n), "Blood pressure");
    EXPECT_EQ(kv_node_set_label(n, ""), 0);
    EXPECT_STREQ(kv_node_get_label(n), "");
    EXPECT_EQ(kv_node_get_label(nullptr), nullptr);

    int x = 1, y = 1;
    EXPECT_EQ(kv_node_get_position(n, &x, &y), 0);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(kv_node_set_position(n, -40, 250), 0);
    EXPECT_EQ(kv_node_get_position(n, &x, &x), kv_error_usage); // must be distinct
    EXPECT_EQ(kv_node_get_position(n, &x, nullptr), kv_error_usage);
    EXPECT_EQ(kv_node_get_position(n, &x, &y), 0);
    EXPECT_EQ(x, -40);
    EXPECT_EQ(y, 250);

    size_t w, h;
    EXPECT_EQ(kv_class_set_node_size(d, 80, 40), 0);
    EXPECT_EQ(kv_domain_get_node_size(d, &w, &w), kv_error_usage);
    EXPECT_EQ(kv_domain_get_node_size(nullptr, &w, &h), kv_error_usage);
    EXPECT_EQ(kv_class_get_node_size(d, &w, &h), 0);
    EXPECT_EQ(w, 80u);
    EXPECT_EQ(h, 40u);
}

TEST_F(NodeTest, ParentAndChildListsStartEmpty)
{
    kv_node_t n = chance();
    kv_node_t *parents = kv_node_get_parents(n);
    ASSERT_NE(parents, nullptr);
    EXPECT_EQ(parents[0], nullptr);
    EXPECT_EQ(kv_node_get_parents(n), parents) << "the list is made once and owned by the node";
    ASSERT_NE(kv_node_get_children(n), nullptr);
    EXPECT_EQ(kv_node_get_children(n)[0], nullptr);
    EXPECT_EQ(kv_node_get_parents(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    kv_node_t m = chance();
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_node_get_children(m), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_NE(kv_node_get_children(m), nullptr);
}

TEST_F(NodeTest, UserData)
{
    int token = 0;
    kv_node_t n = chance();
    EXPECT_EQ(kv_node_get_user_data(n), nullptr);
    EXPECT_EQ(kv_node_set_user_data(n, &token), 0);
    EXPECT_EQ(kv_node_get_user_data(n), &token);
    EXPECT_EQ(kv_domain_set_user_data(d, &token), 0);
    EXPECT_EQ(kv_class_get_user_data(d), &token);
    EXPECT_EQ(kv_node_set_user_data(nullptr, &token), kv_error_usage);
    EXPECT_EQ(kv_domain_get_user_data(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(NodeTest, CreationFailsCleanlyWithoutMemory)
{
    chance("A");
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_domain_new_node(d, kv_category_chance, kv_kind_discrete), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 1u);
    EXPECT_EQ(kv_domain_get_number_of_chance_nodes(d), 1u);
    EXPECT_EQ(kv_domain_get_first_node(d)->next, nullptr);
}

TEST(DomainTest, NewDomainWithoutMemory)
{
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_new_domain(), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    kv::fail_allocation_after(0);
}

TEST(DomainTest, DeleteFreesEverything)
{
    // The sanitizer build catches a leak or a double free here.
    kv_domain_t d = kv_new_domain();
    kv_domain_set_attribute(d, "a", "1");
    for (int i = 0; i < 30; ++i) {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_get_name(n);
        kv_node_set_number_of_states(n, 3);
        kv_node_set_state_label(n, 1, "x");
        kv_node_set_attribute(n, "k", "v");
        kv_node_set_label(n, "label");
        kv_node_get_parents(n);
    }
    EXPECT_NE(kv_domain_get_node_by_name(d, "C7"), nullptr);
    EXPECT_EQ(kv_domain_delete(d), 0);
    EXPECT_EQ(kv_domain_delete(nullptr), kv_error_usage);
}
