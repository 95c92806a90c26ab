// Class collections, classes, instances, interfaces, bindings and output
// clones.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"

namespace {

class ClassTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        cc = kv_new_class_collection();
        ASSERT_NE(cc, nullptr);
    }
    void TearDown() override
    {
        kv::fail_allocation_after(0);
        EXPECT_EQ(kv_cc_delete(cc), 0);
    }
    kv_class_t make_class(const char *name)
    {
        kv_class_t c = kv_cc_new_class(cc);
        EXPECT_NE(c, nullptr);
        EXPECT_EQ(kv_class_set_name(c, name), 0);
        return c;
    }
    kv_node_t node(kv_class_t c, const char *name, size_t states = 2,
                   kv_node_kind_t kind = kv_kind_discrete)
    {
        kv_node_t n = kv_class_new_node(c, kv_category_chance, kind);
        EXPECT_NE(n, nullptr);
        EXPECT_EQ(kv_node_set_name(n, name), 0);
        if (kind == kv_kind_discrete) {
            EXPECT_EQ(kv_node_set_number_of_states(n, states), 0);
        }
        return n;
    }
    static size_t length(kv_node_t *list)
    {
        size_t n = 0;
        while (list && list[n])
            ++n;
        return n;
    }
    kv_class_collection_t cc = nullptr;
};

