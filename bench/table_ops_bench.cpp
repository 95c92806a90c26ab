// Table kernels on tables of binary nodes from 2^10 to 2^24 entries:
// multiplication and division by a one-node separator, and sum and max
// marginalization onto it, with the separator's node first, in the middle or
// last in the big table.  BM_Copy streams the same number of bytes with
// memcpy; every benchmark reports the big table's bytes per second, so each
// kernel's fraction of the copy bandwidth is the ratio of the two rates.
// The second argument is the concurrency level.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "kelvo.h"
#include "table/control.h"
#include "table/operations.h"

namespace {

enum Kernel { multiply, divide, sum, max };
enum Kept { first, middle, last };

struct Setup {
    kv_domain_t d;
    kv_table_s *big, *small;
    kv_control_s *control;

    Setup(int bits, Kept kept, size_t level)
    {
        d = kv_new_domain();
        kv_domain_set_concurrency_level(d, level);
        std::vector<kv_node_t> nodes;
        for (int i = 0; i < bits; ++i) {
            kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
            kv_node_set_number_of_states(n, 2);
            nodes.push_back(n);
        }
        nodes.push_back(nullptr);
        big = _kv_create_table(d, nodes.data(), 0, 2, 0, 1);
        kv_node_t sep[] = {nodes[kept == first ? 0 : kept == middle ? bits / 2 : bits - 1], nullptr};
        small = _kv_create_table(d, sep, 0, 3, 0, 1);
        for (size_t i = 0; i < big->size; ++i)
            big->discrete_data[i] = 1.0 + double(i % 7) * 0.125;
        small->discrete_data[0] = 1.0000001;
        small->discrete_data[1] = 0.9999999;
        control = _kv_create_control(big, nullptr, small, nullptr);
    }
    ~Setup() { kv_domain_delete(d); }
};

void BM_Kernel(benchmark::State &state, Kernel kernel, Kept kept)
{
    Setup s(static_cast<int>(state.range(0)), kept, static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        switch (kernel) {
        case multiply:
            _kv_combine(s.control);
            break;
        case divide:
            _kv_control_divide(s.control);
            break;
        case sum:
            _kv_marginalize(s.control, kv_equilibrium_sum, kv_mode_normal, 0);
            break;
        case max:
            _kv_marginalize(s.control, kv_equilibrium_max, kv_mode_normal, 0);
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.big->size * sizeof(double)));
}

void BM_Copy(benchmark::State &state)
{
    size_t n = size_t(1) << state.range(0);
    std::vector<double> a(n, 1.0), b(n);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), n * sizeof(double));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n * sizeof(double)));
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int bits : {10, 14, 17, 20, 24})
        for (int level : {1, 2})
            b->Args({bits, level});
}

} // namespace

BENCHMARK(BM_Copy)->DenseRange(10, 24, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, multiply_first, multiply, first)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, multiply_last, multiply, last)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, divide_middle, divide, middle)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, sum_first, sum, first)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, sum_middle, sum, middle)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, sum_last, sum, last)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Kernel, max_middle, max, middle)->Apply(sizes)->UseRealTime()->Unit(benchmark::kMicrosecond);
