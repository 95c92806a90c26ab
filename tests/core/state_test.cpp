#include <cfloat>

#include "core/domain.h"
#include "core_fixture.h"

using StateTest = DomainFixture;

TEST_F(StateTest, NewNodesHaveOneStateAndSubtypeLabel)
{
    kv_node_t n = chance();
    EXPECT_EQ(kv_node_get_number_of_states(n), 1u);
    EXPECT_EQ(kv_node_get_subtype(n), kv_subtype_label);
    EXPECT_STREQ(kv_node_get_state_label(n, 0), "");
    kv_node_t dec = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    EXPECT_EQ(kv_node_get_number_of_states(dec), 1u);
}

TEST_F(StateTest, StatesBelongToDiscreteChanceAndDecisionNodes)
{
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    EXPECT_EQ(kv_node_get_number_of_states(u), static_cast<size_t>(-1));
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_set_number_of_states(u, 2), kv_error_usage);
    EXPECT_EQ(kv_node_get_subtype(u), kv_subtype_error);
    EXPECT_EQ(kv_node_set_state_label(u, 0, "x"), kv_error_usage);
    EXPECT_EQ(kv_node_delete(u), 0);

    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    EXPECT_EQ(kv_node_get_number_of_states(x), static_cast<size_t>(-1));
    EXPECT_EQ(kv_node_set_number_of_states(x, 2), kv_error_usage);
    EXPECT_EQ(kv_node_get_state_label(x, 0), nullptr);
    EXPECT_EQ(kv_node_get_state_value(x, 0), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_get_number_of_states(nullptr), static_cast<size_t>(-1));
}

TEST_F(StateTest, SetNumberOfStatesChecks)
{
    kv_node_t n = chance(nullptr, 3);
    EXPECT_EQ(kv_node_set_number_of_states(n, 0), kv_error_usage);
    EXPECT_EQ(kv_node_set_number_of_states(nullptr, 2), kv_error_usage);
    EXPECT_EQ(kv_node_set_number_of_states(n, 3), 0);
    EXPECT_EQ(kv_node_get_number_of_states(n), 3u);

    kv_node_t master = chance(nullptr, 2);
    kv_node_t clone = chance(nullptr, 2);
    clone->clone_source = master;
    EXPECT_EQ(kv_node_set_number_of_states(clone, 3), kv_error_usage);
    EXPECT_EQ(kv_node_set_state_label(clone, 0, "a"), kv_error_usage);
    EXPECT_EQ(kv_node_set_subtype(clone, kv_subtype_number), kv_error_usage);
    EXPECT_EQ(kv_node_get_number_of_states(clone), 2u) << "reading a clone is allowed";
    clone->clone_source = nullptr;
}

TEST_F(StateTest, BooleanNodesKeepTwoStates)
{
    kv_node_t n = chance(nullptr, 3);
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_boolean), kv_error_usage);
    EXPECT_EQ(kv_node_get_subtype(n), kv_subtype_label);
    EXPECT_EQ(kv_node_set_number_of_states(n, 2), 0);
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_boolean), 0);
    EXPECT_EQ(kv_node_set_number_of_states(n, 3), kv_error_usage);
    EXPECT_EQ(kv_node_set_number_of_states(n, 2), 0) << "the current count is accepted";
    EXPECT_EQ(kv_node_get_number_of_states(n), 2u);
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_boolean), 0);
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_error), kv_error_usage);
    EXPECT_EQ(kv_node_set_subtype(n, static_cast<kv_node_subtype_t>(29)), kv_error_usage);
    EXPECT_EQ(kv_node_get_subtype(n), kv_subtype_boolean);
}

