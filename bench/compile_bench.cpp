// Compilation of the networks of ../shared/nets.  Per network: the graph
// stages (moralise and triangulate, then cliques and the junction forest,
// with the per-node structures and the assignment of potentials), the
// table stages (allocation and the initial propagation), the number of
// cliques, the largest clique (members and entries) and the junction-tree
// cost for the fill-in-weight heuristic; times are medians of five compiles.
// The goal is graph work below 10% of compile time wherever the forest
// holds more than 1e6 entries, and below 1 s everywhere.
//
// Usage: compile_bench [--nets DIR] [--max-entries N] [benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Row {
    double triangulate_ms = 0, graph_ms = 0, compile_ms = 0;
    std::vector<double> triangulate_runs, graph_runs, compile_runs;
    size_t cliques = 0, largest_members = 0, largest_entries = 0, cost = 0;
};
std::map<std::string, Row> rows;

// Stage boundaries, stamped by the progress callback.
std::vector<std::pair<std::string, Clock::time_point>> stamps;

void stamp(kv_string_t stage)
{
    stamps.push_back({stage, Clock::now()});
}

double ms(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Clock::time_point at(const char *stage)
{
    for (auto &[name, t] : stamps)
        if (name == stage)
            return t;
    return Clock::time_point{};
}

void bench_network(benchmark::State &state, fs::path path)
{
    Row &row = rows[path.stem().string()];
    for (auto _ : state) {
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        if (!d) {
            state.SkipWithError("cannot load");
            return;
        }
        stamps.clear();
        Clock::time_point t0 = Clock::now();
        int status = kv_domain_compile_qualitatively(d, stamp);
        Clock::time_point t1 = Clock::now();
        if (!status)
            status = kv_domain_compile_quantitatively(d, stamp);
        Clock::time_point t2 = Clock::now();
        if (status) {
            state.SkipWithError("cannot compile");
            kv_domain_delete(d);
            return;
        }
        row.triangulate_runs.push_back(ms(at("Triangulating"), at("Creating cliques")));
        row.graph_runs.push_back(ms(t0, t1));
        row.compile_runs.push_back(ms(t0, t2));
        row.triangulate_ms = median(row.triangulate_runs);
        row.graph_ms = median(row.graph_runs);
        row.compile_ms = median(row.compile_runs);
        row.cliques = kv_domain_get_number_of_cliques(d);
        row.largest_members = row.largest_entries = 0;
        for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c)) {
            row.largest_members = std::max(row.largest_members, kv_clique_get_number_of_members(c));
            row.largest_entries =
                std::max(row.largest_entries, kv_table_get_size(kv_clique_get_probability_table(c)));
        }
        row.cost = kv_domain_get_jt_cost(d);
        state.SetIterationTime(row.compile_runs.back() / 1000.0);
        state.counters["graph_ms"] = row.graph_ms;
        state.counters["triangulate_ms"] = row.triangulate_ms;
        kv_domain_delete(d);
    }
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets) {
        // Networks whose forest exceeds the limit are only triangulated.
        kv_domain_t d = kv_net_parse_domain(p.c_str(), nullptr, nullptr);
        if (!d)
            continue;
        Clock::time_point t0 = Clock::now();
        bool triangulated = kv_domain_triangulate(d, kv_tm_fill_in_weight) == 0;
        Clock::time_point t1 = Clock::now();
        if (triangulated && double(kv_domain_get_jt_cost(d)) <= options.max_entries)
            benchmark::RegisterBenchmark(("BM_Compile/" + p.stem().string()).c_str(), bench_network, p)
                ->Iterations(5)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        else if (triangulated) {
            Row &row = rows[p.stem().string()];
            row.triangulate_ms = ms(t0, t1);
            row.cost = kv_domain_get_jt_cost(d);
        }
        kv_domain_delete(d);
    }
    run_benchmarks(options);
    // The first compile of a network also pays for fresh pages of memory.
    std::printf("\n%-12s %14s %9s %11s %7s %9s %7s %8s %8s %12s %14s\n", "network", "triangulate ms",
                "graph ms", "compile ms", "graph%", "first ms", "graph%", "cliques", "members", "entries",
                "jt cost (18)");
    for (auto &[name, r] : rows)
        if (r.compile_ms > 0)
            std::printf("%-12s %14.2f %9.2f %11.2f %6.1f%% %9.2f %6.1f%% %8zu %8zu %12zu %14zu\n",
                        name.c_str(), r.triangulate_ms, r.graph_ms, r.compile_ms,
                        100 * r.graph_ms / r.compile_ms, r.compile_runs[0],
                        100 * r.graph_runs[0] / r.compile_runs[0], r.cliques, r.largest_members,
                        r.largest_entries, r.cost);
        else
            std::printf("%-12s %14.2f %9s %11s %7s %9s %7s %8s %8s %12s %14zu\n", name.c_str(),
                        r.triangulate_ms, "-", "too big", "-", "-", "-", "-", "-", "-", r.cost);
    return 0;
}
