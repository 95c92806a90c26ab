// Structure learning: edge constraints, the results of the independence
// tests, and the learned graph the PC and NPC algorithms orient.
#pragma once

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"

// One entry of a node's constraint list: the constraint on (node, other) as
// seen from the node.  Every entry has its mirror in the other node's list.
struct kv_edge_constraint_s {
    kv_node_s *other;
    int constraint;
    kv_edge_constraint_s *next;
};

namespace kv::learn {

template <class T> using Vec = std::vector<T, ScratchAlloc<T>>;

// Objects with containers live in memory from the wrappers: made with
// create, freed with destroy.
template <class T, class... A> T *create(A &&...args)
{
    void *p = raw_allocate(sizeof(T));
    if (!p)
        throw std::bad_alloc();
    try {
        return new (p) T(std::forward<A>(args)...);
    } catch (...) {
        std::free(p);
        throw;
    }
}
template <class T> void destroy(T *p)
{
    if (p) {
        p->~T();
        std::free(p);
    }
}

struct TestRecord {
    Vec<kv_node_s *> conditioning; // empty for the marginal test
    size_t degrees_of_freedom = 0;
    double g2 = 0;
    double p_value = 1;
    bool independent = false;
};

struct PairRecord {
    double strength = 0; // G^2 of the first (marginal) test
    Vec<TestRecord> tests;
    size_t number_of_independences = 0;
    int constraint = kv_constraint_none; // as seen from the older node
    // Size of the smallest accepted conditioning set, or SIZE_MAX.
    size_t smallest_independence = SIZE_MAX;
};

// Pairs of nodes i < j (0-based creation indices) at i + j(j-1)/2.
struct TestResults {
    size_t number_of_nodes = 0;
    Vec<kv_node_s *> nodes; // by creation index
    Vec<PairRecord> pairs;
    size_t number_of_tests = 0;

    PairRecord &pair(size_t i, size_t j)
    {
        if (i > j)
            std::swap(i, j);
        return pairs[i + j * (j - 1) / 2];
    }
};

// Count tables over {X, Y} + Z up to this many entries are dense; larger
// ones are counted sparsely by sorting the cases' configurations.  Tests
// lower it to compare the two ways.
extern thread_local size_t dense_count_limit;

} // namespace kv::learn

// The creation index of a node, 0-based.
inline size_t _kv_creation_index(const kv_node_s *n)
{
    return n->index - 1;
}

// Frees the domain's test results and its kept NPC graph (on any node
// creation or deletion, and when learning starts again).
void _kv_discard_structure_learning(kv_domain_s *d);
// Removes the node's constraint entries and their mirrors (the node is
// going).
void _kv_node_drop_constraints(kv_node_s *n);
// The constraint on (a, b) as seen from a: 100 when none.
int _kv_edge_constraint(const kv_node_s *a, const kv_node_s *b);
// The constraint as seen from the other node of the pair.
int _kv_mirror_constraint(int constraint);

// Runs the dependency tests with conditioning sets of at most max_size
// nodes, replacing the domain's test results.  May throw std::bad_alloc.
void _kv_domain_learn_dependencies(kv_domain_s *d, size_t max_size);
// Whether the pair is linked in the skeleton by its constraint and its tests.
bool _kv_pair_is_connected(const kv::learn::PairRecord &p);
