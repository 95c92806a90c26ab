// Two caller threads, each with its own domain, run the whole road at once:
// parse, compile, propagate (table operations on worker threads too),
// learn tables and structure, simulate.  Each thread's results equal those
// of the same work on one thread, and each keeps its own error code.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "kelvo.h"

namespace {

std::string hex(double x)
{
    char b[40];
    std::snprintf(b, sizeof b, "%a ", x);
    return b;
}

const char *network = R"(
node A { states = ("a0" "a1" "a2"); }
node B { states = ("b0" "b1"); }
node C { states = ("c0" "c1" "c2"); }
node D { states = ("d0" "d1"); }
node E { states = ("e0" "e1" "e2"); }
node F { states = ("f0" "f1"); }
potential (A) { data = (0.2 0.5 0.3); }
potential (B | A) { data = ((0.9 0.1) (0.4 0.6) (0.3 0.7)); }
potential (C | A) { data = ((0.1 0.3 0.6) (0.5 0.25 0.25) (0.7 0.2 0.1)); }
potential (D | B C) { data = (((0.2 0.8) (0.6 0.4) (0.5 0.5)) ((0.9 0.1) (0.3 0.7) (0.45 0.55))); }
potential (E | C D) { data = (((0.1 0.2 0.7) (0.3 0.3 0.4)) ((0.8 0.1 0.1) (0.2 0.5 0.3)) ((0.6 0.3 0.1) (0.25 0.25 0.5))); }
potential (F | E) { data = ((0.3 0.7) (0.6 0.4) (0.95 0.05)); }
)";

// The whole road on one domain; everything it read, as text.  Table
// operations may use `level` threads with a grain of one entry.
std::string road(size_t level, unsigned seed)
{
    std::string out;
    kv_domain_t d = kv_net_parse_from_string(network, nullptr);
    if (!d)
        return "parse failed";
    kv_domain_set_concurrency_level(d, level);
    kv_domain_set_grain_size(d, 1);
    kv_domain_seed_random(d, seed);
    if (kv_domain_compile(d) != 0)
        return "compile failed";
    kv_domain_set_number_of_cases(d, 400);
    for (size_t c = 0; c < 400; ++c) {
        kv_domain_simulate(d);
        size_t k = 0;
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n), ++k)
            if ((c + k) % 5) // some entries stay missing
                kv_node_set_case_state(n, c, kv_node_get_sampled_state(n));
    }
    for (int round = 0; round < 20; ++round) {
        kv_domain_retract_findings(d);
        kv_node_select_state(kv_domain_get_node_by_name(d, "F"), round % 2);
        if (round % 3)
            kv_node_select_state(kv_domain_get_node_by_name(d, "A"), round % 3);
        kv_domain_propagate(d, round % 4 == 3 ? kv_equilibrium_max : kv_equilibrium_sum, kv_mode_normal);
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
            for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
                out += hex(kv_node_get_belief(n, s));
        out += hex(kv_domain_get_normalization_constant(d)) + "\n";
    }
    kv_domain_initialize(d);
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        kv_node_get_experience_table(n);
    kv_domain_set_max_number_of_em_iterations(d, 3);
    out += "em " + std::to_string(kv_domain_learn_tables(d)) + hex(kv_domain_get_log_likelihood(d));
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        kv_table_t t = kv_node_get_table(n);
        double *x = kv_table_get_data(t);
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            out += hex(x[i]);
    }
    kv_domain_uncompile(d);
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        while (kv_node_get_parents(n) && *kv_node_get_parents(n))
            kv_node_remove_parent(n, *kv_node_get_parents(n));
    out += "\npc " + std::to_string(kv_domain_learn_structure(d));
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        for (kv_node_t *p = kv_node_get_parents(n); p && *p; ++p)
            out += std::string(" ") + kv_node_get_name(*p) + "->" + kv_node_get_name(n);
    // A call that fails sets this thread's code only.
    int status = kv_node_select_state(kv_domain_get_first_node(d), 99);
    out += "\nerror " + std::to_string(status) + " " + std::to_string(kv_error_code());
    kv_domain_delete(d);
    return out;
}

TEST(ConcurrencyTest, TwoDomainsOnTwoThreadsAtOnce)
{
    for (size_t level : {1, 2, 4}) {
        std::string expected[2] = {road(1, 5), road(1, 9)};
        ASSERT_NE(expected[0], expected[1]);
        EXPECT_NE(expected[0].find("\nerror 1 1"), std::string::npos) << expected[0].substr(expected[0].size() - 40);
        std::string got[2];
        std::thread a([&] { got[0] = road(level, 5); });
        std::thread b([&] { got[1] = road(level, 9); });
        a.join();
        b.join();
        EXPECT_EQ(got[0], expected[0]) << "level " << level;
        EXPECT_EQ(got[1], expected[1]) << "level " << level;
        EXPECT_EQ(kv_error_code(), kv_error_none);
    }
}

} // namespace
