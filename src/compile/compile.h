// The junction forest: cliques, junction trees and the links between them,
// and the operations of compilation that other source files share.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

#include "core/domain.h"
#include "table/control.h"

// A link from a clique to an adjacent one, with the control from this
// clique's tables to the separator tables of the link.
struct kv_neighbor_s {
    kv_clique_s *clique;
    kv_control_s *control;
    kv_neighbor_s *next;
};

struct kv_clique_s {
    size_t number;
    kv_domain_s *domain;
    kv_junction_tree_s *junction_tree;
    kv_neighbor_s *neighbors; // most recently added first
    kv_table_s *probability_table;
    kv_table_s *utility_table; // exactly when the domain has decisions or utilities
    int root_mark;
    // Set by a reset before evidence for a clique without potentials: its
    // slice counts as ones until the propagation first writes (or reads) it.
    int unit_table;
    kv_clique_s **neighbor_array; // cache of kv_clique_get_neighbors
    double factor;
    // The normaliser of the message this clique last sent in a collect.
    double collect_normalizer;
    size_t scratch[2];
    kv_clique_s *next;
    void *user_data;
    void *host_object; // host-language peer
};

// The form of a junction tree's tables (docs/propagation.md).  Whole: every
// clique and separator entry holds its current number.  Sliced: after
// operations on evidence slices the entries against the propagated hard
// evidence are stale (their zeros are not written), and so may be the dense
// tables of cliques that have a sparse form.  Every change of form or of
// the facts beside it is one of the transitions declared together in
// inference/propagate.h (_kv_jt_begin_propagation and the rest).
enum kv_tables_form_t : int {
    KV_TABLES_WHOLE = 0,
    KV_TABLES_SLICED = 1,
};

struct kv_tables_state_s {
    kv_tables_form_t form;
    // A clique table was handed out: the caller may read it at any time, so
    // the tree works on whole tables for good.
    int exposed;
    // The tables hold the priors of a full reset (no evidence): the sparse
    // form is made from them.
    int priors;
    // The sparse form has been made (the cliques where it pays have one);
    // sparse_active while the current propagation works on it.
    int sparse_built;
    int sparse_active;
    // After the reset before an evidence propagation: the separators count
    // as ones, whatever their data, until the next collect has passed each.
    int unit_separators;
    // An approximation changed the clique tables since the last reset.
    int approximated;
    // A small tree whose controls out of cliques map every entry flat (see
    // _kv_jt_make_flat): whole tables only, no slices or sparse forms.
    int flat;
};

// One level of a depth-first walk over a junction tree: the clique, the
// neighbour it was entered from, the next neighbour to visit and what the
// walk keeps for the clique.
struct kv_walk_frame_s {
    kv_clique_s *clique;
    kv_clique_s *parent;
    kv_neighbor_s *next;
    void *data;
};

struct kv_pass_cache_s;

struct kv_junction_tree_s {
    size_t number;
    kv_domain_s *domain;
    kv_junction_tree_s *next;
    kv_clique_s *root;
    // Members, fixed by compilation: the cliques in the domain's clique
    // order, the same in a walk from the root (each clique before its
    // subtree, neighbours in list order), and every node whose junction
    // tree this is, in the domain's node order; all NULL-terminated.
    kv_clique_s **cliques;
    kv_clique_s **walk_order;
    kv_node_s **nodes;
    // The nodes whose tables go into the tree's cliques, in the order they
    // are multiplied in: children before parents (a depth-first walk from
    // each node in domain order); decision tables are not used.
    kv_node_s **potential_order;
    size_t clique_count;
    // The frames of the walks over the tree, one per clique (_kv_jt_walk).
    kv_walk_frame_s *walk_stack;
    size_t evidence_to_propagate;
    int evidence_propagated;
    int likelihood_propagated;
    int cg_evidence_propagated;
    int tables_to_propagate;
    // While a collect passes messages on several threads its normalisers
    // go into the step constants afterwards, in walk order.
    int normalizers_deferred;
    // The last collect went on several threads: the next propagation wakes
    // the workers as it starts.
    int collect_split;
    // The entries of the clique tables, once asked for (0 before).
    double clique_entries;
    // What the threaded passes keep between propagations (made on first
    // use, freed with the tree).
    kv_pass_cache_s *pass_cache;
    int equilibrium;
    int evidence_mode;
    double step_constant;
    double normalization_constant;
    double step_log_constant;
    double log_normalization_constant;
    double conflict;
    double approximation_constant;
    // Beliefs of the tree's discrete chance nodes, in domain node order, as
    // the last reset without evidence left them; null when not known.
    double *prior_beliefs;
    kv_tables_state_s tables;
    // The probability of the configuration the last simulation drew.
    double sampled_probability;
    void *user_data;
    void *host_object; // host-language peer
};

