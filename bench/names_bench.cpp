// Node creation and lookup by name, the first steps of every file reader.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kelvo.h"

static kv_domain_t make_domain(size_t count, std::vector<std::string> &names)
{
    kv_domain_t d = kv_new_domain();
    names.clear();
    for (size_t i = 0; i < count; ++i) {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        names.push_back("node_" + std::to_string(i));
        kv_node_set_name(n, names.back().c_str());
    }
    return d;
}

static void BM_NewNamedNodes(benchmark::State &state)
{
    std::vector<std::string> names;
    for (auto _ : state) {
        kv_domain_t d = make_domain(static_cast<size_t>(state.range(0)), names);
        kv_domain_delete(d);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_NewNamedNodes)->Arg(10)->Arg(1000)->Arg(10000);

static void BM_NodeByName(benchmark::State &state)
{
    std::vector<std::string> names;
    kv_domain_t d = make_domain(static_cast<size_t>(state.range(0)), names);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kv_domain_get_node_by_name(d, names[i].c_str()));
        i = (i + 1) % names.size();
    }
    state.SetItemsProcessed(state.iterations());
    kv_domain_delete(d);
}
BENCHMARK(BM_NodeByName)->Arg(10)->Arg(1000)->Arg(10000);
