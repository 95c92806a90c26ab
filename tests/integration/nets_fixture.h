// The real networks of ../shared/nets for integration tests and their
// helpers: the folder (KELVO_SHARED overrides it), the networks in it, a
// parse handler that fails the test, a topological order and forward
// sampling.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kelvo.h"

namespace nets {

namespace fs = std::filesystem;

inline fs::path nets_folder()
{
    const char *shared = std::getenv("KELVO_SHARED");
    return fs::path(shared ? shared : KELVO_SHARED_DIR) / "nets";
}

inline std::vector<fs::path> networks()
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(nets_folder(), ec))
        if (e.path().extension() == ".net")
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

inline void no_messages(size_t line, kv_string_t message, void *data)
{
    ADD_FAILURE() << *static_cast<std::string *>(data) << ":" << line << ": " << message;
}

inline std::vector<kv_node_t> topological(kv_domain_t d)
{
    std::vector<kv_node_t> order, all;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        all.push_back(n);
    std::set<kv_node_t> done;
    while (order.size() < all.size())
        for (kv_node_t n : all) {
            if (done.count(n))
                continue;
            bool ready = true;
            for (kv_node_t *p = kv_node_get_parents(n); *p; ++p)
                ready = ready && done.count(*p);
            if (ready) {
                done.insert(n);
                order.push_back(n);
            }
        }
    return order;
}

inline std::map<kv_node_t, size_t> forward_sample(const std::vector<kv_node_t> &order, std::mt19937 &rng)
{
    std::map<kv_node_t, size_t> s;
    for (kv_node_t n : order) {
        kv_table_t t = kv_node_get_table(n);
        size_t index = 0, k = kv_node_get_number_of_states(n);
        for (kv_node_t *m = kv_table_get_nodes(t); *m; ++m)
            if (*m != n)
                index = index * kv_node_get_number_of_states(*m) + s[*m];
        const double *p = kv_table_get_data(t) + index * k;
        std::discrete_distribution<size_t> pick(p, p + k);
        s[n] = pick(rng);
    }
    return s;
}

} // namespace nets