// A fill-in edge recorded by a user-specified triangulation.
struct kv_fill_in_s {
    kv_node_s *partner;
    kv_fill_in_s *next;
};

static_assert(std::is_trivially_destructible_v<kv_clique_s>);
static_assert(std::is_trivially_destructible_v<kv_junction_tree_s>);

// --- driver and moral graph ----------------------------------------------
int _kv_domain_compile(kv_domain_s *d, kv_progress_t progress);
int _kv_domain_moralize(kv_domain_s *d);
bool _kv_domain_is_triangulated(const kv_domain_s *d);
// Compiles a triangulated domain whose cliques already stand in forest order
// and are numbered so (as a saved compiled domain keeps them): the junction
// forest, and the quantitative half when asked.  The caller undoes a failure.
int _kv_compile_saved_forest(kv_domain_s *d, bool quantitative);

// --- triangulation --------------------------------------------------------
// The triangulation proper after moralisation (method 15..18): elimination
// numbers and the domain's cliques.
int _kv_triangulate_domain(kv_domain_s *d, int method);
// Method 19 on a prime component that is not complete: its nodes, their
// adjacency by position in the list, and the caller's vertex for each; the
// cliques found are appended as sorted lists of the caller's vertices, and
// split tells whether the component had too many separators and was split
// (so that the result is not known to be optimal).  graph_counter numbers
// the graphs of one triangulation in its log.
int _kv_triangulate_optimally(kv_domain_s *d, const std::vector<kv_node_s *> &nodes,
                              const std::vector<std::vector<int>> &adjacency,
                              const std::vector<int> &vertices, size_t *graph_counter,
                              std::vector<std::vector<int>> &cliques, bool *split);
// A cost in the log: "HUGE" above the largest 32-bit count, else the
// truncated integer.
const char *_kv_print_cost(kv_domain_s *d, double cost);
// Completes the unnumbered neighbours of x with fill-in links, logging them.
int _kv_complete_unnumbered_neighbors(kv_node_s *x);
// Weight of a node set: product of the discrete state counts times
// k(k+3)/2 + 1 for k continuous members.
double _kv_weight_of_nodes(kv_node_s *const *nodes, size_t n);

// --- junction forest ------------------------------------------------------
// The cliques holding each node, in clique-list order, so that the smallest
// clique holding a set of nodes is found among the cliques of one of them.
// Scratch of one compilation step.
struct kv_clique_index_s;
kv_clique_index_s *_kv_new_clique_index(kv_domain_s *d);
void _kv_free_clique_index(kv_clique_index_s *index);
// The same clique as _kv_select_clique over the whole list (smallest, the
// first on ties), or NULL.
kv_clique_s *_kv_index_select_clique(const kv_clique_index_s *index, kv_node_s *const *nodes);

kv_clique_s *_kv_new_clique(kv_domain_s *d);
int _kv_make_clique(kv_table_s *t);
int _kv_add_neighbor(kv_clique_s *c, kv_clique_s *neighbor, kv_control_s *control);
kv_junction_tree_s *_kv_new_junction_tree(kv_clique_s *root);
// The smallest clique from first up to (excluding) stop that contains every
// node of the list, or NULL.
kv_clique_s *_kv_select_clique(kv_clique_s *first, kv_node_s *const *nodes, kv_clique_s *stop);
kv_clique_s *_kv_select_clique2(kv_clique_s *first, kv_junction_tree_s *jt, kv_clique_s *stop);
bool _kv_subset_of_clique(kv_node_s *const *nodes, const kv_clique_s *c);
// Fills every tree's clique lists and walk stack (once the forest is
// linked), or its node list (once every node has its tree).
int _kv_index_tree_cliques(kv_domain_s *d);
int _kv_index_tree_nodes(kv_domain_s *d);

