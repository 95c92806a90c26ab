// Compression on the networks of ../shared/nets whose junction forests hold
// at most --max-entries entries (default 5e7): the time to compress, the
// memory ratio it reports, the share of clique entries kept, and the median
// time of a case (as the pipeline benchmark runs them) before and after.
// Networks with a table other than a clique table of more than 65535 kept
// entries are refused (table_too_large); the table says so.
//
// Usage: compress_bench [--nets DIR] [--max-entries N] [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "cases.h"
#include "compile/compile.h"
#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

struct Row {
    double compress_ms = 0, ratio = 0, kept = 0, case_before_ms = 0, case_after_ms = 0;
    const char *error = nullptr;
};
std::map<std::string, Row> rows;

const std::vector<double> fractions = {0.02, 0.05, 0.1, 0.2, 0.3};

// Without handing the tables out, which would end the evidence slices.
size_t clique_entries(kv_domain_t d)
{
    size_t n = 0;
    for (kv_clique_s *c = d->first_clique; c; c = c->next)
        n += c->probability_table->size;
    return n;
}

void bench_network(benchmark::State &state, fs::path path)
{
    std::string name = path.stem().string();
    Row &row = rows[name];
    for (auto _ : state) {
        kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
        if (!d || kv_domain_compile(d)) {
            state.SkipWithError("cannot load or compile");
            if (d)
                kv_domain_delete(d);
            return;
        }
        row.case_before_ms = run_cases(d, fractions, 3).first;
        kv_domain_initialize(d);
        double whole = double(clique_entries(d));
        Clock::time_point t0 = Clock::now();
        row.ratio = kv_domain_compress(d);
        row.compress_ms = ms(t0, Clock::now());
        if (row.ratio < 0)
            row.error = kv_error_name(kv_error_code());
        row.kept = double(clique_entries(d)) / whole;
        row.case_after_ms = row.error ? 0 : run_cases(d, fractions, 3).first;
        state.SetIterationTime(row.compress_ms / 1000.0);
        kv_domain_delete(d);
    }
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    for (const fs::path &p : options.nets) {
        std::string name = p.stem().string();
        if (!forest_fits(p, options.max_entries))
            continue;
        benchmark::RegisterBenchmark(("compress/" + name).c_str(), bench_network, p)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    run_benchmarks(options);
    std::printf("\n%-10s %12s %12s %12s %14s %14s\n", "network", "compress ms", "memory ratio",
                "kept share", "case ms before", "case ms after");
    for (const auto &[name, r] : rows)
        if (r.error)
            std::printf("%-10s %12.1f %12s %12s %14.3f %14s\n", name.c_str(), r.compress_ms, r.error, "-",
                        r.case_before_ms, "-");
        else
            std::printf("%-10s %12.1f %12.4f %12.4f %14.3f %14.3f\n", name.c_str(), r.compress_ms, r.ratio,
                        r.kept, r.case_before_ms, r.case_after_ms);
    return 0;
}
