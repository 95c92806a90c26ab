// Compression of compiled networks: argument checks and refusals, the kept
// entries of each table, the memory ratio, and every result of a compressed
// domain against an uncompressed twin under random evidence.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "../compile/compile_fixture.h"
#include "inference/propagate.h"
#include "table/control.h"

namespace {

using Net = RandomNet;

// Without flat, its trees keep the strided kernels over evidence slices
// (the twins compared with compressed domains have them).
Net random_net(unsigned seed, int n, int percent, double zero_chance, bool flat = true)
{
    return compiled_random_net(seed, n, percent, zero_chance, flat ? Kernels::flat : Kernels::strided);
}

size_t nonzero(const kv_table_s *t)
{
    size_t n = 0;
    for (size_t i = 0; i < t->size; ++i)
        n += t->discrete_data[i] != 0.0;
    return n;
}

// Bytes of the clique and separator data and of the index maps, counted
// from the records: a flat or compressed control keeps two bytes per entry
// of its big table.
size_t memory_in_use(kv_domain_t d)
{
    size_t bytes = 0;
    for (kv_table_s *t = d->first_table; t; t = t->next)
        if (t->role == 2 || t->role == 3)
            bytes += 8 * t->size;
    for (kv_control_s *c = d->first_control; c; c = c->next) {
        size_t D = c->big_probability->discrete_count, s = c->small_probability->discrete_count;
        bytes += sizeof(kv_control_s) + 2 * D * sizeof(kv_loop_s) + (D + s) * sizeof(size_t);
        if (c->compressed_index)
            bytes += 2 * c->big_probability->size;
    }
    return bytes;
}

// Beliefs of every node and P(e), or the status of the propagation.
struct Results {
    int status;
    std::vector<double> beliefs;
    double p;
};

Results propagate(const Net &net, kv_equilibrium_t eq)
{
    Results r{kv_domain_propagate(net.d, eq, kv_mode_normal), {}, 0.0};
    if (r.status)
        return r;
    for (kv_node_t n : net.nodes)
        for (size_t s = 0; s < n->number_of_states; ++s)
            r.beliefs.push_back(kv_node_get_belief(n, s));
    r.p = kv_domain_get_normalization_constant(net.d);
    return r;
}

void expect_same(const Results &a, const Results &b, const char *what, int round)
{
    ASSERT_EQ(a.status, b.status) << what << " round " << round;
    ASSERT_EQ(a.beliefs.size(), b.beliefs.size());
    for (size_t i = 0; i < a.beliefs.size(); ++i) {
        EXPECT_NEAR(a.beliefs[i], b.beliefs[i], 1e-12) << what << " round " << round << " entry " << i;
    }
    EXPECT_NEAR(a.p, b.p, 1e-12 * b.p) << what << " round " << round;
}

// The same random findings (hard and likelihood) in both networks.
void enter_random_evidence(const Net &a, const Net &b, std::mt19937 &rng, bool soft = true)
{
    for (size_t i = 0; i < a.nodes.size(); ++i) {
        unsigned pick = rng() % 10;
        size_t k = a.nodes[i]->number_of_states, s = rng() % k;
        if (pick < 2) {
            ASSERT_EQ(kv_node_select_state(a.nodes[i], s), 0);
            ASSERT_EQ(kv_node_select_state(b.nodes[i], s), 0);
        } else if (pick == 2 && soft) {
            double x = 0.25 + 0.5 * (rng() % 3);
            ASSERT_EQ(kv_node_enter_finding(a.nodes[i], s, x), 0);
            ASSERT_EQ(kv_node_enter_finding(b.nodes[i], s, x), 0);
        }
    }
}

} // namespace

