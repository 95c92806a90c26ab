// Simulation.  Goals: uniform deviates >= 30 M/s, normal deviates >= 8
// M/s; forward sampling of alarm >= 300 k samples/s; compiled sampling of
// alarm with evidence >= 100 k samples/s (items_per_second).
//
// Usage: simulate_bench [--nets DIR] [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kelvo.h"

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

} // namespace

int main(int argc, char **argv)
{
    fs::path folder = KELVO_SHARED_DIR "/nets";
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--nets") && i + 1 < argc)
            folder = argv[++i];
        else
            rest.push_back(argv[i]);
    }
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