TEST_F(ClassTest, CollectionMembersAndNames)
{
    kv_class_t *members = kv_cc_get_members(cc);
    ASSERT_NE(members, nullptr);
    EXPECT_EQ(members[0], nullptr);

    kv_class_t a = kv_cc_new_class(cc);
    EXPECT_STREQ(kv_class_get_name(a), "C1");
    kv_class_t b = kv_cc_new_class(cc);
    EXPECT_STREQ(kv_class_get_name(b), "C2");
    EXPECT_EQ(kv_class_set_name(b, "C1"), kv_error_twice);
    EXPECT_EQ(kv_class_set_name(a, "C1"), 0);
    EXPECT_EQ(kv_class_set_name(a, "1a"), kv_error_invalid_name);
    EXPECT_EQ(kv_class_set_name(a, "a-b"), kv_error_invalid_name);
    EXPECT_EQ(kv_class_set_name(a, ""), kv_error_invalid_name);
    EXPECT_STREQ(kv_class_get_name(a), "C1");
    EXPECT_EQ(kv_class_set_name(a, "_Sensor2"), 0);
    kv_class_t c = kv_cc_new_class(cc);
    EXPECT_STREQ(kv_class_get_name(c), "C1"); // free again

    members = kv_cc_get_members(cc);
    EXPECT_EQ(members[0], a);
    EXPECT_EQ(members[1], b);
    EXPECT_EQ(members[2], c);
    EXPECT_EQ(members[3], nullptr);
    EXPECT_EQ(kv_cc_get_class_by_name(cc, "_Sensor2"), a);
    EXPECT_EQ(kv_cc_get_class_by_name(cc, "nothing"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_class_get_class_collection(b), cc);

    EXPECT_EQ(kv_class_delete(b), 0);
    members = kv_cc_get_members(cc);
    EXPECT_EQ(members[0], a);
    EXPECT_EQ(members[1], c);
    EXPECT_EQ(members[2], nullptr);
}

TEST_F(ClassTest, DomainsAndClassesStayApart)
{
    kv_domain_t d = kv_new_domain();
    EXPECT_EQ(kv_class_get_class_collection(d), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_class_get_name(d), nullptr);
    EXPECT_EQ(kv_class_delete(d), kv_error_usage);

    EXPECT_EQ(kv_cc_add_domain(cc, d), 0);
    EXPECT_EQ(kv_class_get_class_collection(d), cc);
    EXPECT_EQ(kv_domain_delete(d), kv_error_usage); // a class now
    EXPECT_EQ(kv_cc_add_domain(cc, d), kv_error_usage);

    kv_class_t other = make_class("Other");
    kv_node_t i = kv_class_new_instance(other, d);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(kv_node_get_instance_class(i), d);
    EXPECT_EQ(kv_class_delete(d), kv_error_usage); // it has an instance
    EXPECT_EQ(kv_node_delete(i), 0);
    EXPECT_EQ(length(kv_class_get_instances(d)), 0u);
    EXPECT_EQ(kv_class_delete(d), 0);
}

TEST_F(ClassTest, InstantiationRefusesCycles)
{
    kv_class_t a = make_class("A"), b = make_class("B"), c = make_class("C");
    EXPECT_EQ(kv_class_new_instance(a, a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cyclic_instance_hierarchy);
    ASSERT_NE(kv_class_new_instance(a, b), nullptr);
    ASSERT_NE(kv_class_new_instance(b, c), nullptr);
    EXPECT_EQ(kv_class_new_instance(c, a), nullptr); // c would contain a, which contains c
    EXPECT_EQ(kv_error_code(), kv_error_cyclic_instance_hierarchy);
    EXPECT_EQ(kv_class_new_instance(b, a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cyclic_instance_hierarchy);
    ASSERT_NE(kv_class_new_instance(a, c), nullptr); // a second path is no cycle

    kv_class_collection_t other = kv_new_class_collection();
    kv_class_t foreign = kv_cc_new_class(other);
    EXPECT_EQ(kv_class_new_instance(a, foreign), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_cc_delete(other), 0);

    // Substitution runs the same test: c holds an instance of x; making it
    // an instance of a would close a -> b -> c -> a.
    kv_class_t x = make_class("X");
    kv_node_t in_c = kv_class_new_instance(c, x);
    ASSERT_NE(in_c, nullptr);
    EXPECT_EQ(kv_node_substitute_class(in_c, a), kv_error_cyclic_instance_hierarchy);
    EXPECT_EQ(kv_node_substitute_class(in_c, c), kv_error_cyclic_instance_hierarchy);
    EXPECT_EQ(kv_node_get_instance_class(in_c), x);
    kv_class_t y = make_class("Y");
    EXPECT_EQ(kv_node_substitute_class(in_c, y), 0);
}

TEST_F(ClassTest, CollectionDeletesInstantiatingClassesFirst)
{
    // A instantiates B; deleting the collection must go A, then B, which
    // the instance lists would reject in the other order.
    kv_class_t b = make_class("B");
    kv_class_t a = make_class("A");
    kv_node_t out = node(b, "out");
    EXPECT_EQ(kv_node_add_to_outputs(out), 0);
    ASSERT_NE(kv_class_new_instance(a, b), nullptr);
    EXPECT_EQ(kv_class_delete(b), kv_error_usage);
    // The collection's own deletion happens in TearDown, under ASan.
}

TEST_F(ClassTest, InputsAndOutputs)
{
    kv_class_t c = make_class("C");
    kv_node_t x = node(c, "x"), y = node(c, "y"), z = node(c, "z");
    ASSERT_EQ(kv_node_add_parent(y, x), 0);
    EXPECT_EQ(kv_node_add_to_inputs(y), kv_error_usage); // has a parent
    EXPECT_EQ(kv_node_add_to_inputs(x), 0);
    EXPECT_EQ(kv_node_add_to_inputs(x), 0); // already one: nothing happens
    EXPECT_EQ(length(kv_class_get_inputs(c)), 1u);
    EXPECT_EQ(kv_node_add_to_outputs(x), kv_error_usage); // an input
    EXPECT_EQ(kv_node_add_to_outputs(y), 0);
    EXPECT_EQ(kv_node_add_to_inputs(y), kv_error_usage); // an output
    EXPECT_EQ(kv_node_add_to_outputs(z), 0);
    EXPECT_EQ(kv_node_add_to_outputs(z), 0);
    kv_node_t *outputs = kv_class_get_outputs(c);
    ASSERT_EQ(length(outputs), 2u);
    EXPECT_EQ(outputs[0], y);
    EXPECT_EQ(outputs[1], z);
    EXPECT_EQ(kv_node_add_parent(x, z), kv_error_usage); // an input takes no parents

    kv_node_t u = kv_class_new_node(c, kv_category_utility, kv_kind_discrete);
    EXPECT_EQ(kv_node_add_to_inputs(u), kv_error_usage);
    EXPECT_EQ(kv_node_add_to_outputs(u), kv_error_usage);
    kv_domain_t d = kv_new_domain();
    kv_node_t plain = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    EXPECT_EQ(kv_node_add_to_inputs(plain), kv_error_usage);
    EXPECT_EQ(kv_node_add_to_outputs(plain), kv_error_usage);
    EXPECT_EQ(kv_domain_delete(d), 0);

    EXPECT_EQ(kv_node_remove_from_inputs(y), kv_error_usage);
    EXPECT_EQ(kv_node_remove_from_outputs(x), kv_error_usage);
    EXPECT_EQ(kv_node_remove_from_inputs(x), 0);
    EXPECT_EQ(length(kv_class_get_inputs(c)), 0u);
    EXPECT_EQ(kv_node_remove_from_outputs(y), 0);
    EXPECT_EQ(kv_class_get_outputs(c)[0], z);
}

TEST_F(ClassTest, OutputsMakeAndDeleteClonesInEveryInstance)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t o1 = node(b, "o1", 3);
    ASSERT_EQ(kv_node_set_state_label(o1, 1, "mid"), 0);
    ASSERT_EQ(kv_node_add_to_outputs(o1), 0);
    kv_node_t i1 = kv_class_new_instance(a, b), i2 = kv_class_new_instance(a, b);
    ASSERT_EQ(kv_node_set_name(i1, "i1"), 0);
    ASSERT_EQ(kv_node_set_name(i2, "i2"), 0);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 4u);

    kv_node_t c1 = kv_node_get_output(i1, o1);
    ASSERT_NE(c1, nullptr);
    EXPECT_EQ(kv_node_get_master(c1), o1);
    EXPECT_EQ(kv_node_get_instance(c1), i1);
    EXPECT_EQ(kv_node_get_home_class(c1), a);
    EXPECT_EQ(kv_node_get_number_of_states(c1), 3u);
    EXPECT_STREQ(kv_node_get_state_label(c1, 1), "mid");
    EXPECT_STREQ(kv_node_get_name(c1), "i1_o1");
    EXPECT_EQ(kv_node_delete(c1), kv_error_usage); // only through the class
    EXPECT_EQ(kv_node_set_number_of_states(c1, 2), kv_error_usage);
    EXPECT_EQ(kv_node_get_master(o1), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    // A second output: one new clone in each of the two instances.
    kv_node_t o2 = node(b, "o2", 2);
    ASSERT_EQ(kv_node_add_to_outputs(o2), 0);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 6u);
    kv_node_t c2 = kv_node_get_output(i2, o2);
    ASSERT_NE(c2, nullptr);
    EXPECT_EQ(kv_node_get_instance(c2), i2);
    EXPECT_EQ(kv_node_get_output(i1, node(b, "not_out")), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    ASSERT_EQ(kv_node_remove_from_outputs(o1), 0);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 4u);
    EXPECT_EQ(kv_node_get_output(i1, o2)->clone_source, o2); // moved down to slot 0
    EXPECT_EQ(i1->output_clones[0], kv_node_get_output(i1, o2));
    EXPECT_EQ(i1->output_clones[1], nullptr);
}

TEST_F(ClassTest, ClonesFollowTheirMasterAndResizeTheirChildren)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t o = node(b, "o", 2);
    ASSERT_EQ(kv_node_add_to_outputs(o), 0);
    kv_node_t i = kv_class_new_instance(a, b);
    kv_node_t clone = kv_node_get_output(i, o);
    kv_node_t child = node(a, "child", 2);
    ASSERT_EQ(kv_node_add_parent(child, clone), 0);
    kv_table_t t = kv_node_get_table(child);
    ASSERT_EQ(kv_table_get_size(t), 4u);
    double *data = kv_table_get_data(t);
    for (int k = 0; k < 4; ++k)
        data[k] = 0.1 * (k + 1);

    ASSERT_EQ(kv_node_set_number_of_states(o, 3), 0);
    EXPECT_EQ(kv_node_get_number_of_states(clone), 3u);
    ASSERT_EQ(kv_table_get_size(t), 6u);
    data = kv_table_get_data(t);
    EXPECT_DOUBLE_EQ(data[0], 0.1);
    EXPECT_DOUBLE_EQ(data[3], 0.4);

    ASSERT_EQ(kv_node_set_state_label(o, 2, "high"), 0);
    EXPECT_STREQ(kv_node_get_state_label(clone, 2), "high");
    EXPECT_STREQ(kv_node_get_state_label(clone, 0), "");
    ASSERT_EQ(kv_node_set_subtype(o, kv_subtype_number), 0);
    EXPECT_EQ(kv_node_get_subtype(clone), kv_subtype_number);
    ASSERT_EQ(kv_node_set_state_value(o, 1, 2.5), 0);
    EXPECT_EQ(kv_node_get_state_value(clone, 1), 2.5);

    // Clones of clones: an outer class instantiating A, whose clone is an
    // output of A.
    kv_class_t top = make_class("Top");
    ASSERT_EQ(kv_node_add_to_outputs(clone), 0);
    kv_node_t j = kv_class_new_instance(top, a);
    kv_node_t outer = kv_node_get_output(j, clone);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(kv_node_get_number_of_states(outer), 3u);
    kv_node_t grandchild = node(top, "g", 2);
    ASSERT_EQ(kv_node_add_parent(grandchild, outer), 0);
    ASSERT_EQ(kv_table_get_size(kv_node_get_table(grandchild)), 6u);
    ASSERT_EQ(kv_node_set_number_of_states(o, 4), 0);
    EXPECT_EQ(kv_node_get_number_of_states(outer), 4u);
    EXPECT_EQ(kv_table_get_size(kv_node_get_table(grandchild)), 8u);
    EXPECT_EQ(kv_table_get_size(t), 8u);
    EXPECT_EQ(kv_node_get_state_value(outer, 1), 2.5);

    // A failing resize leaves every count and table as it was.
    for (long n = 1; n < 40; ++n) {
        kv::fail_allocation_after(n);
        int s = kv_node_set_number_of_states(o, 6);
        kv::fail_allocation_after(0);
        if (s == 0)
            break;
        EXPECT_EQ(s, kv_error_no_memory);
        EXPECT_EQ(kv_node_get_number_of_states(o), 4u);
        EXPECT_EQ(kv_node_get_number_of_states(outer), 4u);
        EXPECT_EQ(kv_table_get_size(kv_node_get_table(grandchild)), 8u);
        EXPECT_EQ(kv_table_get_size(t), 8u);
    }
    EXPECT_EQ(kv_node_get_number_of_states(outer), 6u);
    EXPECT_EQ(kv_table_get_size(kv_node_get_table(grandchild)), 12u);
}

