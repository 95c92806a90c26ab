// The C side of the bridge's benchmark (java/tests/BridgeBench.java.in): the
// same cases on the same network from C, so that the Java figure has its
// counterpart from one run on one machine.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kelvo.h"

static void BM_CaseFromC(benchmark::State &state, const char *name)
{
    const std::string file = std::string(KELVO_SHARED_DIR) + "/nets/" + name + ".net";
    kv_domain_t d = kv_net_parse_domain(file.c_str(), nullptr, nullptr);
    if (!d || kv_domain_compile(d) != 0) {
        state.SkipWithError("network missing");
        return;
    }
    std::vector<kv_node_t> nodes;
    std::vector<size_t> states;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        nodes.push_back(n);
        states.push_back(kv_node_get_number_of_states(n));
    }
    const size_t sets = 64, count = nodes.size();
    std::vector<std::vector<long>> evidence(sets, std::vector<long>(count));
    kv_domain_seed_random(d, 12345);
    uint64_t x = 1;
    for (size_t s = 0; s < sets; ++s) {
        kv_domain_simulate(d);
        for (size_t j = 0; j < count; ++j) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            evidence[s][j] = (x >> 33) % 100 < 15 ? static_cast<long>(kv_node_get_sampled_state(nodes[j])) : -1;
        }
    }
    size_t c = 0;
    double checksum = 0;
    for (auto _ : state) {
        const std::vector<long> &e = evidence[c++ % sets];
        kv_domain_retract_findings(d);
        for (size_t j = 0; j < count; ++j)
            if (e[j] >= 0)
                kv_node_select_state(nodes[j], static_cast<size_t>(e[j]));
        kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        for (size_t j = 0; j < count; ++j)
            for (size_t s = 0; s < states[j]; ++s)
                checksum += kv_node_get_belief(nodes[j], s);
        checksum += kv_domain_get_normalization_constant(d);
    }
    benchmark::DoNotOptimize(checksum);
    kv_domain_delete(d);
}

BENCHMARK_CAPTURE(BM_CaseFromC, alarm, "alarm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CaseFromC, hepar2, "hepar2")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
