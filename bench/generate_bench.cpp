// Table generation from models, one thread.  Goals: NoisyOR over 16
// boolean parents under 20 ms; Normal on a 100-state interval child with
// two 50-state number parents under 50 ms; Normal(X + Y, 1) with two
// 10-state interval parents and 25 samples per interval under 150 ms.
#include <benchmark/benchmark.h>

#include <cfloat>
#include <string>
#include <vector>

#include "kelvo.h"

namespace {

kv_node_t discrete(kv_domain_t d, size_t states, kv_node_subtype_t subtype)
{
    kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    kv_node_set_number_of_states(n, states);
    kv_node_set_subtype(n, subtype);
    return n;
}

void interval_values(kv_node_t n, size_t states, double lo, double step, bool infinite_ends)
{
    for (size_t s = 0; s <= states; ++s)
        kv_node_set_state_value(n, s, lo + double(s) * step);
    if (infinite_ends) {
        kv_node_set_state_value(n, 0, -DBL_MAX);
        kv_node_set_state_value(n, states, DBL_MAX);
    }
}

// Generates the child's table from text, timing the generation only.
void run(benchmark::State &state, kv_node_t child, const std::string &text)
{
    kv_node_t none[] = {nullptr};
    kv_model_t m = kv_node_new_model(child, none);
    kv_expression_t e = kv_string_parse_expression(text.c_str(), m, nullptr, nullptr);
    if (!e || kv_model_set_expression(m, 0, e)) {
        state.SkipWithError("cannot build the model");
        return;
    }
    for (auto _ : state) {
        kv_model_set_number_of_samples_per_interval(m, kv_model_get_number_of_samples_per_interval(m));
        if (kv_node_generate_table(child)) {
            state.SkipWithError("generation failed");
            return;
        }
    }
    state.counters["entries"] = double(kv_table_get_size(kv_node_get_table(child)));
}

void BM_NoisyOr16(benchmark::State &state)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t child = discrete(d, 2, kv_subtype_boolean);
    std::string text = "NoisyOR (";
    for (int i = 0; i < 16; ++i) {
        kv_node_t p = discrete(d, 2, kv_subtype_boolean);
        std::string name = "P" + std::to_string(i);
        kv_node_set_name(p, name.c_str());
        kv_node_add_parent(child, p);
        text += (i ? ", " : "") + name + ", " + std::to_string(0.5 + i / 40.0);
    }
    run(state, child, text + ")");
    kv_domain_delete(d);
}

void BM_NormalOverNumberParents(benchmark::State &state)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t child = discrete(d, 100, kv_subtype_interval);
    interval_values(child, 100, -50, 1, true);
    for (const char *name : {"A", "B"}) {
        kv_node_t p = discrete(d, 50, kv_subtype_number);
        for (size_t s = 0; s < 50; ++s)
            kv_node_set_state_value(p, s, double(s) - 25);
        kv_node_set_name(p, name);
        kv_node_add_parent(child, p);
    }
    run(state, child, "Normal (A + B / 2, 4)");
    kv_domain_delete(d);
}

void BM_NormalOverSampledIntervals(benchmark::State &state)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t child = discrete(d, 20, kv_subtype_interval);
    interval_values(child, 20, -10, 1, true);
    for (const char *name : {"X", "Y"}) {
        kv_node_t p = discrete(d, 10, kv_subtype_interval);
        interval_values(p, 10, -5, 1, false);
        kv_node_set_name(p, name);
        kv_node_add_parent(child, p);
    }
    run(state, child, "Normal (X + Y, 1)");
    kv_domain_delete(d);
}

} // namespace

BENCHMARK(BM_NoisyOr16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NormalOverNumberParents)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NormalOverSampledIntervals)->Unit(benchmark::kMillisecond);