TEST_F(ClassTest, Bindings)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t x1 = node(b, "x1"), x2 = node(b, "x2"), xc = node(b, "xc", 0, kv_kind_continuous);
    ASSERT_EQ(kv_node_add_to_inputs(x1), 0);
    ASSERT_EQ(kv_node_add_to_inputs(x2), 0);
    ASSERT_EQ(kv_node_add_to_inputs(xc), 0);
    kv_node_t i = kv_class_new_instance(a, b);
    kv_node_t p = node(a, "p"), q = node(a, "q", 5);
    kv_node_t c = node(a, "c", 0, kv_kind_continuous);

    EXPECT_EQ(kv_node_get_input(i, x2), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_node_get_input(i, p), nullptr); // not an input of B
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_set_input(i, xc, p), kv_error_usage);  // kind differs
    EXPECT_EQ(kv_node_set_input(i, x1, c), kv_error_usage);
    EXPECT_EQ(kv_node_set_input(i, x1, x1), kv_error_usage); // not in A
    EXPECT_EQ(kv_node_set_input(p, x1, q), kv_error_usage);  // not an instance
    EXPECT_EQ(kv_node_set_input(i, x2, q), 0); // states are compared on unfolding
    EXPECT_EQ(kv_node_get_input(i, x2), q);
    EXPECT_EQ(i->number_of_input_bindings, 3u);
    EXPECT_EQ(kv_node_set_input(i, x1, p), 0);
    EXPECT_EQ(kv_node_set_input(i, xc, c), 0);

    // Removing an input drops its binding; later bindings move down.
    ASSERT_EQ(kv_node_remove_from_inputs(x1), 0);
    EXPECT_EQ(kv_node_get_input(i, x2), q);
    EXPECT_EQ(kv_node_get_input(i, xc), c);
    // Deleting an actual node clears the bindings to it.
    ASSERT_EQ(kv_node_delete(q), 0);
    EXPECT_EQ(kv_node_get_input(i, x2), nullptr);
    EXPECT_EQ(kv_node_unset_input(i, xc), 0);
    EXPECT_EQ(kv_node_get_input(i, xc), nullptr);
    EXPECT_EQ(kv_node_unset_input(i, p), kv_error_usage);
}

