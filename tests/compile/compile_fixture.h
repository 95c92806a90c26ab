// Helpers for compilation tests: random discrete networks with normalised
// tables, and the brute-force joint distribution.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <random>
#include <vector>

#include "compile/compile.h"
#include "core/memory.h"
#include "inference/propagate.h"
#include "kelvo.h"
#include "table/table.h"

inline void fill_conditional(kv_node_t n, std::mt19937 &rng, double zero_chance = 0.0)
{
    kv_table_t t = kv_node_get_table(n);
    double *v = kv_table_get_data(t);
    size_t k = n->number_of_states;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (size_t start = 0; start < t->size; start += k) {
        double sum = 0;
        for (size_t s = 0; s < k; ++s) {
            double x = u(rng) < zero_chance ? 0.0 : 0.05 + u(rng);
            v[start + s] = x;
            sum += x;
        }
        if (sum == 0)
            v[start] = sum = 1.0;
        for (size_t s = 0; s < k; ++s)
            v[start + s] /= sum;
    }
}

// Random DAG over n discrete chance nodes, edges i -> j (i < j) with the
// given chance; tables filled at random.
inline std::vector<kv_node_t> random_network(kv_domain_t d, std::mt19937 &rng, int n, int percent)
{
    std::vector<kv_node_t> nodes;
    for (int i = 0; i < n; ++i) {
        kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_number_of_states(x, 2 + rng() % 2);
        nodes.push_back(x);
    }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < j; ++i)
            if (int(rng() % 100) < percent) {
                EXPECT_EQ(kv_node_add_parent(nodes[j], nodes[i]), 0);
            }
    for (kv_node_t x : nodes)
        fill_conditional(x, rng);
    return nodes;
}

// A random network, the same for the same seed (a share of zero_chance of
// its table entries zero), compiled with small trees run flat, or strided
// (over evidence slices), or under the limits the caller has set.
struct RandomNet {
    kv_domain_t d;
    std::vector<kv_node_t> nodes;
};
enum class Kernels { flat, strided, as_set };

inline RandomNet compiled_random_net(unsigned seed, int n, int percent, double zero_chance, Kernels kernels)
{
    std::mt19937 rng(seed);
    RandomNet net{kv_new_domain(), {}};
    net.nodes = random_network(net.d, rng, n, percent);
    for (kv_node_t x : net.nodes)
        fill_conditional(x, rng, zero_chance);
    auto limits = kv::set_flat_limits(0, 0);
    if (kernels == Kernels::flat)
        kv::set_flat_limits(8192, 16384);
    else if (kernels == Kernels::as_set)
        kv::set_flat_limits(limits.first, limits.second);
    EXPECT_EQ(kv_domain_compile(net.d), 0);
    kv::set_flat_limits(limits.first, limits.second);
    return net;
}

inline double table_value(kv_table_s *t, const std::map<kv_node_s *, size_t> &s)
{
    size_t index = 0;
    for (size_t i = 0; i < t->discrete_count; ++i)
        index = index * t->nodes[i]->number_of_states + s.at(t->nodes[i]);
    return t->discrete_data[index];
}

// Calls f(configuration) for every configuration of the nodes, the last
// node's state changing fastest.
template <class F> void for_each_configuration(const std::vector<kv_node_t> &nodes, F &&f)
{
    std::map<kv_node_s *, size_t> s;
    for (kv_node_t n : nodes)
        s[n] = 0;
    for (;;) {
        f(static_cast<const std::map<kv_node_s *, size_t> &>(s));
        size_t k = nodes.size();
        for (; k-- > 0;) {
            if (++s[nodes[k]] < nodes[k]->number_of_states)
                break;
            s[nodes[k]] = 0;
        }
        if (k == static_cast<size_t>(-1))
            return;
    }
}

// Marginal of every node under the product of the node tables, by
// enumerating every configuration.
inline std::map<kv_node_s *, std::vector<double>> brute_force_marginals(const std::vector<kv_node_t> &nodes)
{
    std::map<kv_node_s *, std::vector<double>> marginals;
    for (kv_node_t n : nodes)
        marginals[n].assign(n->number_of_states, 0.0);
    for_each_configuration(nodes, [&](const std::map<kv_node_s *, size_t> &s) {
        double p = 1.0;
        for (kv_node_t n : nodes)
            p *= table_value(n->table, s);
        for (kv_node_t n : nodes)
            marginals[n][s.at(n)] += p;
    });
    return marginals;
}

// Runs f with a log stream on the domain and returns what was written,
// without the time stamp line that triangulation starts with.
template <class F> std::string logged(kv_domain_t d, F &&f)
{
    FILE *log = std::tmpfile();
    kv_domain_set_log_file(d, log);
    f();
    kv_domain_set_log_file(d, nullptr);
    std::rewind(log);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, log)) > 0)
        text.append(buffer, n);
    std::fclose(log);
    size_t eol = text.find('\n');
    if (text.size() > 24 && text[3] == ' ' && eol != std::string::npos)
        text.erase(0, eol + 1);
    return text;
}
