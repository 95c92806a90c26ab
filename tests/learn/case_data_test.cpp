#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"
#include "learn/learn.h"

namespace {

class CaseDataTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        d = kv_new_domain();
        a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_number_of_states(a, 3);
        b = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_number_of_states(b, 2);
        x = kv_domain_new_node(d, kv_category_chance, kv_kind_continuous);
    }
    void TearDown() override { kv_domain_delete(d); }
    kv_domain_t d;
    kv_node_t a, b, x;
};

} // namespace

// Columns come with their first entry; capacities follow the slack rules.
TEST_F(CaseDataTest, CapacityGrowsWithSlackAndShrinksWhenMuchIsUnused)
{
    EXPECT_EQ(kv_domain_get_number_of_cases(d), 0u);
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 1000), 0);
    EXPECT_EQ(d->case_capacity, 1000u);
    EXPECT_EQ(a->case_states, nullptr) << "nothing allocated until a value is set";
    EXPECT_EQ(x->case_values, nullptr);
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 0), 0);
    EXPECT_EQ(d->case_capacity, 0u);

    ASSERT_EQ(kv_domain_set_number_of_cases(d, 100), 0);
    EXPECT_EQ(d->case_capacity, 100u);
    ASSERT_EQ(kv_node_set_case_state(a, 95, 2), 0);
    ASSERT_EQ(kv_node_set_case_value(x, 99, 1.5), 0);
    ASSERT_EQ(kv_domain_set_case_count(d, 92, 4.0), 0);
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 90), 0);
    EXPECT_EQ(d->case_capacity, 100u) << "100 - 90 is below 12 + 6";
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 100), 0);
    EXPECT_EQ(kv_node_case_is_set(a, 95), 0) << "shrinking unset cases 90 to 99";
    EXPECT_EQ(kv_node_case_is_set(x, 99), 0);
    EXPECT_EQ(kv_domain_get_case_count(d, 92), 1.0);
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 101), 0);
    EXPECT_EQ(d->case_capacity, 112u) << "slack 100 / 8";
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 100), 0);
    EXPECT_EQ(d->case_capacity, 112u);
    ASSERT_EQ(kv_node_set_case_state(a, 80, 1), 0);
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 81), 0);
    EXPECT_EQ(d->case_capacity, 81u) << "112 - 81 reaches 14 + 7";
    EXPECT_EQ(kv_node_get_case_state(a, 80), 1u);

    ASSERT_EQ(kv_domain_set_number_of_cases(d, 10), 0);
    EXPECT_EQ(d->case_capacity, 10u);
    EXPECT_EQ(kv_domain_new_case(d), 10u);
    EXPECT_EQ(d->case_capacity, 20u) << "slack 10 below 88 cases";
    EXPECT_EQ(kv_domain_get_number_of_cases(d), 11u);
    EXPECT_EQ(kv_node_case_is_set(a, 10), 0);
}

