// Two threads on the large networks of ../shared/nets (junction forests of
// more than --min-entries entries, default 1e7, and at most --max-entries):
// the median time of a case (as the pipeline benchmark runs them) at
// concurrency level 1 and 2 on the same compiled domain, and the speed-up.
// The goal is at least 1.6 at level 2, and never below 1.
//
// Usage: concurrency_bench [--nets DIR] [--min-entries N] [--max-entries N]
//        [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "cases.h"
#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

struct Row {
    double one_ms = 0, two_ms = 0;
};
std::map<std::string, Row> rows;

const std::vector<double> fractions = {0.02, 0.05, 0.1, 0.2, 0.3};

void bench_network(benchmark::State &state, fs::path path)
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
        row.one_ms = run_cases(d, fractions, 3).first;
        kv_domain_set_concurrency_level(d, 2);
        row.two_ms = run_cases(d, fractions, 3).first;
        state.SetIterationTime(row.two_ms / 1000.0);
        kv_domain_delete(d);
    }
}

} // namespace

int main(int argc, char **argv)
{
    double min_entries = 1e7;
    std::vector<char *> args{argv[0]};
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--min-entries") && i + 1 < argc)
            min_entries = std::atof(argv[++i]);
        else
            args.push_back(argv[i]);
    NetsOptions options = parse_nets_options(int(args.size()), args.data(), KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets)
        if (forest_fits(p, options.max_entries) && !forest_fits(p, min_entries))
            benchmark::RegisterBenchmark(("BM_Concurrency/" + p.stem().string()).c_str(), bench_network, p)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    run_benchmarks(options);
    std::printf("\n%-12s %12s %12s %9s\n", "network", "level 1 ms", "level 2 ms", "speed-up");
    for (auto &[name, r] : rows)
        std::printf("%-12s %12.3f %12.3f %9.2f\n", name.c_str(), r.one_ms, r.two_ms,
                    r.two_ms > 0 ? r.one_ms / r.two_ms : 0.0);
    return 0;
}
