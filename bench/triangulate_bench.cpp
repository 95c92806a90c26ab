// Triangulation of the networks of ../shared/nets by every method: the
// total clique weight (jt cost) and the time of methods 15-18 and of the
// optimal method 19.  Method 19 runs without a separator limit where the
// largest prime component has at most a few thousand minimal separators,
// and with limits of 1,000 and 10,000 on the networks whose components
// have hundreds of thousands.  The table at the end marks the networks
// where method 19 is cheaper than every heuristic.
//
// Usage: triangulate_bench [--nets DIR] [benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Networks whose largest prime components have too many minimal separators
// to enumerate them all in reasonable time.
const char *const limited[] = {"andes", "pigs", "munin", "munin1", "munin2", "munin3", "munin4",
                               "link", "diabetes"};

struct Result {
    size_t cost = 0;
    double ms = 0;
};
// By network, by column ("15".."18", "19", "19/1000", "19/10000").
std::map<std::string, std::map<std::string, Result>> results;

void bench_method(benchmark::State &state, fs::path path, int method, size_t max, std::string column)
{
    for (auto _ : state) {
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        if (!d) {
            state.SkipWithError("cannot load");
            return;
        }
        kv_domain_set_max_number_of_separators(d, max);
        Clock::time_point t0 = Clock::now();
        kv_status_t status = kv_domain_triangulate(d, kv_triangulation_method_t(method));
        Clock::time_point t1 = Clock::now();
        if (status) {
            state.SkipWithError("cannot triangulate");
            kv_domain_delete(d);
            return;
        }
        double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        state.SetIterationTime(ms / 1000.0);
        Result &r = results[path.stem().string()][column];
        r.cost = kv_domain_get_jt_cost(d);
        r.ms = ms;
        state.counters["jt_cost"] = double(r.cost);
        kv_domain_delete(d);
    }
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets) {
        std::string name = p.stem().string();
        auto add = [&](int method, size_t max, const std::string &column) {
            benchmark::RegisterBenchmark(("BM_Triangulate/" + name + "/" + column).c_str(), bench_method, p,
                                         method, max, column)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        };
        for (int m = kv_tm_clique_size; m <= kv_tm_fill_in_weight; ++m)
            add(m, 0, std::to_string(m));
        if (std::find(std::begin(limited), std::end(limited), name) != std::end(limited)) {
            add(kv_tm_optimal, 1000, "19/1000");
            add(kv_tm_optimal, 10000, "19/10000");
        } else {
            add(kv_tm_optimal, 0, "19");
        }
    }
    run_benchmarks(options);
    std::printf("\n%-11s %12s %12s %12s %12s %12s %10s %12s %10s  %s\n", "network", "15", "16", "17", "18",
                "19", "19 ms", "19/10000", "ms", "19 beats 15-18");
    for (auto &[name, row] : results) {
        size_t best = SIZE_MAX;
        for (const char *m : {"15", "16", "17", "18"})
            if (row.count(m))
                best = std::min(best, row[m].cost);
        bool limited_run = row.count("19/1000") > 0;
        Result optimal = limited_run ? row["19/1000"] : row["19"];
        Result wide = limited_run ? row["19/10000"] : Result{};
        size_t ours = limited_run ? std::min(optimal.cost, wide.cost) : optimal.cost;
        std::printf("%-11s %12zu %12zu %12zu %12zu %12zu %10.1f", name.c_str(), row["15"].cost,
                    row["16"].cost, row["17"].cost, row["18"].cost, optimal.cost, optimal.ms);
        if (limited_run)
            std::printf(" %12zu %10.1f", wide.cost, wide.ms);
        else
            std::printf(" %12s %10s", "-", "-");
        std::printf("  %s%s\n", ours < best ? "yes" : "no", limited_run ? " (19 column: limit 1000)" : "");
    }
    return 0;
}