TEST_F(CaseDataTest, EntriesAndTheirErrors)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 3), 0);
    EXPECT_EQ(kv_domain_get_case_count(d, 2), 1.0);
    EXPECT_EQ(kv_domain_set_case_count(d, 1, 1.0), 0);
    EXPECT_EQ(d->case_counts, nullptr) << "a count of 1 needs no array";
    EXPECT_EQ(kv_domain_set_case_count(d, 1, 0.0), 0);
    EXPECT_EQ(kv_domain_get_case_count(d, 1), 0.0);
    EXPECT_EQ(kv_domain_get_case_count(d, 0), 1.0);
    for (double bad : {-1.0, std::nan(""), HUGE_VAL}) {
        EXPECT_EQ(kv_domain_set_case_count(d, 0, bad), kv_error_usage) << bad;
        EXPECT_EQ(kv_domain_get_case_count(d, 0), 1.0);
    }
    EXPECT_EQ(kv_domain_set_case_count(d, 3, 2.0), kv_error_usage);
    EXPECT_EQ(kv_domain_get_case_count(d, 3), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    EXPECT_EQ(kv_node_get_case_state(a, 0), size_t(-1));
    EXPECT_EQ(kv_error_code(), kv_error_no_value);
    EXPECT_EQ(kv_node_get_case_value(x, 0), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_no_value);
    EXPECT_EQ(kv_node_set_case_state(a, 0, 3), kv_error_usage) << "a has 3 states";
    EXPECT_EQ(kv_node_set_case_state(x, 0, 0), kv_error_usage);
    EXPECT_EQ(kv_node_set_case_value(a, 0, 1.0), kv_error_usage);
    EXPECT_EQ(kv_node_set_case_value(x, 0, HUGE_VAL), kv_error_usage);
    EXPECT_EQ(kv_node_set_case_value(x, 3, 1.0), kv_error_usage);
    EXPECT_EQ(kv_node_get_case_state(x, 0), size_t(-1));
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_node_case_is_set(a, 3), -1);
    EXPECT_EQ(kv_node_unset_case(nullptr, 0), kv_error_usage);

    ASSERT_EQ(kv_node_set_case_state(a, 2, 2), 0);
    ASSERT_EQ(kv_node_set_case_value(x, 1, -0.25), 0);
    EXPECT_EQ(kv_node_get_case_state(a, 2), 2u);
    EXPECT_EQ(kv_node_get_case_value(x, 1), -0.25);
    EXPECT_EQ(kv_node_case_is_set(a, 1), 0);
    EXPECT_EQ(kv_node_unset_case(b, 1), 0) << "no column needs nothing";
    ASSERT_EQ(kv_node_unset_case(x, 1), 0);
    EXPECT_EQ(kv_node_case_is_set(x, 1), 0);

    // A node that loses states loses the stored states beyond them, also
    // when it grows again.
    ASSERT_EQ(kv_node_set_case_state(a, 0, 1), 0);
    ASSERT_EQ(kv_node_set_number_of_states(a, 2), 0);
    EXPECT_EQ(kv_node_case_is_set(a, 2), 0);
    ASSERT_EQ(kv_node_set_number_of_states(a, 3), 0);
    EXPECT_EQ(kv_node_case_is_set(a, 2), 0);
    EXPECT_EQ(kv_node_get_case_state(a, 0), 1u);

    EXPECT_EQ(kv_domain_set_number_of_cases(d, SIZE_MAX), kv_error_usage);
    EXPECT_EQ(kv_domain_set_number_of_cases(d, SIZE_MAX / 4), kv_error_size_too_large);
    EXPECT_EQ(kv_domain_get_number_of_cases(d), 3u);
    EXPECT_EQ(kv_domain_get_number_of_cases(nullptr), size_t(-1));
    EXPECT_EQ(kv_domain_new_case(nullptr), size_t(-1));
    // A node with entries goes with its columns (the leak checker sees it).
    ASSERT_EQ(kv_node_delete(x), 0);
}

// Random operations against a model of the store: every entry and count
// agrees after each one, whatever the capacity did.
TEST_F(CaseDataTest, AgreesWithAModelUnderRandomOperations)
{
    std::mt19937 rng(4);
    std::vector<std::optional<size_t>> sa, sb;
    std::vector<std::optional<double>> vx;
    std::vector<double> counts;
    auto resize = [&](size_t n) {
        sa.resize(n), sb.resize(n), vx.resize(n), counts.resize(n, 1.0);
    };
    for (int step = 0; step < 3000; ++step) {
        size_t n = sa.size();
        int op = int(rng() % 8);
        size_t i = n ? rng() % n : 0;
        if (op == 0) {
            size_t r = rng() % 20;
            size_t m = rng() % 4 == 0 ? rng() % 300 : (n + r > 10 ? n + r - 10 : 0);
            ASSERT_EQ(kv_domain_set_number_of_cases(d, m), 0);
            for (size_t k = m; k < n; ++k)
                sa[k].reset(), sb[k].reset(), vx[k].reset(), counts[k] = 1.0;
            resize(m);
        } else if (op == 1) {
            ASSERT_EQ(kv_domain_new_case(d), n);
            resize(n + 1);
        } else if (n == 0) {
            continue;
        } else if (op == 2) {
            size_t s = rng() % 3;
            ASSERT_EQ(kv_node_set_case_state(a, i, s), 0);
            sa[i] = s;
        } else if (op == 3) {
            ASSERT_EQ(kv_node_set_case_state(b, i, rng() % 2), 0);
            sb[i] = size_t(kv_node_get_case_state(b, i));
        } else if (op == 4) {
            double v = double(rng() % 1000) / 7.0;
            ASSERT_EQ(kv_node_set_case_value(x, i, v), 0);
            vx[i] = v;
        } else if (op == 5) {
            double c = double(rng() % 5);
            ASSERT_EQ(kv_domain_set_case_count(d, i, c), 0);
            counts[i] = c;
        } else {
            kv_node_t node = op == 6 ? a : x;
            ASSERT_EQ(kv_node_unset_case(node, i), 0);
            (op == 6 ? sa[i].reset() : vx[i].reset());
        }
        ASSERT_EQ(kv_domain_get_number_of_cases(d), sa.size());
        ASSERT_GE(d->case_capacity, sa.size());
        for (size_t k = 0; k < sa.size(); ++k) {
            ASSERT_EQ(kv_node_case_is_set(a, k), sa[k].has_value()) << step << " " << k;
            if (sa[k]) {
                ASSERT_EQ(kv_node_get_case_state(a, k), *sa[k]);
            }
            ASSERT_EQ(kv_node_case_is_set(b, k), sb[k].has_value());
            ASSERT_EQ(kv_node_case_is_set(x, k), vx[k].has_value());
            if (vx[k]) {
                ASSERT_EQ(kv_node_get_case_value(x, k), *vx[k]);
            }
            ASSERT_EQ(kv_domain_get_case_count(d, k), counts[k]);
        }
    }
}