TEST(CompressTest, ArgumentsAndRefusals)
{
    EXPECT_EQ(kv_domain_compress(nullptr), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);

    Net net = random_net(1, 5, 50, 0.3);
    kv_domain_t d = net.d;
    ASSERT_EQ(kv_domain_uncompile(d), 0);
    EXPECT_EQ(kv_domain_compress(d), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_not_compiled);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_GT(kv_domain_compress(d), 0.0);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_domain_is_compressed(d), 1);

    // What needs entries by configuration, or division, is refused.
    kv_node_t pair[] = {net.nodes[0], net.nodes[1], nullptr};
    if (net.nodes[0]->junction_tree == net.nodes[1]->junction_tree) {
        EXPECT_EQ(kv_domain_get_marginal(d, pair), nullptr);
        EXPECT_EQ(kv_error_code(), kv_error_compressed);
    }
    kv_node_t one[] = {net.nodes[2], nullptr};
    kv_table_t marginal = kv_domain_get_marginal(d, one);
    ASSERT_NE(marginal, nullptr);
    kv_table_delete(marginal);
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_fast_retraction), kv_error_compressed);
    EXPECT_EQ(kv_domain_save_as_kb(d, "compressed.kb", nullptr), kv_error_compressed);
    EXPECT_EQ(kv_domain_simulate(d), kv_error_compressed);
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 1), 0);
    EXPECT_EQ(kv_domain_learn_tables(d), kv_error_compressed);
    EXPECT_EQ(kv_domain_adapt(d), kv_error_compressed);

    // Uncompilation ends it; the next compilation is whole again.
    ASSERT_EQ(kv_domain_uncompile(d), 0);
    EXPECT_EQ(kv_domain_is_compressed(d), 0);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_is_compressed(d), 0);
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_fast_retraction), 0);
    kv_domain_delete(d);

    // Only networks of discrete chance nodes.
    kv_domain_t id = kv_new_domain();
    kv_node_t decision = kv_domain_new_node(id, kv_category_decision, kv_kind_discrete);
    kv_node_t utility = kv_domain_new_node(id, kv_category_utility, kv_kind_discrete);
    ASSERT_EQ(kv_node_add_parent(utility, decision), 0);
    ASSERT_EQ(kv_domain_compile(id), 0);
    EXPECT_EQ(kv_domain_compress(id), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_is_compressed(id), 0);
    kv_domain_delete(id);

    // A tree whose tables no longer match the node tables, and one without
    // an equilibrium (its reset failed on a zero column).
    kv_domain_t z = kv_new_domain();
    kv_node_t a = kv_domain_new_node(z, kv_category_chance, kv_kind_discrete);
    kv_node_t b = kv_domain_new_node(z, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_set_number_of_states(a, 2), 0);
    ASSERT_EQ(kv_node_set_number_of_states(b, 2), 0);
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    ASSERT_EQ(kv_domain_compile(z), 0);
    std::fill_n(kv_table_get_data(kv_node_get_table(a)), 2, 0.0);
    ASSERT_EQ(kv_node_touch_table(a), 0);
    EXPECT_EQ(kv_domain_compress(z), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_no_equilibrium);
    EXPECT_NE(kv_domain_reset_inference_engine(z), 0);
    EXPECT_EQ(kv_domain_equilibrium_is(z, kv_equilibrium_sum), 0);
    EXPECT_EQ(kv_domain_compress(z), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_no_equilibrium);
    EXPECT_EQ(kv_domain_is_compressed(z), 0);
    kv_domain_delete(z);
}

// A two-node network by hand: the kept entries, their order, the tables'
// sizes and the beliefs.
TEST(CompressTest, KeptEntriesInOrder)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t b = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_set_number_of_states(a, 3), 0);
    ASSERT_EQ(kv_node_set_number_of_states(b, 2), 0);
    ASSERT_EQ(kv_node_add_parent(b, a), 0);
    double pa[] = {0.5, 0.0, 0.5}, pb[] = {1.0, 0.0, 0.5, 0.5, 0.25, 0.75};
    std::copy(pa, pa + 3, kv_table_get_data(kv_node_get_table(a)));
    std::copy(pb, pb + 6, kv_table_get_data(kv_node_get_table(b)));
    ASSERT_EQ(kv_domain_compile(d), 0);
    kv_clique_t c = kv_domain_get_first_clique(d);
    ASSERT_EQ(kv_clique_get_next(c), nullptr);
    kv_table_t t = kv_clique_get_probability_table(c);
    ASSERT_EQ(kv_table_get_size(t), 6u);
    // (a, b) or (b, a): the kept entries in the order of the whole table.
    std::vector<double> whole(t->discrete_data, t->discrete_data + 6), kept;
    for (double x : whole)
        if (x != 0.0)
            kept.push_back(x);
    ASSERT_EQ(kept.size(), 3u);
    size_t before = memory_in_use(d);
    double ratio = kv_domain_compress(d);
    size_t after = memory_in_use(d);
    EXPECT_DOUBLE_EQ(ratio, double(after) / double(before));
    EXPECT_EQ(kv_table_get_size(t), 3u);
    EXPECT_EQ(std::vector<double>(t->discrete_data, t->discrete_data + 3), kept);
    EXPECT_EQ(kv_node_get_belief(b, 0), 0.625);
    EXPECT_EQ(kv_node_get_belief(a, 1), 0.0);
    ASSERT_EQ(kv_node_select_state(b, 1), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_EQ(kv_node_get_belief(a, 0), 0.0);
    EXPECT_EQ(kv_node_get_belief(a, 2), 1.0);
    EXPECT_EQ(kv_domain_get_normalization_constant(d), 0.375);
    // Compressing again after that evidence keeps it: one entry is left, and
    // a reset gives its probability as the approximation constant.
    EXPECT_GT(kv_domain_compress(d), 0.0);
    EXPECT_EQ(kv_table_get_size(t), 1u);
    EXPECT_EQ(t->discrete_data[0], 1.0);
    ASSERT_EQ(kv_domain_initialize(d), 0);
    EXPECT_EQ(kv_domain_get_approximation_constant(d), 0.375);
    EXPECT_EQ(kv_node_get_belief(a, 2), 1.0);
    EXPECT_EQ(kv_node_get_belief(b, 1), 1.0);
    kv_domain_delete(d);
}

