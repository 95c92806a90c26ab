// Command line and network list shared by the benchmarks that run over the
// networks of ../shared/nets.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

struct NetsOptions {
    std::filesystem::path folder;
    double max_entries = 5e7;
    std::vector<char *> rest; // for the benchmark library
    std::vector<std::filesystem::path> nets;
};

// Takes --nets DIR and --max-entries N and lists the folder's .net files
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