TEST_F(ClassTest, DeletingNodesOfAClass)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t o = node(b, "o"), x = node(b, "x");
    ASSERT_EQ(kv_node_add_to_outputs(o), 0);
    ASSERT_EQ(kv_node_add_to_inputs(x), 0);
    kv_node_t i = kv_class_new_instance(a, b);
    kv_node_t child = node(a, "child");
    ASSERT_EQ(kv_node_add_parent(child, kv_node_get_output(i, o)), 0);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 3u);

    // The output goes: its clone goes with it, and the clone's child loses
    // that parent.
    ASSERT_EQ(kv_node_delete(o), 0);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 2u);
    EXPECT_EQ(kv_node_get_parents(child)[0], nullptr);
    EXPECT_EQ(length(kv_class_get_outputs(b)), 0u);
    ASSERT_EQ(kv_node_delete(x), 0);
    EXPECT_EQ(length(kv_class_get_inputs(b)), 0u);

    ASSERT_EQ(kv_node_add_to_outputs(node(b, "o2")), 0);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 3u);
    ASSERT_EQ(kv_node_delete(i), 0); // the instance takes its clones along
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 1u);
    EXPECT_EQ(length(kv_class_get_instances(b)), 0u);
}

TEST_F(ClassTest, SubstitutionMatchesByName)
{
    kv_class_t old_class = make_class("Old"), wider = make_class("Wider"), narrow = make_class("Narrow");
    kv_class_t top = make_class("Top");
    for (kv_class_t c : {old_class, wider, narrow}) {
        kv_node_t in = node(c, "in");
        ASSERT_EQ(kv_node_add_to_inputs(in), 0);
        kv_node_t out = node(c, "out", 3);
        ASSERT_EQ(kv_node_add_to_outputs(out), 0);
    }
    kv_node_t extra = node(wider, "extra");
    ASSERT_EQ(kv_node_add_to_outputs(extra), 0);
    kv_node_t narrow_out = kv_class_get_node_by_name(narrow, "out");
    ASSERT_EQ(kv_node_remove_from_outputs(narrow_out), 0);

    kv_node_t i = kv_class_new_instance(top, old_class);
    kv_node_t actual = node(top, "actual");
    ASSERT_EQ(kv_node_set_input(i, kv_class_get_node_by_name(old_class, "in"), actual), 0);
    kv_node_t clone = kv_node_get_output(i, kv_class_get_node_by_name(old_class, "out"));
    kv_node_t child = node(top, "child");
    ASSERT_EQ(kv_node_add_parent(child, clone), 0);

    EXPECT_EQ(kv_node_substitute_class(i, narrow), kv_error_usage); // no output "out"
    EXPECT_EQ(kv_node_get_instance_class(i), old_class);
    EXPECT_EQ(kv_domain_get_number_of_nodes(top), 4u);

    ASSERT_EQ(kv_node_substitute_class(i, wider), 0);
    EXPECT_EQ(kv_node_get_instance_class(i), wider);
    EXPECT_EQ(length(kv_class_get_instances(old_class)), 0u);
    EXPECT_EQ(kv_class_get_instances(wider)[0], i);
    kv_node_t wider_out = kv_class_get_node_by_name(wider, "out");
    EXPECT_EQ(kv_node_get_output(i, wider_out), clone); // kept, with its child
    EXPECT_EQ(kv_node_get_master(clone), wider_out);
    EXPECT_EQ(kv_node_get_parents(child)[0], clone);
    kv_node_t extra_clone = kv_node_get_output(i, extra);
    ASSERT_NE(extra_clone, nullptr);
    EXPECT_EQ(kv_node_get_instance(extra_clone), i);
    EXPECT_EQ(kv_node_get_input(i, kv_class_get_node_by_name(wider, "in")), actual);
    EXPECT_EQ(kv_domain_get_number_of_nodes(top), 5u);

    // A clone whose states differ from the new output's cannot be kept.
    kv_class_t four = make_class("Four");
    ASSERT_EQ(kv_node_add_to_inputs(node(four, "in")), 0);
    ASSERT_EQ(kv_node_add_to_outputs(node(four, "out", 4)), 0);
    ASSERT_EQ(kv_node_add_to_outputs(node(four, "extra")), 0);
    EXPECT_EQ(kv_node_substitute_class(i, four), kv_error_usage);
    EXPECT_EQ(kv_node_substitute_class(i, wider), 0); // the same class: nothing to do

    // An unnamed input matches nothing.
    kv_class_t unnamed = kv_cc_new_class(cc);
    kv_node_t in = kv_class_new_node(unnamed, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_add_to_inputs(in), 0);
    EXPECT_EQ(kv_node_substitute_class(i, unnamed), kv_error_usage);

    // Failed allocations leave the instance as it was.
    kv_class_t again = make_class("Again");
    ASSERT_EQ(kv_node_add_to_inputs(node(again, "in")), 0);
    ASSERT_EQ(kv_node_add_to_outputs(node(again, "out", 3)), 0);
    ASSERT_EQ(kv_node_add_to_outputs(node(again, "extra")), 0);
    ASSERT_EQ(kv_node_add_to_outputs(node(again, "third")), 0);
    int points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        int s = kv_node_substitute_class(i, again);
        kv::fail_allocation_after(0);
        if (s == 0)
            break;
        ++points;
        ASSERT_EQ(s, kv_error_no_memory);
        EXPECT_EQ(kv_node_get_instance_class(i), wider);
        EXPECT_EQ(kv_domain_get_number_of_nodes(top), 5u);
        EXPECT_EQ(kv_node_get_output(i, wider_out), clone);
    }
    EXPECT_GE(points, 3);
    EXPECT_EQ(kv_domain_get_number_of_nodes(top), 6u);
    EXPECT_EQ(kv_node_get_master(clone), kv_class_get_node_by_name(again, "out"));
}

