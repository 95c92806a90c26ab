// Unfolding classes into runtime domains.  Goals: a slice class of 50
// nodes (10 inputs, 10 outputs) instantiated 2,000 times in a chain (100k
// runtime nodes) unfolds in at most 0.5 s, and 4,000 instances take at most
// 2.3 times as long as 2,000; 200 nesting levels unfold in at most 10 ms;
// naming every node of the 100k-node runtime domain takes at most 50 ms.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kelvo.h"

namespace {

// A class of 50 binary nodes: inputs x0..x9, then 40 nodes each with one
// or two earlier parents; the last 10 are the outputs.
kv_class_t make_slice(kv_class_collection_t cc)
{
    kv_class_t c = kv_cc_new_class(cc);
    kv_class_set_name(c, "Slice");
    std::vector<kv_node_t> nodes;
    for (int i = 0; i < 50; ++i) {
        kv_node_t n = kv_class_new_node(c, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(n, ("n" + std::to_string(i)).c_str());
        kv_node_set_number_of_states(n, 2);
        if (i < 10) {
            kv_node_add_to_inputs(n);
        } else {
            kv_node_add_parent(n, nodes[size_t(i - 10)]);
            if (i % 3)
                kv_node_add_parent(n, nodes[size_t(i - 1)]);
        }
        kv_table_get_data(kv_node_get_table(n));
        nodes.push_back(n);
    }
    for (int i = 40; i < 50; ++i)
        kv_node_add_to_outputs(nodes[size_t(i)]);
    return c;
}

// A top class with `count' slices in a chain: slice k's inputs are bound to
// slice k-1's outputs.
kv_class_t make_chain(kv_class_collection_t cc, kv_class_t slice, int count)
{
    kv_class_t top = kv_cc_new_class(cc);
    kv_node_t *inputs = kv_class_get_inputs(slice);
    kv_node_t *outputs = kv_class_get_outputs(slice);
    kv_node_t previous = nullptr;
    for (int k = 0; k < count; ++k) {
        kv_node_t i = kv_class_new_instance(top, slice);
        if (previous)
            for (int j = 0; j < 10; ++j)
                kv_node_set_input(i, inputs[j], kv_node_get_output(previous, outputs[j]));
        previous = i;
    }
    return top;
}

void BM_CreateDomainChain(benchmark::State &state)
{
    kv_class_collection_t cc = kv_new_class_collection();
    kv_class_t top = make_chain(cc, make_slice(cc), int(state.range(0)));
    size_t nodes = 0;
    for (auto _ : state) {
        kv_domain_t d = kv_class_create_domain(top);
        if (!d) {
            state.SkipWithError("unfolding failed");
            break;
        }
        nodes = kv_domain_get_number_of_nodes(d);
        state.PauseTiming();
        kv_domain_delete(d);
        state.ResumeTiming();
    }
    state.counters["runtime_nodes"] = double(nodes);
    state.counters["goal_s"] = state.range(0) == 2000 ? 0.5 : 1.15;
    kv_cc_delete(cc);
}
BENCHMARK(BM_CreateDomainChain)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_CreateDomainNested(benchmark::State &state)
{
    // Level k holds an input x, an output y below it, an instance of level
    // k-1 whose input is bound to y, and a node z below that instance's
    // output.
    kv_class_collection_t cc = kv_new_class_collection();
    kv_class_t inner = nullptr;
    for (int level = 0; level < state.range(0); ++level) {
        kv_class_t c = kv_cc_new_class(cc);
        kv_node_t x = kv_class_new_node(c, kv_category_chance, kv_kind_discrete);
        kv_node_t y = kv_class_new_node(c, kv_category_chance, kv_kind_discrete);
        kv_node_add_parent(y, x);
        if (inner) {
            kv_node_t i = kv_class_new_instance(c, inner);
            kv_node_t out = kv_node_get_output(i, kv_class_get_outputs(inner)[0]);
            kv_node_t z = kv_class_new_node(c, kv_category_chance, kv_kind_discrete);
            kv_node_add_parent(z, out);
            kv_node_set_input(i, kv_class_get_inputs(inner)[0], y);
        }
        kv_node_add_to_inputs(x);
        kv_node_add_to_outputs(y);
        inner = c;
    }
    for (auto _ : state) {
        kv_domain_t d = kv_class_create_domain(inner);
        if (!d) {
            state.SkipWithError("unfolding failed");
            break;
        }
        state.PauseTiming();
        kv_domain_delete(d);
        state.ResumeTiming();
    }
    state.counters["goal_ms"] = 10;
    kv_cc_delete(cc);
}
BENCHMARK(BM_CreateDomainNested)->Arg(200)->Unit(benchmark::kMillisecond);

void BM_NameRuntimeNodes(benchmark::State &state)
{
    kv_class_collection_t cc = kv_new_class_collection();
    kv_class_t top = make_chain(cc, make_slice(cc), 2000);
    for (auto _ : state) {
        state.PauseTiming();
        kv_domain_t d = kv_class_create_domain(top);
        state.ResumeTiming();
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
            benchmark::DoNotOptimize(kv_node_get_name(n));
        state.PauseTiming();
        kv_domain_delete(d);
        state.ResumeTiming();
    }
    state.counters["goal_ms"] = 50;
    kv_cc_delete(cc);
}
BENCHMARK(BM_NameRuntimeNodes)->Unit(benchmark::kMillisecond);

} // namespace