// A table other than a clique's with more than 65535 entries: nothing
// changes.
TEST(CompressTest, LargeNodeTableRefused)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t p = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t q = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_set_number_of_states(p, 256), 0);
    ASSERT_EQ(kv_node_set_number_of_states(q, 128), 0);
    ASSERT_EQ(kv_node_set_number_of_states(x, 2), 0);
    ASSERT_EQ(kv_node_add_parent(x, p), 0);
    ASSERT_EQ(kv_node_add_parent(x, q), 0);
    std::mt19937 rng(5);
    for (kv_node_t n : {p, q, x})
        fill_conditional(n, rng, 0.2);
    ASSERT_EQ(kv_domain_compile(d), 0);
    kv_table_t t = kv_clique_get_probability_table(kv_domain_get_first_clique(d));
    size_t size = kv_table_get_size(t);
    double belief = kv_node_get_belief(x, 1);
    EXPECT_EQ(kv_domain_compress(d), -1.0);
    EXPECT_EQ(kv_error_code(), kv_error_table_too_large);
    EXPECT_EQ(kv_domain_is_compressed(d), 0);
    EXPECT_EQ(kv_table_get_size(t), size);
    ASSERT_EQ(kv_node_select_state(p, 3), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_fast_retraction), 0);
    ASSERT_EQ(kv_domain_initialize(d), 0);
    EXPECT_EQ(kv_node_get_belief(x, 1), belief);
    kv_domain_delete(d);
}

// Random networks with zeros in their tables, compressed at once or after
// evidence, against their uncompressed twins: beliefs, max-beliefs, P(e)
// and failures alike, case after case.
TEST(CompressTest, ResultsEqualUncompressed)
{
    std::mt19937 rng(21);
    for (int round = 0; round < 16; ++round) {
        unsigned seed = 100 + round;
        int n = 6 + round % 5, percent = 30 + 5 * (round % 4);
        Net plain = random_net(seed, n, percent, 0.25, false),
            packed = random_net(seed, n, percent, 0.25, round % 2 == 0);
        size_t before = memory_in_use(packed.d);
        std::vector<size_t> kept;
        for (kv_table_s *t = packed.d->first_table; t; t = t->next)
            kept.push_back(nonzero(t));
        double ratio = kv_domain_compress(packed.d);
        ASSERT_GT(ratio, 0.0) << "round " << round;
        EXPECT_DOUBLE_EQ(ratio, double(memory_in_use(packed.d)) / double(before));
        size_t i = 0;
        for (kv_table_s *t = packed.d->first_table; t; t = t->next, ++i)
            if (t->role == 2 || t->role == 3) {
                EXPECT_EQ(t->size, kept[i]) << "round " << round;
            }
        expect_same(propagate(packed, kv_equilibrium_sum), propagate(plain, kv_equilibrium_sum), "prior", round);
        for (int c = 0; c < 6; ++c) {
            ASSERT_EQ(kv_domain_retract_findings(plain.d), 0);
            ASSERT_EQ(kv_domain_retract_findings(packed.d), 0);
            enter_random_evidence(plain, packed, rng);
            kv_equilibrium_t eq = c % 3 == 2 ? kv_equilibrium_max : kv_equilibrium_sum;
            expect_same(propagate(packed, eq), propagate(plain, eq), "case", round);
        }
        kv_domain_delete(plain.d);
        kv_domain_delete(packed.d);
    }
}

// Compressed after hard evidence: the configurations it ruled out are gone.
// Retracting it leaves the beliefs given it, and the reset's approximation
// constant is its probability.
TEST(CompressTest, EvidenceStaysAfterRetraction)
{
    std::mt19937 rng(8);
    for (int round = 0; round < 8; ++round) {
        unsigned seed = 300 + round;
        Net plain = random_net(seed, 7, 40, 0.2, false), packed = random_net(seed, 7, 40, 0.2);
        enter_random_evidence(plain, packed, rng, false);
        Results given = propagate(plain, kv_equilibrium_sum);
        if (given.status) {
            kv_domain_delete(plain.d);
            kv_domain_delete(packed.d);
            continue;
        }
        ASSERT_EQ(propagate(packed, kv_equilibrium_sum).status, 0);
        ASSERT_GT(kv_domain_compress(packed.d), 0.0);
        ASSERT_EQ(kv_domain_retract_findings(packed.d), 0);
        Results after = propagate(packed, kv_equilibrium_sum);
        given.p = 1.0;
        expect_same(after, given, "retracted", round);
        EXPECT_NEAR(kv_domain_get_approximation_constant(packed.d), kv_domain_get_normalization_constant(plain.d),
                    1e-13)
            << "round " << round;
        kv_domain_delete(plain.d);
        kv_domain_delete(packed.d);
    }
}

