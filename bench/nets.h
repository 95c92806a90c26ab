// Command line and network list shared by the benchmarks that run over the
// networks of ../shared/nets.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <benchmark/benchmark.h>

#include "kelvo.h"

struct NetsOptions {
    std::filesystem::path folder;
    double max_entries = 5e7;
    // Triangulation of the benchmarked domains: 0 for compilation's own.
    int method = 0;
    size_t max_separators = 0;
    std::vector<char *> rest; // for the benchmark library
    std::vector<std::filesystem::path> nets;
};

// Takes --nets DIR, --max-entries N, --method M (a triangulation method)
// and --max-separators K (for method 19) and lists the folder's .net files
// in name order.
inline NetsOptions parse_nets_options(int argc, char **argv, const char *default_folder)
{
    NetsOptions o;
    o.folder = default_folder;
    o.rest.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--nets") && i + 1 < argc)
            o.folder = argv[++i];
        else if (!std::strcmp(argv[i], "--max-entries") && i + 1 < argc)
            o.max_entries = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--method") && i + 1 < argc)
            o.method = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--max-separators") && i + 1 < argc)
            o.max_separators = size_t(std::atof(argv[++i]));
        else
            o.rest.push_back(argv[i]);
    }
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(o.folder, ec))
        if (e.path().extension() == ".net")
            o.nets.push_back(e.path());
    std::sort(o.nets.begin(), o.nets.end());
    return o;
}

// Whether the network's junction forest (fill-in-weight triangulation)
// holds at most max_entries entries.
inline bool forest_fits(const std::filesystem::path &path, double max_entries)
{
    kv_domain_t d = kv_net_parse_domain(path.c_str(), nullptr, nullptr);
    bool fits = d && kv_domain_triangulate(d, kv_tm_fill_in_weight) == 0 &&
                double(kv_domain_get_jt_cost(d)) <= max_entries;
    if (d)
        kv_domain_delete(d);
    return fits;
}

// Compiles d, triangulated first by the options' method if one is given:
// 0 or the error code.
inline int compile_as_asked(const NetsOptions &o, kv_domain_t d)
{
    if (o.method) {
        kv_domain_set_max_number_of_separators(d, o.max_separators);
        if (int status = kv_domain_triangulate(d, kv_triangulation_method_t(o.method)))
            return status;
    }
    return kv_domain_compile(d);
}

// Runs the registered benchmarks with the remaining command-line flags.
inline void run_benchmarks(NetsOptions &options)
{
    int n = int(options.rest.size());
    benchmark::Initialize(&n, options.rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
