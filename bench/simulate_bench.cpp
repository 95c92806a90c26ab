// Simulation.  Goals: uniform deviates >= 30 M/s, normal deviates >= 8
// M/s; forward sampling of alarm >= 300 k samples/s; compiled sampling of
// alarm with evidence >= 100 k samples/s (items_per_second); on every
// network a sample at most a tenth of a propagation of new evidence
// (BM_SampleVersusCase: its time per sample against its counter case_ms).
//
// Usage: simulate_bench [--nets DIR] [--max-entries N] [benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kelvo.h"
#include "nets.h"

namespace fs = std::filesystem;

namespace {

fs::path alarm_path;

void BM_UniformDeviates(benchmark::State &state)
{
    kv_domain_t d = kv_new_domain();
    double sum = 0;
    for (auto _ : state)
        sum += kv_domain_get_uniform_deviate(d);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
    kv_domain_delete(d);
}

void BM_NormalDeviates(benchmark::State &state)
{
    kv_domain_t d = kv_new_domain();
    double sum = 0;
    for (auto _ : state)
        sum += kv_domain_get_normal_deviate(d, 0, 1);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
    kv_domain_delete(d);
}

void sample_alarm(benchmark::State &state, bool compiled)
{
    kv_domain_t d = kv_net_parse_domain(alarm_path.c_str(), nullptr, nullptr);
    if (!d) {
        state.SkipWithError("alarm.net not found");
        return;
    }
    if (compiled) {
        // Evidence on a few nodes, propagated.
        kv_domain_compile(d);
        int k = 0;
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
            if (++k % 9 == 0)
                kv_node_select_state(n, 0);
        if (kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal)) {
            state.SkipWithError("impossible evidence");
            kv_domain_delete(d);
            return;
        }
    }
    for (auto _ : state)
        if (kv_domain_simulate(d)) {
            state.SkipWithError("simulation failed");
            break;
        }
    state.SetItemsProcessed(state.iterations());
    kv_domain_delete(d);
}

void BM_ForwardAlarm(benchmark::State &state)
{
    sample_alarm(state, false);
}

void BM_CompiledAlarm(benchmark::State &state)
{
    sample_alarm(state, true);
}

// Evidence on every seventh node (state 0 where it is possible), propagated.
bool propagate_evidence(kv_domain_t d, int shift)
{
    kv_domain_retract_findings(d);
    int k = 0;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        if (kv_node_get_category(n) == kv_category_chance && kv_node_get_kind(n) == kv_kind_discrete &&
            ++k % 7 == shift)
            kv_node_select_state(n, 0);
    return kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal) == 0;
}

void BM_SampleVersusCase(benchmark::State &state, fs::path path)
{
    kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    if (!d || kv_domain_compile(d)) {
        state.SkipWithError("cannot compile");
        return;
    }
    // A case: new evidence propagated; timed once per shift.
    double case_seconds = 1e300;
    for (int shift = 1; shift < 4; ++shift) {
        auto start = std::chrono::steady_clock::now();
        if (!propagate_evidence(d, shift))
            continue;
        case_seconds = std::min(case_seconds,
                                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    if (case_seconds == 1e300 || !propagate_evidence(d, 1)) {
        state.SkipWithError("impossible evidence");
        kv_domain_delete(d);
        return;
    }
    for (auto _ : state)
        if (kv_domain_simulate(d)) {
            state.SkipWithError("simulation failed");
            break;
        }
    state.SetItemsProcessed(state.iterations());
    state.counters["case_ms"] = case_seconds * 1e3;
    kv_domain_delete(d);
}

} // namespace

int main(int argc, char **argv)
{
    NetsOptions options = parse_nets_options(argc, argv, KELVO_SHARED_DIR "/nets");
    fs::path folder = options.folder;
    std::vector<char *> rest = options.rest;
    for (const fs::path &p : options.nets)
        if (forest_fits(p, options.max_entries))
            benchmark::RegisterBenchmark(("BM_SampleVersusCase/" + p.stem().string()).c_str(), BM_SampleVersusCase, p)
                ->Unit(benchmark::kMicrosecond);
    alarm_path = folder / "alarm.net";
    benchmark::RegisterBenchmark("BM_UniformDeviates", BM_UniformDeviates);
    benchmark::RegisterBenchmark("BM_NormalDeviates", BM_NormalDeviates);
    if (fs::exists(alarm_path)) {
        benchmark::RegisterBenchmark("BM_ForwardAlarm", BM_ForwardAlarm)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_CompiledAlarm", BM_CompiledAlarm)->Unit(benchmark::kMicrosecond);
    }
    int count = int(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
