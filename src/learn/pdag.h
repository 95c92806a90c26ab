// The learned graph of structure learning: a partially directed graph over
// the domain's nodes (by creation index) that the PC and NPC algorithms
// build from the test results and orient step by step.
#pragma once

#include "structure.h"

namespace kv::learn {
struct Graph;
} // namespace kv::learn

struct kv_uncertain_edge_s {
    kv::learn::Graph *graph;
    size_t a, b; // creation indices, a < b
    bool manual; // decided by kv_uncertain_edge_manual_decision
};

struct kv_solution_s {
    kv::learn::Vec<kv_uncertain_edge_s *> edges; // NULL-terminated
    kv_solution_s *next;
};

struct kv_ambiguous_region_s {
    kv::learn::Graph *graph;
    kv::learn::Vec<kv_uncertain_edge_s *> edges; // NULL-terminated
    kv_solution_s *first_solution = nullptr;
    kv_ambiguous_region_s *next = nullptr;
    ~kv_ambiguous_region_s();
};

namespace kv::learn {

// What the NPC algorithm knows of a pair.
enum class Status : unsigned char {
    none,              // outside NPC mode
    uncertain,
    present,           // certainly present (tests, a constraint, or a decision)
    decided_absent,
    definitely_absent,
};

// Adjacency entries: none, undirected, and the two ends of a directed edge.
enum : unsigned char { no_edge = 0, undirected = 1, tail = 2, head = 3 };

struct Graph {
    kv_domain_s *d;
    TestResults &r;
    size_t n;
    bool npc = false;   // statuses decide adjacency
    bool logging = true;
    int log_status = 0; // the first failure of the log
    Vec<unsigned char> adjacency;                 // n x n
    Vec<std::pair<size_t, size_t>> edges;         // in the order made
    Vec<Status> status;                           // per pair position
    // NPC: the uncertain edges, which edges' absence each one's statement
    // needs explained, the regions, and the directions set by hand.
    Vec<kv_uncertain_edge_s *> uncertain;
    Vec<Vec<size_t>> explainers;                  // parallel to uncertain
    kv_ambiguous_region_s *first_region = nullptr;
    Vec<std::pair<size_t, size_t>> manual_directions; // (parent, child)
    Vec<Vec<kv_node_s *>> parent_lists, neighbour_lists;

    Graph(kv_domain_s *domain, TestResults &results);
    ~Graph();

    unsigned char &at(size_t i, size_t j) { return adjacency[i * n + j]; }
    bool adjacent(size_t i, size_t j) { return at(i, j) != no_edge; }
    bool is_undirected(size_t i, size_t j) { return at(i, j) == undirected; }
    bool directed(size_t i, size_t j) { return at(i, j) == tail; } // i -> j
    Status &pair_status(size_t i, size_t j)
    {
        if (i > j)
            std::swap(i, j);
        return status[i + j * (j - 1) / 2];
    }
    // Not adjacent, and in NPC mode known to stay so.
    bool surely_absent(size_t i, size_t j);
    const char *name(size_t v);
    void log(const char *format, ...) __attribute__((format(printf, 2, 3)));

    void add_undirected(size_t i, size_t j);
    void set_direction(size_t from, size_t to);
    // Whether a -> b would close a directed cycle.
    bool closes_cycle(size_t a, size_t b);

    void identify_skeleton();
    void identify_colliders();
    // The admissibility line of the log.
    void log_admissibility();
    void identify_derived_directions();
    void complete_orientation();
    // Applies the hand-set directions in order.
    void apply_manual_directions();
    // Adds every directed edge to the domain as a parent relation; on
    // failure removes the ones added and returns the error code.
    int add_links();
    void free_regions();
};

// Frees a list of regions (with their solutions).
void free_region_list(kv_ambiguous_region_s *first);

} // namespace kv::learn
