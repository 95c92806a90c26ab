// Structure learning (PC) from cases drawn from real networks.  Goals:
// alarm with 10,000 cases <= 0.5 s and with 100,000 cases <= 3 s; hepar2
// and win95pts with 100,000 cases <= 15 s; andes with 10,000 cases <= 30 s.
// Each run reports the number of tests and the structural Hamming distance
// of the learnt skeleton to the network's (links missing plus links extra).
//
// Usage: structure_learn_bench [--nets DIR] [benchmark flags]
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/domain.h"
#include "kelvo.h"
#include "learn/structure.h"

namespace fs = std::filesystem;

namespace {

fs::path folder = KELVO_SHARED_DIR "/nets";

using Skeleton = std::set<std::pair<std::string, std::string>>;

Skeleton skeleton(kv_domain_t d)
{
    Skeleton s;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        for (kv_node_t *p = kv_node_get_parents(n); *p; ++p) {
            std::string a = kv_node_get_name(*p), b = kv_node_get_name(n);
            s.insert(a < b ? std::pair{a, b} : std::pair{b, a});
        }
    return s;
}

// A domain with the network's nodes and no links, holding `count` cases
// drawn from the network.
kv_domain_t cases_of(kv_domain_t net, size_t count)
{
    kv_domain_t d = kv_new_domain();
    std::vector<kv_node_t> source;
    for (kv_node_t n = kv_domain_get_first_node(net); n; n = kv_node_get_next(n))
        source.insert(source.begin(), n);
    std::vector<kv_node_t> twin;
    for (kv_node_t n : source) {
        kv_node_t m = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(m, kv_node_get_name(n));
        kv_node_set_number_of_states(m, kv_node_get_number_of_states(n));
        twin.push_back(m);
    }
    kv_domain_set_number_of_cases(d, count);
    for (size_t i = 0; i < count; ++i) {
        kv_domain_simulate(net);
        for (size_t k = 0; k < source.size(); ++k)
            kv_node_set_case_state(twin[k], i, kv_node_get_sampled_state(source[k]));
    }
    return d;
}

void learn(benchmark::State &state, const std::string &name, size_t count)
{
    kv_domain_t net = kv_net_parse_domain((folder / (name + ".net")).c_str(), nullptr, nullptr);
    if (!net) {
        state.SkipWithError("cannot read the network");
        return;
    }
    Skeleton truth = skeleton(net);
    double tests = 0, distance = 0;
    for (auto _ : state) {
        state.PauseTiming();
        kv_domain_t d = cases_of(net, count);
        state.ResumeTiming();
        if (kv_domain_learn_structure(d)) {
            state.SkipWithError("learning failed");
            kv_domain_delete(d);
            break;
        }
        state.PauseTiming();
        tests = double(d->test_results ? d->test_results->number_of_tests : 0);
        Skeleton found = skeleton(d);
        distance = 0;
        for (const auto &e : found)
            distance += !truth.count(e);
        for (const auto &e : truth)
            distance += !found.count(e);
        kv_domain_delete(d);
        state.ResumeTiming();
    }
    state.counters["tests"] = tests;
    state.counters["shd"] = distance;
    state.counters["links"] = double(truth.size());
    kv_domain_delete(net);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--nets") && i + 1 < argc)
            folder = argv[++i];
        else
            rest.push_back(argv[i]);
    }
    const std::pair<const char *, size_t> runs[] = {
        {"alarm", 10000}, {"alarm", 100000}, {"hepar2", 100000}, {"win95pts", 100000}, {"andes", 10000}};
    for (auto [name, count] : runs) {
        if (!fs::exists(folder / (std::string(name) + ".net")))
            continue;
        std::string label = "BM_LearnStructure/" + std::string(name) + "/" + std::to_string(count);
        benchmark::RegisterBenchmark(label.c_str(), [name, count](benchmark::State &s) { learn(s, name, count); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    }
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
