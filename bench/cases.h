// Cases on a compiled domain, shared by the benchmarks that propagate: a
// case retracts all evidence, enters hard findings drawn by forward sampling
// on a fraction of the nodes, propagates, and reads every belief and P(e).
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "kelvo.h"
#include "table/table.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

inline std::vector<kv_node_t> topological(kv_domain_t d)
{
    std::vector<kv_node_t> order, all;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        all.push_back(n);
    std::vector<char> done(all.size() + 2, 0);
    while (order.size() < all.size())
        for (kv_node_t n : all) {
            if (done[n->index])
                continue;
            bool ready = true;
            for (kv_node_t *p = kv_node_get_parents(n); *p; ++p)
                ready = ready && done[(*p)->index];
            if (ready) {
                done[n->index] = 1;
                order.push_back(n);
            }
        }
    return order;
}

// Findings for one scenario: a forward sample, observed on a fraction of
// the nodes.
inline std::vector<std::pair<kv_node_t, size_t>> scenario(const std::vector<kv_node_t> &order,
                                                   double fraction, std::mt19937 &rng)
{
    std::map<kv_node_t, size_t> s;
    for (kv_node_t n : order) {
        kv_table_t t = kv_node_get_table(n);
        size_t index = 0, k = kv_node_get_number_of_states(n);
        for (kv_node_t *m = kv_table_get_nodes(t); *m; ++m)
            if (*m != n)
                index = index * kv_node_get_number_of_states(*m) + s[*m];
        const double *p = kv_table_get_data(t) + index * k;
        std::discrete_distribution<size_t> pick(p, p + k);
        s[n] = pick(rng);
    }
    std::vector<kv_node_t> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    size_t count = std::max<size_t>(1, size_t(fraction * double(order.size())));
    std::vector<std::pair<kv_node_t, size_t>> findings;
    for (size_t i = 0; i < count && i < shuffled.size(); ++i)
        findings.push_back({shuffled[i], s[shuffled[i]]});
    return findings;
}

inline double run_case(kv_domain_t d, const std::vector<kv_node_t> &nodes,
                const std::vector<std::pair<kv_node_t, size_t>> &findings)
{
    kv_domain_retract_findings(d);
    for (auto [n, s] : findings)
        kv_node_select_state(n, s);
    kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
    double sum = kv_domain_get_normalization_constant(d);
    for (kv_node_t n : nodes) {
        size_t k = n->number_of_states;
        for (size_t s = 0; s < k; ++s)
            sum += kv_node_get_belief(n, s);
    }
    return sum;
}

inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}



// Entries of every clique and separator table, and the median time to copy
// them through memory in each direction.
struct Stream {
    size_t entries = 0;
    double ms = 0;
};

inline Stream stream_tables(kv_domain_t d)
{
    size_t bytes = 0;
    for (kv_table_s *t = d->first_table; t; t = t->next)
        if (t->role == KV_ROLE_CLIQUE || t->role == KV_ROLE_SEPARATOR)
            bytes += t->size * sizeof(double);
    std::vector<char> a(bytes), b(bytes);
    std::vector<double> copies;
    for (int i = 0; i < 5; ++i) {
        Clock::time_point c0 = Clock::now();
        std::memcpy(b.data(), a.data(), bytes);
        std::memcpy(a.data(), b.data(), bytes);
        benchmark::DoNotOptimize(a.data());
        copies.push_back(ms(c0, Clock::now()));
    }
    return {bytes / sizeof(double), median(copies)};
}

// Runs repeats x fractions cases; after each, one more finding on an
// unobserved node is propagated on top (the incremental case).  Gives the
// median times of both.
inline std::pair<double, double> run_cases(kv_domain_t d, const std::vector<double> &fractions, int repeats)
{
    std::vector<kv_node_t> order = topological(d);
    std::mt19937 rng(2026);
    std::vector<double> cases, incremental;
    for (int repeat = 0; repeat < repeats; ++repeat)
        for (double fraction : fractions) {
            auto findings = scenario(order, fraction, rng);
            Clock::time_point c0 = Clock::now();
            benchmark::DoNotOptimize(run_case(d, order, findings));
            cases.push_back(ms(c0, Clock::now()));
            auto extra = scenario(order, 1.0, rng);
            for (auto [n, s] : extra)
                if (!kv_node_evidence_is_entered(n)) {
                    Clock::time_point i0 = Clock::now();
                    kv_node_select_state(n, s);
                    if (kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal) == 0)
                        incremental.push_back(ms(i0, Clock::now()));
                    break;
                }
        }
    return {median(cases), median(incremental)};
}

} // namespace bench