// Running out of memory while the store grows leaves it as it was.
TEST_F(CaseDataTest, FailedGrowthChangesNothing)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 20), 0);
    for (size_t i = 0; i < 20; ++i) {
        ASSERT_EQ(kv_node_set_case_state(a, i, i % 3), 0);
        ASSERT_EQ(kv_node_set_case_value(x, i, double(i)), 0);
        ASSERT_EQ(kv_domain_set_case_count(d, i, double(i % 4)), 0);
    }
    int failures = 0;
    for (long n = 1; n < 20; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_set_number_of_cases(d, 500);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ++failures;
        EXPECT_EQ(status, kv_error_no_memory);
        EXPECT_EQ(kv_domain_get_number_of_cases(d), 20u);
        EXPECT_EQ(d->case_capacity, 20u);
        for (size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(kv_node_get_case_state(a, i), i % 3);
            EXPECT_EQ(kv_node_get_case_value(x, i), double(i));
            EXPECT_EQ(kv_domain_get_case_count(d, i), double(i % 4));
        }
    }
    EXPECT_EQ(failures, 4) << "the state, value, flag and count columns";
    EXPECT_EQ(d->case_capacity, 500u);
    EXPECT_EQ(kv_node_get_case_value(x, 19), 19.0);
    EXPECT_EQ(kv_node_case_is_set(x, 499), 0);
    EXPECT_EQ(kv_domain_get_case_count(d, 499), 1.0);
}

// A case entered as evidence: states selected, values entered, unset
// entries retracted; complete only when every chance node is set.
TEST_F(CaseDataTest, EnteringACase)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 2), 0);
    ASSERT_EQ(kv_node_set_case_state(a, 0, 2), 0);
    ASSERT_EQ(kv_node_set_case_value(x, 0, 3.5), 0);
    ASSERT_EQ(kv_node_select_state(b, 1), 0);
    ASSERT_EQ(_kv_domain_enter_case(d, 0), 0);
    EXPECT_EQ(kv_node_get_entered_state(a), 2u);
    EXPECT_EQ(kv_node_evidence_is_entered(b), 0) << "unset: retracted";
    EXPECT_EQ(kv_node_get_entered_value(x), 3.5);
    EXPECT_EQ(_kv_domain_enter_case(d, 2), kv_error_usage);
    EXPECT_FALSE(_kv_domain_case_is_complete(d, 0)) << "continuous nodes";
    ASSERT_EQ(kv_node_delete(x), 0);
    EXPECT_FALSE(_kv_domain_case_is_complete(d, 0));
    ASSERT_EQ(kv_node_set_case_state(b, 0, 0), 0);
    EXPECT_TRUE(_kv_domain_case_is_complete(d, 0));
    EXPECT_FALSE(_kv_domain_case_is_complete(d, 1));
}
