// The domain and node records and the operations on them that other source
// files share.  A class uses the domain record; it is a class exactly when its
// class collection is set.
#pragma once

#include <cstddef>
#include <cstdio>
#include <type_traits>

#include "kelvo.h"

struct kv_attribute_s;
struct kv_chain_block_s;
struct kv_edge_constraint_s;
struct kv_control_s;
struct kv_fill_in_s;
struct kv_random_s;
namespace kv::learn {
struct TestResults;
struct Graph;
} // namespace kv::learn
// EM's progress handler: iterations done, log-likelihood, cases.
typedef int (*kv_em_progress_t)(size_t iterations, double log_likelihood, size_t cases);

// One entry of the name index: a named node, chained in its bucket.
struct kv_name_entry_s {
    kv_node_s *node;
    kv_name_entry_s *next;
};

struct kv_domain_s {
    char size_print_ring[8][64];
    unsigned size_print_next;
    size_t node_width, node_height;
    char *file_name;
    FILE *log_file;

    // All nodes, newest first; node indices run from number_of_nodes down to 1.
    kv_node_s *first_node;
    size_t number_of_nodes;
    size_t number_of_discrete_nodes, number_of_continuous_nodes;
    size_t number_of_chance_nodes, number_of_decision_nodes;
    size_t number_of_utility_nodes, number_of_instance_nodes;

    // Hash index of node names, absent (NULL, 0) until a lookup needs it.
    kv_name_entry_s **name_index;
    size_t name_index_size;

    kv_chain_block_s *chain_blocks;

    size_t grain_size;
    size_t concurrency_level;
    // The most minimal separators an optimal triangulation enumerates in
    // one graph before it splits the graph (0: no limit).
    size_t max_number_of_separators;

    int is_compiled;
    int is_compressed;
    int is_moralized; // elimination indices or neighbour lists may be set

    // The junction forest: every clique (newest first, or in the order of
    // the forest after reordering) and every junction tree (newest first).
    kv_clique_s *first_clique;
    size_t number_of_cliques; // also the clique counter
    kv_junction_tree_s *first_junction_tree;
    size_t number_of_junction_trees;
    kv_node_s **elimination_order; // cached, first eliminated first
    // The node tables hold the columns a reset normalised (as a saved
    // compiled domain keeps them): the next full reset does not normalise
    // them again, which could move their last bits.
    int tables_normalised;

    // Copy of every clique, separator and belief table, for fast resets.
    double *memory_data;
    double *memory_cg_data;
    signed char *memory_roles;

    // Every table made for this domain, newest first; a table's number is its
    // position counted from the oldest, so the newest has number_of_tables.
    kv_table_s *first_table;
    size_t number_of_tables;

    // Every index map (control) made for this domain, numbered the same way.
    kv_control_s *first_control;
    size_t number_of_controls;

    // Intermediate results of marginalizations; only ever grows.
    double *scratch_buffer;
    size_t scratch_buffer_size; // bytes
    // While jobs of _kv_run_jobs work on the domain, each thread has a
    // scratch buffer of its own (_kv_scratch).
    int running_jobs;

    // Structure learning: the significance level of the independence
    // tests, their results (NULL before the first test), the graph kept by
    // the NPC algorithm, and whether an NPC run is in progress.
    double significance_level;
    kv::learn::TestResults *test_results;
    kv::learn::Graph *learned_graph;
    int npc_mode;
    double log_likelihood;
    double log_likelihood_tolerance;
    size_t max_em_iterations; // 0: no limit
    kv_em_progress_t em_progress;
    // Set by EM around the propagation of one case: the node beliefs are
    // left stale, and EM updates the few it reads.
    int beliefs_on_demand;

    // Case data: cases 0 .. number_of_cases - 1 in columns of case_capacity
    // entries (on the nodes); the entries from number_of_cases on are unset
    // with count 1.  case_counts NULL: every count is 1.
    size_t number_of_cases;
    size_t case_capacity;
    double *case_counts;

