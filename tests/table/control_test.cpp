#include <mutex>

#include "table/control.h"
#include "table/parallel.h"
#include "table_fixture.h"

using ControlTest = TableFixture;

static void expect_loop(const kv_loop_s &l, size_t stride, size_t count)
{
    EXPECT_EQ(l.stride, stride);
    EXPECT_EQ(l.count, count);
    EXPECT_EQ(l.last, count - 1);
}

TEST_F(ControlTest, StaticAndWorkingHalves)
{
    kv_node_t p = discrete(2), q = discrete(3), r = discrete(4);
    kv_table_s *big = table({p, q, r}), *small = table({r, p});
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->number, 1u);
    ASSERT_EQ(c->D, 3u);
    EXPECT_EQ(c->loop_data[0].stride, 1u); // P in the small table
    EXPECT_EQ(c->loop_data[1].stride, 0u); // Q absent
    EXPECT_EQ(c->loop_data[2].stride, 2u); // R
    kv_loop_s *w = _kv_control_working(c);
    EXPECT_EQ(c->first_count, 2u);
    EXPECT_EQ(c->second_count, 1u);
    expect_loop(w[0], 1, 4);  // R
    expect_loop(w[1], 12, 2); // P
    expect_loop(w[2], 4, 3);  // Q
    EXPECT_EQ(c->base_offset, 0u);

    // Walking the first section visits the small entries in order.
    size_t expected = 0;
    for (size_t r_state = 0; r_state < 4; ++r_state)
        for (size_t p_state = 0; p_state < 2; ++p_state) {
            size_t big_index = r_state * w[0].stride + p_state * w[1].stride;
            size_t small_index = r_state * c->loop_data[2].stride + p_state * c->loop_data[0].stride;
            EXPECT_EQ(small_index, expected++);
            EXPECT_EQ(big_index, config_index(big, {{p, p_state}, {q, 0}, {r, r_state}}));
        }
    _kv_free_control(c);
}

TEST_F(ControlTest, HardEvidenceMovesIntoTheBaseOffset)
{
    kv_node_t p = discrete(2), q = discrete(3), r = discrete(4);
    kv_table_s *big = table({p, q, r}), *small = table({r, p});
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    q->entered_finding = kv::allocate_array<double>(3);
    q->entered_finding[0] = 0.0, q->entered_finding[1] = 0.0, q->entered_finding[2] = 1.0;
    _kv_setup_alternative_control_normal(c, 1);
    EXPECT_EQ(c->second_count, 0u);
    EXPECT_EQ(c->base_offset, 8u);
    _kv_setup_alternative_control_normal(c, 0);
    EXPECT_EQ(c->second_count, 1u);
    EXPECT_EQ(c->base_offset, 0u);
    // A likelihood is not hard evidence.
    q->entered_finding[1] = 0.5;
    _kv_setup_alternative_control_normal(c, 1);
    EXPECT_EQ(c->second_count, 1u);
    EXPECT_EQ(c->base_offset, 0u);
    _kv_free_control(c);
}

TEST_F(ControlTest, OutermostLoopMergesOnlyWhileItSplitsUnevenly)
{
    kv_node_t a = discrete(2), b = discrete(3);
    kv_table_s *big = table({a, b}), *small = table({a, b});
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    _kv_setup_alternative_control_normal(c, 0);
    EXPECT_EQ(c->first_count, 2u) << "2 is divisible by concurrency level 1";
    ASSERT_EQ(kv_domain_set_concurrency_level(d, 4), 0);
    _kv_setup_alternative_control_normal(c, 0);
    ASSERT_EQ(c->first_count, 1u);
    expect_loop(_kv_control_working(c)[0], 1, 6);
    _kv_free_control(c);
}

TEST_F(ControlTest, SecondSectionMerges)
{
    kv_node_t a = discrete(2), b = discrete(3), e = discrete(5);
    kv_table_s *big = table({e, a, b}), *small = table({e});
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    _kv_setup_alternative_control_normal(c, 0);
    EXPECT_EQ(c->first_count, 1u);
    ASSERT_EQ(c->second_count, 1u);
    expect_loop(_kv_control_working(c)[1], 1, 6);
    _kv_free_control(c);
}

