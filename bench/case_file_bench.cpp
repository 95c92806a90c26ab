// Case data files over the 37 nodes of alarm: kv_domain_save_cases and
// kv_domain_parse_cases of 1,000,000 cases (states drawn at random, one in
// twenty missing, counts written).  Goals: parsing at least 50 MB/s,
// saving at least 100 MB/s, and the memory a parse takes at most twice the
// size of the store it fills (reported as peak_ratio).
//
// Usage: case_file_bench [--nets DIR] [--cases N] [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/domain.h"
#include "kelvo.h"

namespace fs = std::filesystem;

namespace {

fs::path net_path;
size_t number_of_cases = 1000000;
fs::path case_file = fs::temp_directory_path() / "kelvo_bench_cases.txt";

std::vector<kv_node_t> nodes_of(kv_domain_t d)
{
    std::vector<kv_node_t> nodes;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        nodes.push_back(n);
    nodes.push_back(nullptr);
    return nodes;
}

// Resident memory in kB: the current size and the peak.
long status_kb(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0)
            return std::atol(line.c_str() + n + 1);
    return -1;
}

void reset_peak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

double store_mb(const kv_domain_s *d)
{
    double bytes = d->case_counts ? 8.0 * double(d->case_capacity) : 0;
    for (const kv_node_s *n = d->first_node; n; n = n->next)
        bytes += double(d->case_capacity) *
                 ((n->case_states ? 4 : 0) + (n->case_values ? 8 : 0) + (n->case_set ? 1 : 0));
    return bytes / 1e6;
}

void bench_save(benchmark::State &state)
{
    kv_domain_t d = kv_net_parse_domain(net_path.c_str(), nullptr, nullptr);
    if (!d || kv_domain_set_number_of_cases(d, number_of_cases)) {
        state.SkipWithError("cannot build the cases");
        return;
    }
    std::vector<kv_node_t> nodes = nodes_of(d);
    std::mt19937_64 random(7);
    for (size_t i = 0; i < number_of_cases; ++i) {
        kv_domain_set_case_count(d, i, double(1 + random() % 3));
        for (kv_node_t n : nodes)
            if (n && random() % 20)
                kv_node_set_case_state(n, i, random() % kv_node_get_number_of_states(n));
    }
    for (auto _ : state)
        if (kv_domain_save_cases(d, case_file.c_str(), nodes.data(), nullptr, 1, ", ", "*")) {
            state.SkipWithError("cannot save");
            break;
        }
    auto bytes = int64_t(fs::file_size(case_file));
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["MB"] = double(bytes) / 1e6;
    kv_domain_delete(d);
}

void bench_parse(benchmark::State &state)
{
    if (!fs::exists(case_file)) {
        state.SkipWithError("no case file: run the save benchmark first");
        return;
    }
    double peak_mb = 0, store = 0;
    for (auto _ : state) {
        state.PauseTiming();
        kv_domain_t d = kv_net_parse_domain(net_path.c_str(), nullptr, nullptr);
        reset_peak();
        long before = status_kb("VmRSS:");
        state.ResumeTiming();
        kv_status_t status = kv_domain_parse_cases(d, case_file.c_str(), nullptr, nullptr);
        state.PauseTiming();
        peak_mb = double(status_kb("VmHWM:") - before) / 1e3;
        store = store_mb(d);
        if (status || kv_domain_get_number_of_cases(d) != number_of_cases)
            state.SkipWithError("cannot parse");
        kv_domain_delete(d);
        state.ResumeTiming();
    }
    auto bytes = int64_t(fs::file_size(case_file));
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["MB"] = double(bytes) / 1e6;
    state.counters["store_MB"] = store;
    state.counters["peak_MB"] = peak_mb;
    state.counters["peak_ratio"] = store > 0 ? peak_mb / store : 0;
}

} // namespace

int main(int argc, char **argv)
{
    fs::path folder = KELVO_SHARED_DIR "/nets";
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--nets") && i + 1 < argc)
            folder = argv[++i];
        else if (!std::strcmp(argv[i], "--cases") && i + 1 < argc)
            number_of_cases = size_t(std::atol(argv[++i]));
        else
            rest.push_back(argv[i]);
    }
    net_path = folder / "alarm.net";
    if (!fs::exists(net_path)) {
        std::printf("%s not found: nothing to measure\n", net_path.c_str());
        return 0;
    }
    benchmark::RegisterBenchmark("BM_SaveCases/alarm", bench_save)->Unit(benchmark::kMillisecond)->Iterations(1);
    benchmark::RegisterBenchmark("BM_ParseCases/alarm", bench_parse)->Unit(benchmark::kMillisecond)->Iterations(1);
    int count = int(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!std::getenv("KELVO_KEEP_CASES"))
        std::remove(case_file.c_str());
    return 0;
}
