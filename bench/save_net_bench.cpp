// Writing NET text.  Goal: at least 50 MB/s of text on the largest networks
// (diabetes, barley, munin), to /dev/null so that the disk does not count.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "kelvo.h"

namespace {

void BM_WriteNet(benchmark::State &state, const char *name)
{
    std::string path = std::string(KELVO_SHARED_DIR) + "/nets/" + name + ".net";
    kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    if (!d) {
        state.SkipWithError("network not found");
        return;
    }
    // The size of the text, measured once.
    std::FILE *measure = std::tmpfile();
    kv_domain_write_net(d, measure);
    double bytes = double(std::ftell(measure));
    std::fclose(measure);
    std::FILE *sink = std::fopen("/dev/null", "w");
    for (auto _ : state)
        if (kv_domain_write_net(d, sink)) {
            state.SkipWithError("write failed");
            break;
        }
    std::fclose(sink);
    state.SetBytesProcessed(int64_t(bytes) * int64_t(state.iterations()));
    state.counters["goal_MB_per_s"] = 50;
    kv_domain_delete(d);
}
BENCHMARK_CAPTURE(BM_WriteNet, diabetes, "diabetes")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteNet, barley, "barley")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteNet, munin, "munin")->Unit(benchmark::kMillisecond);

} // namespace
