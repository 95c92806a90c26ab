// KB files.  Goals: loading a compiled diabetes or munin KB takes at most
// half the time of NET parse + compile, and reads at least 150 MB/s of
// uncompressed stream; saving takes at most 1/0.8 of a bare gzwrite of the
// same bytes at level 9.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include <zlib.h>

#include "kelvo.h"

namespace {

std::string net_path(const char *name)
{
    return std::string(KELVO_SHARED_DIR) + "/nets/" + name + ".net";
}

std::string kb_path(const char *name)
{
    return "/tmp/kelvo_kb_bench_" + std::to_string(getpid()) + "_" + name + ".kb";
}

// The uncompressed stream of a KB file.
std::string stream_of(const std::string &path)
{
    gzFile f = gzopen(path.c_str(), "rb");
    std::string out;
    char buffer[1 << 16];
    int n;
    while (f && (n = gzread(f, buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    if (f)
        gzclose(f);
    return out;
}

kv_domain_t compiled(const char *name)
{
    kv_domain_t d = kv_net_parse_domain(net_path(name).c_str(), nullptr, nullptr);
    if (d && kv_domain_compile(d)) {
        kv_domain_delete(d);
        return nullptr;
    }
    return d;
}

void BM_ParseAndCompile(benchmark::State &state, const char *name)
{
    for (auto _ : state) {
        kv_domain_t d = compiled(name);
        if (!d) {
            state.SkipWithError("network not found or not compiled");
            return;
        }
        kv_domain_delete(d);
    }
}

void BM_LoadCompiledKb(benchmark::State &state, const char *name)
{
    kv_domain_t d = compiled(name);
    if (!d) {
        state.SkipWithError("network not found or not compiled");
        return;
    }
    std::string path = kb_path(name);
    kv_domain_save(d, path.c_str(), 2);
    kv_domain_delete(d);
    double bytes = double(stream_of(path).size());
    for (auto _ : state) {
        kv_domain_t back = kv_load_domain(path.c_str());
        if (!back) {
            state.SkipWithError("load failed");
            break;
        }
        kv_domain_delete(back);
    }
    state.SetBytesProcessed(int64_t(bytes) * int64_t(state.iterations()));
    state.counters["stream_MB"] = bytes / 1e6;
    state.counters["goal_MB_per_s"] = 150;
    std::remove(path.c_str());
}

void BM_SaveCompiledKb(benchmark::State &state, const char *name)
{
    kv_domain_t d = compiled(name);
    if (!d) {
        state.SkipWithError("network not found or not compiled");
        return;
    }
    std::string path = kb_path(name);
    for (auto _ : state)
        if (kv_domain_save(d, path.c_str(), 2)) {
            state.SkipWithError("save failed");
            break;
        }
    state.counters["stream_MB"] = double(stream_of(path).size()) / 1e6;
    kv_domain_delete(d);
    std::remove(path.c_str());
}

// The same bytes through gzwrite alone, the bound for the save.
void BM_BareGzwrite(benchmark::State &state, const char *name)
{
    kv_domain_t d = compiled(name);
    if (!d) {
        state.SkipWithError("network not found or not compiled");
        return;
    }
    std::string path = kb_path(name);
    kv_domain_save(d, path.c_str(), 2);
    kv_domain_delete(d);
    std::string bytes = stream_of(path);
    for (auto _ : state) {
        gzFile f = gzopen(path.c_str(), "wb9");
        gzwrite(f, bytes.data(), unsigned(bytes.size()));
        gzclose(f);
    }
    std::remove(path.c_str());
}

#define KB_BENCHMARKS(net)                                                                            \
    BENCHMARK_CAPTURE(BM_ParseAndCompile, net, #net)->Unit(benchmark::kMillisecond);                  \
    BENCHMARK_CAPTURE(BM_LoadCompiledKb, net, #net)->Unit(benchmark::kMillisecond);                   \
    BENCHMARK_CAPTURE(BM_SaveCompiledKb, net, #net)->Unit(benchmark::kMillisecond);                   \
    BENCHMARK_CAPTURE(BM_BareGzwrite, net, #net)->Unit(benchmark::kMillisecond)

KB_BENCHMARKS(alarm);
KB_BENCHMARKS(diabetes);
KB_BENCHMARKS(munin);

} // namespace