// Approximation makes new zeros; compressing again drops them and changes
// no result.
TEST(CompressTest, RecompressionAfterApproximation)
{
    Net net = random_net(77, 9, 45, 0.1);
    ASSERT_GT(kv_domain_compress(net.d), 0.0);
    double constant = kv_domain_approximate(net.d, 0.05);
    ASSERT_GT(constant, 0.0);
    ASSERT_LT(constant, 1.0);
    Results approximated = propagate(net, kv_equilibrium_sum);
    std::vector<size_t> kept;
    for (kv_clique_s *c = net.d->first_clique; c; c = c->next)
        kept.push_back(nonzero(c->probability_table));
    ASSERT_GT(kv_domain_compress(net.d), 0.0);
    size_t i = 0;
    for (kv_clique_s *c = net.d->first_clique; c; c = c->next, ++i) {
        EXPECT_EQ(c->probability_table->size, kept[i]);
    }
    expect_same(propagate(net, kv_equilibrium_sum), approximated, "recompressed", 0);
    // A reset now normalises what is left: the approximated joint.
    ASSERT_EQ(kv_domain_initialize(net.d), 0);
    EXPECT_NEAR(kv_domain_get_approximation_constant(net.d), constant, 1e-13);
    Results reset = propagate(net, kv_equilibrium_sum);
    reset.p = approximated.p;
    expect_same(reset, approximated, "reset", 0);
    kv_domain_delete(net.d);
}

// Running out of memory anywhere leaves the domain as it was.
TEST(CompressTest, FailedAllocationsChangeNothing)
{
    Net net = random_net(55, 8, 40, 0.3);
    std::vector<size_t> sizes;
    for (kv_table_s *t = net.d->first_table; t; t = t->next)
        sizes.push_back(t->size);
    std::vector<uint16_t *> maps;
    for (kv_control_s *c = net.d->first_control; c; c = c->next)
        maps.push_back(c->compressed_index);
    Results whole = propagate(net, kv_equilibrium_sum);
    long points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        double ratio = kv_domain_compress(net.d);
        bool pending = kv::allocation_failure_pending();
        kv::fail_allocation_after(0);
        if (pending) {
            ASSERT_GT(ratio, 0.0);
            break;
        }
        ASSERT_EQ(ratio, -1.0) << n;
        ASSERT_EQ(kv_error_code(), kv_error_no_memory) << n;
        ASSERT_EQ(kv_domain_is_compressed(net.d), 0) << n;
        size_t i = 0;
        for (kv_table_s *t = net.d->first_table; t; t = t->next, ++i) {
            ASSERT_EQ(t->size, sizes[i]) << n;
        }
        i = 0;
        for (kv_control_s *c = net.d->first_control; c; c = c->next, ++i) {
            ASSERT_EQ(c->compressed_index, maps[i]) << n;
        }
        ++points;
    }
    EXPECT_GT(points, 3);
    EXPECT_EQ(kv_domain_is_compressed(net.d), 1);
    expect_same(propagate(net, kv_equilibrium_sum), whole, "after failures", 0);
    kv_domain_delete(net.d);
}

// A new case after approximating a compressed domain starts from its kept
// entries again: the results of the uncompressed twin.
TEST(CompressTest, NewCaseAfterApproximation)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 6; ++round) {
        Net plain = random_net(500 + round, 8, 45, 0.2, false), packed = random_net(500 + round, 8, 45, 0.2);
        ASSERT_GT(kv_domain_compress(packed.d), 0.0);
        ASSERT_GT(kv_domain_approximate(packed.d, 0.02), 0.0);
        ASSERT_GT(kv_domain_approximate(plain.d, 0.02), 0.0);
        for (int c = 0; c < 3; ++c) {
            enter_random_evidence(plain, packed, rng);
            expect_same(propagate(packed, kv_equilibrium_sum), propagate(plain, kv_equilibrium_sum), "case", round);
            ASSERT_EQ(kv_domain_retract_findings(plain.d), 0);
            ASSERT_EQ(kv_domain_retract_findings(packed.d), 0);
        }
        kv_domain_delete(plain.d);
        kv_domain_delete(packed.d);
    }
}