// A depth-first walk of jt from root, neighbours in list order, on the
// tree's walk stack instead of the call stack (trees may be tens of
// thousands of cliques deep).  down(frame) on entering a clique returns 0
// to visit its subtree, kv_walk_skip to pass it by, or an error; up(frame,
// parent frame or NULL) on leaving a clique returns 0 or an error.  An
// error ends the walk: abandon(frame) is then called for every frame still
// on the stack, innermost first, and the error returned.
constexpr int kv_walk_skip = -1;
struct kv_walk_nothing {
    void operator()(kv_walk_frame_s &) const {}
};
template <class Down, class Up, class Abandon = kv_walk_nothing>
int _kv_jt_walk(kv_junction_tree_s *jt, kv_clique_s *root, Down &&down, Up &&up,
                Abandon &&abandon = Abandon())
{
    kv_walk_frame_s *stack = jt->walk_stack;
    size_t top = 0;
    stack[0] = {root, nullptr, root->neighbors, nullptr};
    int status = down(stack[0]);
    if (status == kv_walk_skip)
        return 0;
    while (!status) {
        kv_walk_frame_s &f = stack[top];
        kv_neighbor_s *cell = f.next;
        while (cell && cell->clique == f.parent)
            cell = cell->next;
        if (cell) {
            f.next = cell->next;
            kv_walk_frame_s &child = stack[top + 1];
            child = {cell->clique, f.clique, cell->clique->neighbors, nullptr};
            status = down(child);
            if (status == kv_walk_skip)
                status = 0;
            else
                ++top; // entered, or failed: abandoned with the rest
            continue;
        }
        status = up(f, top ? &stack[top - 1] : nullptr);
        if (status)
            break;
        if (top == 0)
            return 0;
        --top;
    }
    for (size_t i = top + 1; i-- > 0;)
        abandon(stack[i]);
    return status;
}

// Creates the cliques from the elimination order if there are none,
// reorders them (when asked) and reports their sizes.
int _kv_prepare_cliques(kv_domain_s *d, bool reorder);
int _kv_build_junction_forest(kv_domain_s *d);
int _kv_create_node_data_structures(kv_domain_s *d, const kv_clique_index_s *index);
// Writes names separated by ", ", wrapping lines at width.
int _kv_write_node_list_to_log(kv_domain_s *d, kv_node_s *const *nodes, size_t n,
                               const char *indent, size_t width);

// --- potentials and initialisation --------------------------------------
// The sum of n numbers, accumulated in extended precision.
double _kv_calculate_sum(const double *data, size_t n);
int _kv_construct_derived_potentials(kv_domain_s *d);
int _kv_assign_potentials(kv_domain_s *d, const kv_clique_index_s *index);
int _kv_jt_reset_inference_engine(kv_junction_tree_s *jt, int keep_evidence);
// The reset before a propagation of evidence in a network of discrete
// chance nodes: when the prior beliefs are known from an earlier reset, the
// clique tables get the initial potentials and the separators ones, without
// the propagation of a full reset (equilibrium none); the propagation that
// follows makes them consistent with the evidence.  Otherwise, or with no
// evidence to propagate, the full reset.
int _kv_jt_reset_for_evidence(kv_junction_tree_s *jt);
// Frees the copy of the tree tables that save-to-memory made.
void _kv_domain_free_memory_tables(kv_domain_s *d);
// Frees the junction forest and the compilation data of every node (and
// the triangulation too when asked).  Never fails.
void _kv_uncompile_domain_safely(kv_domain_s *d, int also_triangulation);

namespace kv {
// Test hook: the largest prime component whose triangulation keeps a bit
// matrix of its edges (default 4096 vertices); gives the previous limit.
size_t set_triangulation_matrix_limit(size_t vertices);
} // namespace kv