TEST_F(StateTest, LabelsFollowTheStateCount)
{
    kv_node_t n = chance(nullptr, 3);
    EXPECT_EQ(kv_node_set_state_label(n, 0, "low"), 0);
    EXPECT_EQ(kv_node_set_state_label(n, 2, "high"), 0);
    EXPECT_STREQ(kv_node_get_state_label(n, 1), "");
    EXPECT_EQ(kv_node_set_state_label(n, 3, "x"), kv_error_usage);
    EXPECT_EQ(kv_node_set_state_label(n, 1, nullptr), kv_error_usage);
    EXPECT_EQ(kv_node_get_state_label(n, 3), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    EXPECT_EQ(kv_node_set_number_of_states(n, 5), 0);
    EXPECT_STREQ(kv_node_get_state_label(n, 0), "low");
    EXPECT_STREQ(kv_node_get_state_label(n, 2), "high");
    EXPECT_STREQ(kv_node_get_state_label(n, 3), "");
    EXPECT_STREQ(kv_node_get_state_label(n, 4), "");
    EXPECT_EQ(kv_node_set_number_of_states(n, 2), 0);
    EXPECT_STREQ(kv_node_get_state_label(n, 0), "low");
    EXPECT_EQ(kv_node_get_state_label(n, 2), nullptr);
    EXPECT_EQ(kv_node_set_number_of_states(n, 3), 0);
    EXPECT_STREQ(kv_node_get_state_label(n, 2), "") << "a regrown state starts without a label";
    EXPECT_EQ(kv_node_set_state_label(n, 0, "replaced"), 0);
    EXPECT_STREQ(kv_node_get_state_label(n, 0), "replaced");
}

TEST_F(StateTest, IntervalValues)
{
    kv_node_t n = chance(nullptr, 4);
    EXPECT_EQ(kv_node_set_state_value(n, 0, 1.0), kv_error_usage) << "label nodes have no values";
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_interval), 0);
    EXPECT_EQ(kv_node_get_state_value(n, 0), -DBL_MAX);
    EXPECT_EQ(kv_node_get_state_value(n, 2), -1.0);
    EXPECT_EQ(kv_node_get_state_value(n, 4), DBL_MAX);
    for (size_t s = 1; s <= 3; ++s)
        EXPECT_EQ(kv_node_set_state_value(n, s, 10.0 * s), 0);
    EXPECT_EQ(kv_node_set_state_value(n, 5, 0.0), kv_error_usage);
    EXPECT_EQ(kv_node_get_state_value(n, 5), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_get_state_value(n, 0), -DBL_MAX);
    EXPECT_EQ(kv_node_get_state_value(n, 1), 10.0);
    EXPECT_EQ(kv_node_get_state_value(n, 3), 30.0);
    EXPECT_EQ(kv_node_get_state_value(n, 4), DBL_MAX);
    EXPECT_EQ(kv_node_set_state_value(n, 4, 100.0), 0);
    EXPECT_EQ(kv_node_set_state_value(n, 2, -5.0), 0) << "no order test when storing";

    // Growing keeps the upper end last; new ends read -1.
    EXPECT_EQ(kv_node_set_number_of_states(n, 6), 0);
    const double grown[] = {-DBL_MAX, 10.0, -5.0, 30.0, -1.0, -1.0, 100.0};
    for (size_t s = 0; s <= 6; ++s)
        EXPECT_EQ(kv_node_get_state_value(n, s), grown[s]) << s;
    // Shrinking moves the upper end down.
    EXPECT_EQ(kv_node_set_number_of_states(n, 2), 0);
    EXPECT_EQ(kv_node_get_state_value(n, 0), -DBL_MAX);
    EXPECT_EQ(kv_node_get_state_value(n, 1), 10.0);
    EXPECT_EQ(kv_node_get_state_value(n, 2), 100.0);
    EXPECT_EQ(kv_node_get_state_value(n, 3), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(StateTest, NumberValues)
{
    kv_node_t n = chance(nullptr, 4);
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_number), 0);
    EXPECT_EQ(kv_node_get_state_value(n, 0), -1.0) << "no array yet";
    EXPECT_EQ(kv_error_code(), kv_error_none);
    for (size_t s = 0; s < 4; ++s)
        EXPECT_EQ(kv_node_set_state_value(n, s, 0.5 * s), 0);
    EXPECT_EQ(kv_node_set_state_value(n, 4, 9.0), kv_error_usage);
    EXPECT_EQ(kv_node_get_state_value(n, 4), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_get_state_value(n, 3), 1.5);
    // The array made for a number node has ordinary ends: switching to
    // interval shows -1 at the top, not DBL_MAX.
    EXPECT_EQ(kv_node_set_subtype(n, kv_subtype_interval), 0);
    EXPECT_EQ(kv_node_get_state_value(n, 0), 0.0);
    EXPECT_EQ(kv_node_get_state_value(n, 4), -1.0);
}

TEST_F(StateTest, FailedGrowthKeepsTheOldStates)
{
    kv_node_t n = chance(nullptr, 2);
    kv_node_set_subtype(n, kv_subtype_interval);
    kv_node_set_state_value(n, 1, 5.0);
    kv_node_set_state_label(n, 1, "hi");
    for (long k = 1; k <= 2; ++k) {
        kv::fail_allocation_after(k); // label array, then value array
        EXPECT_EQ(kv_node_set_number_of_states(n, 4), kv_error_no_memory) << k;
        EXPECT_EQ(kv_node_get_number_of_states(n), 2u);
        EXPECT_EQ(kv_node_get_state_value(n, 1), 5.0);
        EXPECT_EQ(kv_node_get_state_value(n, 2), DBL_MAX);
        EXPECT_STREQ(kv_node_get_state_label(n, 1), "hi");
    }
    EXPECT_EQ(kv_node_set_number_of_states(n, 4), 0);
    EXPECT_EQ(kv_node_get_state_value(n, 4), DBL_MAX);
    EXPECT_STREQ(kv_node_get_state_label(n, 3), "");
}

TEST_F(StateTest, FailedLabelOrValueChangesNothing)
{
    kv_node_t n = chance(nullptr, 2);
    for (long k = 1; k <= 2; ++k) {
        kv::fail_allocation_after(k); // the copy, then the label array
        EXPECT_EQ(kv_node_set_state_label(n, 0, "a"), kv_error_no_memory);
        EXPECT_STREQ(kv_node_get_state_label(n, 0), "");
    }
    kv_node_set_subtype(n, kv_subtype_number);
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_node_set_state_value(n, 0, 3.0), kv_error_no_memory);
    EXPECT_EQ(kv_node_get_state_value(n, 0), -1.0);
    EXPECT_EQ(kv_node_set_state_value(n, 0, 3.0), 0);
    EXPECT_EQ(kv_node_get_state_value(n, 0), 3.0);
}
