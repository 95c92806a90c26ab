// The whole pipeline on the networks of ../shared/nets: parse, compile, and
// one case (retract all evidence, enter hard findings drawn by forward
// sampling on 2%, 5%, 10%, 20% and 30% of the nodes, propagate, read every
// belief and P(e)); also an incremental case (one more finding).  After the
// benchmarks a table lists, per network, the median times beside the time
// to stream every clique and separator table twice through memory.
//
// Usage: pipeline_bench [--nets DIR] [--max-entries N] [benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "compile/compile.h"
#include "kelvo.h"
#include "nets.h"
#include "table/table.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Row {
    double parse_ms = 0, compile_ms = 0, case_ms = 0, incremental_ms = 0, stream_ms = 0;
    size_t nodes = 0, entries = 0;
};
std::map<std::string, Row> rows;

double ms(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::vector<kv_node_t> topological(kv_domain_t d)
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
std::vector<std::pair<kv_node_t, size_t>> scenario(const std::vector<kv_node_t> &order,
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

double run_case(kv_domain_t d, const std::vector<kv_node_t> &nodes,
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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void bench_network(benchmark::State &state, fs::path path)
{
    std::string name = path.stem().string();
    Row &row = rows[name];
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        Clock::time_point t1 = Clock::now();
        if (!d || kv_domain_compile(d)) {
            state.SkipWithError("cannot load or compile");
            if (d)
                kv_domain_delete(d);
            return;
        }
        Clock::time_point t2 = Clock::now();
        row.parse_ms = ms(t0, t1);
        row.compile_ms = ms(t1, t2);
        row.nodes = kv_domain_get_number_of_nodes(d);
        // Streaming every clique and separator table in and out, twice.
        size_t bytes = 0;
        for (kv_table_s *t = d->first_table; t; t = t->next)
            if (t->role == KV_ROLE_CLIQUE || t->role == KV_ROLE_SEPARATOR)
                bytes += t->size * sizeof(double);
        row.entries = bytes / sizeof(double);
        std::vector<char> a(bytes), b(bytes);
        std::vector<double> copies;
        for (int i = 0; i < 5; ++i) {
            Clock::time_point c0 = Clock::now();
            std::memcpy(b.data(), a.data(), bytes);
            std::memcpy(a.data(), b.data(), bytes);
            benchmark::DoNotOptimize(a.data());
            copies.push_back(ms(c0, Clock::now()));
        }
        row.stream_ms = median(copies);

        std::vector<kv_node_t> order = topological(d);
        std::mt19937 rng(2026);
        std::vector<double> cases, incremental;
        for (int repeat = 0; repeat < 3; ++repeat)
            for (double fraction : {0.02, 0.05, 0.10, 0.20, 0.30}) {
                auto findings = scenario(order, fraction, rng);
                Clock::time_point c0 = Clock::now();
                benchmark::DoNotOptimize(run_case(d, order, findings));
                cases.push_back(ms(c0, Clock::now()));
                // One more finding on an unobserved node, propagated on top.
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
        row.case_ms = median(cases);
        row.incremental_ms = median(incremental);
        state.SetIterationTime(row.case_ms / 1000.0);
        state.counters["case_ms"] = row.case_ms;
        state.counters["compile_ms"] = row.compile_ms;
        state.counters["entries"] = double(row.entries);
        kv_domain_delete(d);
    }
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    double max_entries = options.max_entries;
    std::vector<char *> &rest = options.rest;
    const std::vector<fs::path> &nets = options.nets;
    for (const fs::path &p : nets) {
        // Skip networks whose forest would not fit the limit.
        kv_domain_t d = kv_net_parse_domain(p.c_str(), nullptr, nullptr);
        bool fits = d && kv_domain_triangulate(d, kv_tm_fill_in_weight) == 0 &&
                    double(kv_domain_get_jt_cost(d)) <= max_entries;
        if (d)
            kv_domain_delete(d);
        if (fits)
            benchmark::RegisterBenchmark(("BM_Pipeline/" + p.stem().string()).c_str(), bench_network, p)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    }
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n%-12s %6s %12s %10s %11s %10s %12s %13s %8s\n", "network", "nodes", "entries",
                "parse ms", "compile ms", "case ms", "one more ms", "2x stream ms", "ratio");
    for (auto &[name, r] : rows)
        std::printf("%-12s %6zu %12zu %10.3f %11.2f %10.4f %12.4f %13.4f %8.1f\n", name.c_str(), r.nodes,
                    r.entries, r.parse_ms, r.compile_ms, r.case_ms, r.incremental_ms, r.stream_ms,
                    r.stream_ms > 0 ? r.case_ms / r.stream_ms : 0.0);
    return 0;
}
