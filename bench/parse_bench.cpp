// Parsing the networks of ../shared/nets: throughput in MB/s per file, from
// the file on disk to a domain with every table filled (the goal is at
// least 50 MB/s on the largest files).
//
// Usage: parse_bench [--nets DIR] [benchmark flags]
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;

namespace {

void bench_parse(benchmark::State &state, fs::path path)
{
    auto bytes = int64_t(fs::file_size(path));
    for (auto _ : state) {
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        if (!d) {
            state.SkipWithError("cannot parse");
            return;
        }
        state.PauseTiming();
        kv_domain_delete(d);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["MB"] = double(bytes) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets)
        benchmark::RegisterBenchmark(("BM_Parse/" + p.stem().string()).c_str(), bench_parse, p)
            ->Unit(benchmark::kMillisecond);
    run_benchmarks(options);
    return 0;
}