    // The random generator starts from this seed at its first draw; its
    // state is made then (NULL before).
    unsigned long random_seed;
    kv_random_s *random;
    // The last simulation: whether its samples still stand, and whether it
    // drew from the compiled junction trees.
    int simulation_valid;
    int simulation_compiled;

    kv_attribute_s *attributes;
    void *user_data;

    // Class data: a record is a class exactly when class_collection is set.
    kv_class_collection_s *class_collection;
    char *class_name;
    kv_node_s **inputs;    // NULL-terminated, or NULL while empty
    kv_node_s **outputs;   // likewise
    kv_node_s **instances; // instance nodes (in other classes) of this class
    int class_mark;

    // The host-language bridge's record: its environment while one of its
    // calls that may reach back runs (else NULL), the members it looked up
    // once (the peer's uncompile notice, string encoding, the attribute
    // peer's slot), and the peer itself.
    void *host_environment;
    void *host_uncompile_method;
    void *host_get_bytes_method;
    void *host_attribute_peer_field;
    void *host_object;
};

struct kv_node_s {
    kv_domain_s *home;
    kv_node_category_t category;
    kv_node_kind_t kind;
    size_t index;
    char *name;
    kv_node_s **parents;   // NULL-terminated, table order; NULL until requested
    kv_node_s **children;  // NULL-terminated; NULL until requested
    signed char mark; // scratch of graph searches; 0 between operations
    char *label;
    int position_x, position_y;
    kv_table_s *table;
    kv_chain_block_s *chain_block;
    kv_edge_constraint_s *constraints;
    kv_table_s *experience_table;
    kv_table_s *fading_table;
    kv_attribute_s *attributes;
    kv_model_s *model;
    kv_domain_s *instance_class;
    kv_node_s *clone_source;   // master of an output clone
    kv_node_s *clone_owner;    // instance node of an output clone
    kv_node_s **output_clones; // of an instance node: one per output of its class
    kv_node_s **input_bindings; // of an instance node: per input, or NULL
    size_t number_of_input_bindings;
    // Of a runtime node: the instance nodes on the way down and the class
    // node copied, NULL-terminated.
    kv_node_s **source;
    void *host_object;
    size_t number_of_states;
    char **state_labels;  // number_of_states entries, NULL entries allowed
    double *state_values; // number_of_states + 1 entries
    kv_node_subtype_t subtype;
    // Evidence: the entered finding (one weight per state, NULL meaning all
    // 1.0) and, in a compiled domain, the evidence table holding the finding
    // as last propagated.
    double *entered_finding;
    kv_table_s *evidence_table;
    // Continuous nodes: the observed value, if one is entered, and the value
    // as last propagated.
    int value_entered;
    double entered_value;
    int value_propagated;
    double propagated_value;
    int entered_state; // discrete: the single positive state, or -1
    // While a reset loads the tables for new evidence: the single positive
    // state of the entered finding, or -1.
    int reset_state;
    // The last simulation's result (valid while the domain's
    // simulation_valid is set): a state or a value, when sampled is set.
    int sampled;
    size_t sampled_state;
    double sampled_value;
    // Case data (chance and decision nodes), case_capacity entries each or
    // NULL until the first entry is set: discrete nodes a state per case (-1,
    // or any state out of range, is unset); continuous nodes a value and a
    // set flag per case.
    int *case_states;
    double *case_values;
    unsigned char *case_set;

    // Compilation: moral graph, triangulation and the junction forest.
    kv_node_s **neighbours;     // moral graph plus necessary fill-ins
    kv_fill_in_s *fill_in_links; // of a user-specified triangulation
    size_t elimination_number;  // 0: not eliminated; first eliminated highest
    size_t elimination_index;   // level constraining the elimination order
    kv_junction_tree_s *junction_tree;
    kv_control_s *belief_control;
    kv_table_s *belief_table;
    kv_table_s *utility_belief_table;
    kv_clique_s *finding_clique;
    kv_control_s *evidence_control;
    kv_clique_s *assigned_clique;
    kv_control_s *potential_control;
    void *user_data;
    kv_node_s *next;
};

