// A sampler for tests: cases drawn from a network's tables.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "kelvo.h"

// Draws `count` cases from the network `source` by forward sampling of its
// tables, independently of the library's simulation, and appends them to
// the case data of `target`, whose nodes have the same names and states.
// Each entry is left unset with probability `hidden`.
inline void sample(kv_domain_t source, kv_domain_t target, size_t count, uint64_t seed, double hidden = 0)
{
    std::vector<kv_node_t> order; // parents first
    std::set<kv_node_t> placed;
    while (order.size() < kv_domain_get_number_of_nodes(source))
        for (kv_node_t n = kv_domain_get_first_node(source); n; n = kv_node_get_next(n)) {
            if (placed.count(n))
                continue;
            bool ready = true;
            for (kv_node_t *p = kv_node_get_parents(n); *p; ++p)
                ready = ready && placed.count(*p);
            if (ready)
                order.push_back(n), placed.insert(n);
        }
    std::map<kv_node_t, kv_node_t> twin;
    for (kv_node_t n : order)
        twin[n] = kv_domain_get_node_by_name(target, kv_node_get_name(n));
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::map<kv_node_t, size_t> state;
    size_t first = kv_domain_get_number_of_cases(target);
    kv_domain_set_number_of_cases(target, first + count);
    for (size_t c = 0; c < count; ++c)
        for (kv_node_t n : order) {
            kv_table_t t = kv_node_get_table(n);
            kv_node_t *nodes = kv_table_get_nodes(t);
            size_t index = 0, stride = 0;
            for (kv_node_t *m = nodes; *m; ++m) {
                size_t k = kv_node_get_number_of_states(*m);
                index = index * k + (*m == n ? 0 : state[*m]);
            }
            // The node's own stride: the product of the states after it.
            stride = 1;
            bool after = false;
            for (kv_node_t *m = nodes; *m; ++m) {
                if (after)
                    stride *= kv_node_get_number_of_states(*m);
                after = after || *m == n;
            }
            const double *data = kv_table_get_data(t);
            size_t k = kv_node_get_number_of_states(n), s = 0;
            double u = uniform(random), sum = 0;
            for (size_t i = 0; i < k; ++i)
                sum += data[index + i * stride];
            double acc = data[index] / sum;
            while (s + 1 < k && u > acc) {
                ++s;
                acc += data[index + s * stride] / sum;
            }
            state[n] = s;
            if (hidden == 0 || uniform(random) >= hidden)
                kv_node_set_case_state(twin[n], first + c, s);
        }
}