TEST_F(ClassTest, FailedAllocationsChangeNothing)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    ASSERT_EQ(kv_node_add_to_outputs(node(b, "o1")), 0);
    ASSERT_NE(kv_class_new_instance(a, b), nullptr);
    ASSERT_NE(kv_class_new_instance(a, b), nullptr);
    kv_node_t o2 = node(b, "o2");
    int points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        int s = kv_node_add_to_outputs(o2);
        kv::fail_allocation_after(0);
        if (s == 0)
            break;
        ++points;
        ASSERT_EQ(s, kv_error_no_memory);
        EXPECT_EQ(length(kv_class_get_outputs(b)), 1u);
        EXPECT_EQ(kv_domain_get_number_of_nodes(a), 4u);
    }
    EXPECT_GE(points, 3);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 6u);

    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_node_t i = kv_class_new_instance(a, b);
        kv::fail_allocation_after(0);
        if (i)
            break;
        ASSERT_EQ(kv_error_code(), kv_error_no_memory);
        EXPECT_EQ(kv_domain_get_number_of_nodes(a), 6u);
        EXPECT_EQ(length(kv_class_get_instances(b)), 2u);
    }
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 9u);
}

} // namespace

namespace {

// Every promise the records keep between operations.
void check_invariants(kv_class_collection_t cc)
{
    for (kv_class_t *m = kv_cc_get_members(cc); *m; ++m) {
        kv_class_t c = *m;
        size_t outputs = 0;
        while (c->outputs && c->outputs[outputs])
            ++outputs;
        size_t inputs = 0;
        while (c->inputs && c->inputs[inputs])
            ++inputs;
        for (size_t i = 0; i < inputs; ++i) {
            ASSERT_EQ(c->inputs[i]->home, c);
            ASSERT_FALSE(c->inputs[i]->parents && c->inputs[i]->parents[0]);
        }
        // Instance lists hold exactly the instance nodes of this class.
        size_t listed = 0;
        for (kv_node_t *i = c->instances; i && *i; ++i, ++listed)
            ASSERT_EQ((*i)->instance_class, c);
        size_t found = 0;
        for (kv_class_t *o = kv_cc_get_members(cc); *o; ++o)
            for (kv_node_t n = (*o)->first_node; n; n = n->next)
                if (n->category == kv_category_instance && n->instance_class == c)
                    ++found;
        ASSERT_EQ(listed, found);
        size_t index = c->number_of_nodes;
        for (kv_node_t n = c->first_node; n; n = n->next) {
            ASSERT_EQ(n->index, index--);
            if (n->clone_source) {
                kv_node_t master = n->clone_source;
                ASSERT_EQ(n->clone_owner->home, c);
                bool listed_clone = false;
                for (kv_node_t *o = n->clone_owner->output_clones; *o; ++o)
                    listed_clone = listed_clone || *o == n;
                ASSERT_TRUE(listed_clone);
                ASSERT_EQ(n->number_of_states, master->number_of_states);
                ASSERT_EQ(n->state_labels, master->state_labels);
                ASSERT_EQ(n->state_values, master->state_values);
                ASSERT_EQ(n->subtype, master->subtype);
            }
            if (n->category != kv_category_instance)
                continue;
            kv_class_t l = n->instance_class;
            size_t l_outputs = 0;
            while (l->outputs && l->outputs[l_outputs])
                ++l_outputs;
            for (size_t j = 0; j < l_outputs; ++j) {
                ASSERT_NE(n->output_clones[j], nullptr);
                ASSERT_EQ(n->output_clones[j]->clone_source, l->outputs[j]);
                ASSERT_EQ(n->output_clones[j]->clone_owner, n);
                ASSERT_EQ(n->output_clones[j]->home, c);
            }
            ASSERT_EQ(n->output_clones[l_outputs], nullptr);
            size_t l_inputs = 0;
            while (l->inputs && l->inputs[l_inputs])
                ++l_inputs;
            ASSERT_LE(n->number_of_input_bindings, l_inputs);
            for (size_t j = 0; j < n->number_of_input_bindings; ++j) {
                if (n->input_bindings[j]) {
                    ASSERT_EQ(n->input_bindings[j]->home, c);
                }
            }
        }
    }
}

TEST(ClassEditTest, RandomEditSequencesKeepTheRecordsConsistent)
{
    std::mt19937 rng(7);
    auto pick = [&](size_t n) { return size_t(rng() % n); };
    for (int round = 0; round < 20; ++round) {
        kv_class_collection_t cc = kv_new_class_collection();
        std::vector<kv_class_t> classes;
        for (int k = 0; k < 4; ++k)
            classes.push_back(kv_cc_new_class(cc));
        auto nodes_of = [](kv_class_t c) {
            std::vector<kv_node_t> v;
            for (kv_node_t n = c->first_node; n; n = n->next)
                v.push_back(n);
            return v;
        };
        for (int step = 0; step < 150; ++step) {
            kv_class_t c = classes[pick(classes.size())];
            std::vector<kv_node_t> nodes = nodes_of(c);
            kv_node_t n = nodes.empty() ? nullptr : nodes[pick(nodes.size())];
            switch (pick(11)) {
            case 0:
            case 1: {
                kv_node_t x = kv_class_new_node(c, kv_category_chance, kv_kind_discrete);
                kv_node_set_number_of_states(x, 1 + pick(3));
                break;
            }
            case 2:
                kv_class_new_instance(c, classes[pick(classes.size())]);
                break;
            case 3:
                if (n)
                    kv_node_add_to_outputs(n);
                break;
            case 4:
                if (n)
                    kv_node_add_to_inputs(n);
                break;
            case 5:
                if (n && !n->clone_source)
                    kv_node_delete(n);
                break;
            case 6:
                if (n) {
                    kv_node_remove_from_outputs(n);
                    kv_node_remove_from_inputs(n);
                }
                break;
            case 7:
                if (n && nodes.size() > 1)
                    kv_node_add_parent(n, nodes[pick(nodes.size())]);
                break;
            case 8:
                if (n && n->category == kv_category_instance && n->instance_class->inputs &&
                    n->instance_class->inputs[0])
                    kv_node_set_input(n, n->instance_class->inputs[0], nodes[pick(nodes.size())]);
                break;
            case 9:
                if (n && n->category == kv_category_instance)
                    kv_node_substitute_class(n, classes[pick(classes.size())]);
                break;
            case 10:
                if (n && n->kind == kv_kind_discrete && n->category == kv_category_chance)
                    kv_node_set_number_of_states(n, 1 + pick(4));
                break;
            }
            check_invariants(cc);
            if (::testing::Test::HasFatalFailure())
                return;
        }
        // Every class unfolds or refuses cleanly.
        for (kv_class_t c : classes) {
            kv_domain_t d = kv_class_create_domain(c);
            if (d)
                kv_domain_delete(d);
        }
        EXPECT_EQ(kv_cc_delete(cc), 0);
    }
}

} // namespace