// Records come from _kv_allocate and go back with free().
static_assert(std::is_trivially_destructible_v<kv_domain_s>);
static_assert(std::is_trivially_destructible_v<kv_node_s>);

inline bool _kv_domain_is_class(const kv_domain_s *d)
{
    return d->class_collection != nullptr;
}

inline bool _kv_node_is_clone(const kv_node_s *n)
{
    return n->clone_source != nullptr;
}

inline bool _kv_node_is_discrete_chance_or_decision(const kv_node_s *n)
{
    return n->kind == kv_kind_discrete &&
           (n->category == kv_category_chance || n->category == kv_category_decision);
}

// The state of the node's hard evidence, or (size_t)-1: in a compiled domain
// the evidence as last propagated, otherwise the entered evidence.  Hard
// evidence has exactly one positive weight.
size_t _kv_node_chosen_state(const kv_node_s *n);
// The only state with a positive weight in f (k weights), or (size_t)-1
// when there is none or more than one (also for NULL).
size_t _kv_single_positive_state(const double *f, size_t k);
// The node's evidence as last propagated (one weight per state), or NULL when
// none has been propagated.
const double *_kv_node_propagated_evidence(const kv_node_s *n);

// Entered evidence: some weight other than 1.0 (discrete), or a value
// (continuous).
bool _kv_node_evidence_is_entered(const kv_node_s *n);
// Entered evidence that fixes the node: exactly one positive weight
// (discrete; a one-state node without evidence counts), or a value.
bool _kv_node_is_instantiated(const kv_node_s *n);

// Whether a number or interval node has state values, strictly increasing
// over all of them (one more for an interval node than it has states).
bool _kv_node_state_values_increase(const kv_node_s *n);

// The last simulation's samples no longer stand (a propagation, a reset or
// an edit).
void _kv_invalidate_simulation(kv_domain_s *d);

// Creates a node of any category, instance included (for class
// instantiation); no argument tests.  NULL with the error code on failure.
kv_node_s *_kv_new_node(kv_domain_s *d, kv_node_category_t category, kv_node_kind_t kind);

// Frees one node and everything it owns without touching other nodes' links
// or the domain's lists.
void _kv_free_node_record(kv_node_s *n);


// Decimal rendering of a size for log text, from the domain's ring of 8
// buffers; "HUGE" for (size_t)-1.
const char *_kv_print_size(kv_domain_s *d, size_t size);

// Writes printf-style text to the log stream, if one is set: 0, or io when
// the write fails.
int _kv_log(kv_domain_s *d, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Flushes the log stream: 0, or io (2) when flushing fails.
int _kv_domain_flush_log_file(kv_domain_s *d);

// Switches the whole process to the C locale.  Returns the name of the
// previous locale for _kv_restore_locale (owned by the caller), or NULL with
// locale or no_memory.
char *_kv_select_C_locale();
// Re-installs a locale saved by _kv_select_C_locale and frees the name.
void _kv_restore_locale(char *saved);

// True when name is a C identifier by the C locale's character classes
// (whatever the current locale): a letter or '_' first, then letters,
// digits or '_'.
bool _kv_is_c_identifier(const char *name);

// The node of the home with this name, or NULL.  Builds or grows the name
// index as needed; never fails (a lack of memory falls back to a scan).
kv_node_s *_kv_find_node_by_name(kv_domain_s *d, const char *name);
// Takes a named node out of the name index, if there is one.
void _kv_remove_from_name_index(kv_node_s *n);
// Frees the name index of a home.
void _kv_free_name_index(kv_domain_s *d);

// Names the node after name made a C identifier: each character that may
// not stand where it is becomes '_' (an empty name is "_"), and '_' is
// appended while another node has the result.  0 or the failure's code.
int _kv_set_converted_name(kv_node_s *n, const char *name);
// Makes every node name of the domain a valid C identifier: 0, or the code
// of the first failure.
int _kv_convert_node_names(kv_domain_s *d);
