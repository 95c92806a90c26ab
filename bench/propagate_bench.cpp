// Propagation on the compiled networks of ../shared/nets: per network the
// median time of a new case with hard findings on 10% of the nodes (retract
// all, enter, propagate, read every belief and P(e)) over 25 cases, and of
// one more finding propagated on top, beside the total clique and separator
// table size and the time to stream those tables through memory in each
// direction.  The goal is a case within 3x of that stream time.
//
// Usage: propagate_bench [--nets DIR] [--max-entries N] [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cases.h"
#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

struct Row {
    double case_ms = 0, incremental_ms = 0, stream_ms = 0;
    size_t entries = 0;
};
std::map<std::string, Row> rows;

void bench_propagate(benchmark::State &state, fs::path path)
{
    Row &row = rows[path.stem().string()];
    for (auto _ : state) {
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        if (!d || kv_domain_compile(d)) {
            state.SkipWithError("cannot load or compile");
            if (d)
                kv_domain_delete(d);
            return;
        }
        Stream stream = stream_tables(d);
        row.entries = stream.entries;
        row.stream_ms = stream.ms;
        std::tie(row.case_ms, row.incremental_ms) = run_cases(d, {0.10}, 25);
        state.SetIterationTime(row.case_ms / 1000.0);
        state.counters["entries"] = double(row.entries);
        kv_domain_delete(d);
    }
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets)
        if (forest_fits(p, options.max_entries))
            benchmark::RegisterBenchmark(("BM_Propagate/" + p.stem().string()).c_str(), bench_propagate, p)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    run_benchmarks(options);
    std::printf("\n%-12s %12s %10s %12s %13s %8s %12s\n", "network", "entries", "case ms", "one more ms",
                "2x stream ms", "ratio", "ns/entry");
    for (auto &[name, r] : rows)
        std::printf("%-12s %12zu %10.4f %12.4f %13.4f %8.1f %12.3f\n", name.c_str(), r.entries, r.case_ms,
                    r.incremental_ms, r.stream_ms, r.stream_ms > 0 ? r.case_ms / r.stream_ms : 0.0,
                    r.entries ? r.case_ms * 1e6 / double(r.entries) : 0.0);
    return 0;
}
