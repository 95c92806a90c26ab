// The whole pipeline on the networks of ../shared/nets: parse, compile, and
// one case (retract all evidence, enter hard findings drawn by forward
// sampling on 2%, 5%, 10%, 20% and 30% of the nodes, propagate, read every
// belief and P(e)); also an incremental case (one more finding).  After the
// benchmarks a table lists, per network, the median times beside the time
// to stream every clique and separator table twice through memory, and the
// case time against the goal of ../shared/perf-targets.md (a fifth of the
// best peer's); then the peak resident memory of the cases.
//
// Usage: pipeline_bench [--nets DIR] [--max-entries N] [--method M]
//        [--max-separators K] [benchmark flags]
// (munin1 alone: --max-entries 1e9 --benchmark_filter=munin1, with
// --method 19 --max-separators 2000 to fit it in 2 GiB.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "compile/compile.h"
#include "cases.h"
#include "kelvo.h"
#include "nets.h"
#include "table/table.h"

namespace fs = std::filesystem;

namespace {

struct Row {
    double parse_ms = 0, compile_ms = 0, case_ms = 0, incremental_ms = 0, stream_ms = 0;
    size_t nodes = 0, entries = 0;
    double peak_mib = 0;
};
std::map<std::string, Row> rows;

using namespace bench;

NetsOptions options;

// Best peer time per network from the targets' table (ms).
std::map<std::string, double> best_peer_times(const fs::path &file)
{
    std::map<std::string, double> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[0] != '|')
            continue;
        std::vector<std::string> cells;
        std::stringstream ss(line.substr(1));
        for (std::string cell; std::getline(ss, cell, '|');)
            cells.push_back(cell);
        if (cells.size() < 4)
            continue;
        auto trim = [](std::string x) {
            x.erase(std::remove_if(x.begin(), x.end(), [](char c) { return c == ' ' || c == ','; }), x.end());
            return x;
        };
        std::string name = trim(cells[0]), best = trim(cells[3]);
        char *end = nullptr;
        double v = std::strtod(best.c_str(), &end);
        if (!best.empty() && end && *end == 0)
            out[name] = v;
    }
    return out;
}

void bench_network(benchmark::State &state, fs::path path)
{
    std::string name = path.stem().string();
    Row &row = rows[name];
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        Clock::time_point t1 = Clock::now();
        if (!d || compile_as_asked(options, d)) {
            state.SkipWithError("cannot load or compile");
            if (d)
                kv_domain_delete(d);
            return;
        }
        Clock::time_point t2 = Clock::now();
        row.parse_ms = ms(t0, t1);
        row.compile_ms = ms(t1, t2);
        row.nodes = kv_domain_get_number_of_nodes(d);
        std::tie(row.case_ms, row.incremental_ms) = run_cases(d, {0.02, 0.05, 0.10, 0.20, 0.30}, 3);
        // Before the stream measure, whose buffers would count.
        struct rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        row.peak_mib = double(usage.ru_maxrss) / 1024.0;
        Stream stream = stream_tables(d);
        row.entries = stream.entries;
        row.stream_ms = stream.ms;
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
    options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets) {
        if (forest_fits(p, options.max_entries))
            benchmark::RegisterBenchmark(("BM_Pipeline/" + p.stem().string()).c_str(), bench_network, p)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    }
    run_benchmarks(options);
    std::map<std::string, double> peers = best_peer_times(fs::path(KELVO_SHARED_DIR) / "perf-targets.md");
    std::printf("\n%-12s %6s %12s %10s %11s %10s %12s %13s %8s %10s %5s\n", "network", "nodes", "entries",
                "parse ms", "compile ms", "case ms", "one more ms", "2x stream ms", "ratio", "goal ms", "met");
    for (auto &[name, r] : rows) {
        auto peer = peers.find(name);
        double goal = peer == peers.end() ? 0.0 : peer->second / 5;
        std::printf("%-12s %6zu %12zu %10.3f %11.2f %10.4f %12.4f %13.4f %8.1f %10.4g %5s\n", name.c_str(),
                    r.nodes, r.entries, r.parse_ms, r.compile_ms, r.case_ms, r.incremental_ms, r.stream_ms,
                    r.stream_ms > 0 ? r.case_ms / r.stream_ms : 0.0, goal,
                    goal == 0.0 ? "-" : r.case_ms <= goal ? "yes" : "no");
    }
    double peak = 0;
    for (auto &[name, r] : rows)
        peak = std::max(peak, r.peak_mib);
    std::printf("\npeak resident memory of the cases (the stream measure's buffers left out): %.0f MiB\n",
                peak);
    return 0;
}