TEST_F(ControlTest, CreationChecks)
{
    kv_node_t a = discrete(2), b = discrete(2);
    kv_table_s *ab = table({a, b}), *b_only = table({b}), *ua = table({a}, KV_UTILITY);
    EXPECT_EQ(_kv_create_control(b_only, nullptr, ab, nullptr), nullptr) << "not a subset";
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(_kv_create_control(ua, nullptr, b_only, nullptr), nullptr) << "wrong type";
    EXPECT_EQ(_kv_create_control(ab, ua, b_only, nullptr), nullptr) << "pair nodes differ";
    EXPECT_EQ(_kv_create_control(nullptr, nullptr, b_only, nullptr), nullptr);
    kv_domain_t other = kv_new_domain();
    kv_node_t x = kv_domain_new_node(other, kv_category_chance, kv_kind_discrete);
    kv_node_t list[] = {x, nullptr};
    kv_table_s *foreign = _kv_create_table(other, list, KV_PROBABILITY, 1, 0, 1);
    EXPECT_EQ(_kv_create_control(ab, nullptr, foreign, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(d->number_of_controls, 0u);
    kv_domain_delete(other);

    kv_table_s *uab = table({a, b}, KV_UTILITY);
    kv_control_s *c = _kv_create_control(ab, uab, b_only, nullptr);
    ASSERT_NE(c, nullptr);
    kv_control_s *c2 = _kv_create_control(ab, nullptr, b_only, nullptr);
    EXPECT_EQ(c2->number, 2u);
    _kv_free_control(c);
    EXPECT_EQ(c2->number, 1u);
    // A discrete control is one block: record, loops, positions, strides.
    kv::fail_allocation_after(1);
    EXPECT_EQ(_kv_create_control(ab, nullptr, b_only, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_no_memory);
    EXPECT_EQ(d->number_of_controls, 1u);
    kv::fail_allocation_after(2);
    kv_control_s *c3 = _kv_create_control(ab, nullptr, b_only, nullptr);
    ASSERT_NE(c3, nullptr);
    EXPECT_TRUE(kv::allocation_failure_pending());
    kv::fail_allocation_after(0);
    ASSERT_EQ(c3->D, 2u);
    EXPECT_EQ(c3->small_positions[0], 1u) << "b is the second node of the big table";
    EXPECT_EQ(c3->big_strides[0], ab->nodes[1]->number_of_states);
    EXPECT_EQ(c3->big_strides[1], 1u);
    EXPECT_EQ(c3->loop_data[1].stride, 1u) << "b's stride in the small table";
    EXPECT_EQ(c3->loop_data[0].stride, 0u) << "a is not in the small table";
}

TEST(ThreadCountTest, GrainAndLevel)
{
    kv_domain_t d = kv_new_domain();
    kv_domain_set_concurrency_level(d, 4);
    EXPECT_EQ(_kv_compute_number_of_threads(d, 10, 5000), 4u);
    EXPECT_EQ(_kv_compute_number_of_threads(d, 50, 100), 1u);
    EXPECT_EQ(_kv_compute_number_of_threads(d, 3, 100000), 3u);
    kv_domain_set_grain_size(d, 1);
    EXPECT_EQ(_kv_compute_number_of_threads(d, 1000, 1), 4u);
    EXPECT_EQ(kv_domain_set_concurrency_level(d, 0), kv_error_usage);
    EXPECT_EQ(kv_domain_get_concurrency_level(d), 4u);
    EXPECT_EQ(kv_domain_set_grain_size(d, 0), kv_error_usage);
    EXPECT_EQ(kv_domain_get_grain_size(d), 1u);
    EXPECT_EQ(kv_domain_get_grain_size(nullptr), SIZE_MAX);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_delete(d);
}

namespace {
std::mutex shares_mutex;
std::vector<size_t> shares;
void record_share(kv_task_s *t)
{
    std::lock_guard<std::mutex> lock(shares_mutex);
    shares.push_back(t->iterations);
}
} // namespace

TEST_F(ControlTest, OuterLoopIsSplitInConsecutiveShares)
{
    kv_node_t x = discrete(10), y = discrete(5000);
    kv_table_s *big = table({x, y}), *small = table({x});
    kv_control_s *c = _kv_create_control(big, nullptr, small, nullptr);
    kv_domain_set_concurrency_level(d, 4);
    _kv_setup_alternative_control_normal(c, 0);
    shares.clear();
    size_t started = kv::pooled_shares();
    ASSERT_EQ(_kv_do_table_operation(c, record_share, nullptr, nullptr, 0, 0), 0);
    std::sort(shares.begin(), shares.end());
    EXPECT_EQ(shares, (std::vector<size_t>{2, 2, 3, 3}));
    EXPECT_EQ(kv::pooled_shares(), started + 4);

    kv_domain_set_concurrency_level(d, 1);
    _kv_setup_alternative_control_normal(c, 0);
    shares.clear();
    ASSERT_EQ(_kv_do_table_operation(c, record_share, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(shares, (std::vector<size_t>{1}));
    EXPECT_EQ(kv::pooled_shares(), started + 4) << "level 1 starts no thread";

    // Workers that cannot be started: their shares run on the caller.
    kv_domain_set_concurrency_level(d, 4);
    _kv_setup_alternative_control_normal(c, 0);
    shares.clear();
    kv::refuse_worker_threads(true);
    ASSERT_EQ(_kv_do_table_operation(c, record_share, nullptr, nullptr, 0, 0), 0);
    kv::refuse_worker_threads(false);
    EXPECT_EQ(shares, (std::vector<size_t>{3, 3, 2, 2}));
    EXPECT_EQ(kv::pooled_shares(), started + 4);
    _kv_free_control(c);
}
