/*
 * kelvo.h - the public C interface of the Kelvo inference engine.
 *
 * Every function reports its outcome as the calling thread's last error code
 * (read it with kv_error_code) and returns a value that shows failure at a
 * glance: a nonzero status, NULL, (size_t)-1, -1.0, -1 for boolean queries, or
 * the error member of an enumeration.  A successful call leaves kv_error_none.
 * Objects and lists returned by getters belong to the object that returned
 * them unless a function says otherwise.
 */
#ifndef KELVO_H
#define KELVO_H

#include <stddef.h>
#include <stdio.h>

#if defined(_WIN32)
#define KV_API __declspec(dllexport)
#elif defined(__GNUC__)
#define KV_API __attribute__((visibility("default")))
#else
#define KV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Opaque object types.  A class is a domain record that belongs to a class
 * collection, so a class may be passed wherever a domain is accepted.
 */
typedef struct kv_domain_s *kv_domain_t;
typedef struct kv_domain_s *kv_class_t;
typedef struct kv_class_collection_s *kv_class_collection_t;
typedef struct kv_node_s *kv_node_t;
typedef struct kv_table_s *kv_table_t;
typedef struct kv_clique_s *kv_clique_t;
typedef struct kv_junction_tree_s *kv_junction_tree_t;
typedef struct kv_expression_s *kv_expression_t;
typedef struct kv_model_s *kv_model_t;
typedef struct kv_attribute_s *kv_attribute_t;
typedef struct kv_uncertain_edge_s *kv_uncertain_edge_t;
typedef struct kv_ambiguous_region_s *kv_ambiguous_region_t;
typedef struct kv_solution_s *kv_solution_t;

/* Scalar types. */
typedef int kv_status_t;          /* 0 on success, else the error code */
typedef size_t kv_count_t;        /* (size_t)-1 on failure */
typedef size_t kv_index_t;        /* (size_t)-1 on failure */
typedef double kv_number_t;
typedef double kv_double_t;
typedef int kv_boolean_t;         /* 1 true, 0 false, -1 on error */
typedef int kv_coordinate_t;
typedef const char *kv_string_t;

/* ---------------------------------------------------------------------------
 * Enumerations.  The numbers are fixed: files and bindings store them.
 */
typedef enum {
    kv_error_none = 0,
    kv_error_usage = 1,
    kv_error_io = 2,
    kv_error_no_memory = 3,
    kv_error_cg_influence_diagrams_not_supported = 4,
    kv_error_twice = 5,
    kv_error_invalid_name = 6,
    kv_error_cyclic_network = 7,
    kv_error_size_too_large = 8,
    kv_error_fast_retraction = 9,
    kv_error_rounding = 10,
    kv_error_invalid_password = 11,
    kv_error_bad_file = 12,
    kv_error_bad_version = 13,
    kv_error_format = 14,
    kv_error_not_compiled = 15,
    kv_error_zero_sum = 16,
    kv_error_negative_probability = 17,
    kv_error_chain_graph = 18,
    kv_error_enumeration = 19,
    kv_error_decision_order = 20,
    kv_error_no_equilibrium = 21,
    kv_error_inconsistency_or_underflow = 22,
    kv_error_overflow = 23,
    kv_error_low_density = 24,
    kv_error_zero_variance = 25,
    kv_error_cg_evidence_incorporated = 26,
    kv_error_normalization = 27,
    kv_error_compressed = 28,
    kv_error_table_too_large = 29,
    kv_error_no_value = 30,
    kv_error_parse = 31,
    kv_error_locale = 32,
    kv_error_invalid_expression = 33,
    kv_error_syntax = 34,
    kv_error_division_by_zero = 35,
    kv_error_inappropriate_arguments = 36,
    kv_error_computation_failed = 37,
    kv_error_insufficient_state_range = 38,
    kv_error_invalid_state_values = 39,
    kv_error_cyclic_instance_hierarchy = 40,
    kv_error_illegal_binding = 41,
    /* 42 to 44 are unused */
    kv_error_jni = 45,
    kv_error_error = 46
} kv_error_t;

typedef enum {
    kv_category_error = -1,
    kv_category_instance = 6,
    kv_category_chance = 7,
    kv_category_decision = 8,
    kv_category_utility = 9
} kv_node_category_t;

typedef enum {
    kv_kind_discrete = 0,
    kv_kind_continuous = 1,
    kv_kind_error = 2
} kv_node_kind_t;

typedef enum {
    kv_subtype_label = 30,
    kv_subtype_boolean = 31,
    kv_subtype_number = 32,
    kv_subtype_interval = 33,
    kv_subtype_error = 34
} kv_node_subtype_t;

typedef enum {
    kv_tm_clique_size = 15,
    kv_tm_clique_weight = 16,
    kv_tm_fill_in_size = 17,
    kv_tm_fill_in_weight = 18,
    kv_tm_optimal = 19
} kv_triangulation_method_t;

typedef enum {
    kv_equilibrium_none = 10,
    kv_equilibrium_sum = 11,
    kv_equilibrium_max = 12
} kv_equilibrium_t;

typedef enum {
    kv_mode_normal = 20,
    kv_mode_fast_retraction = 21
} kv_evidence_mode_t;

typedef enum {
    kv_table_type_probability = 0,
    kv_table_type_utility = 1,
    kv_table_type_experience = 2,
    kv_table_type_fading = 3
} kv_table_type_t;

typedef enum {
    kv_constraint_none = 100,
    kv_constraint_edge_required = 101,
    kv_constraint_forward_edge_required = 102,
    kv_constraint_backward_edge_required = 103,
    kv_constraint_edge_forbidden = 104,
    kv_constraint_forward_edge_forbidden = 105,
    kv_constraint_backward_edge_forbidden = 106,
    kv_constraint_error = 107
} kv_edge_constraint_t;

typedef enum {
    kv_operator_Normal = 60,
    kv_operator_Beta = 61,
    kv_operator_Gamma = 62,
    kv_operator_Exponential = 63,
    kv_operator_Weibull = 64,
    kv_operator_Uniform = 65,
    kv_operator_Binomial = 66,
    kv_operator_Poisson = 67,
    kv_operator_NegativeBinomial = 68,
    kv_operator_Geometric = 69,
    kv_operator_Distribution = 70,
    kv_operator_NoisyOR = 71,
    kv_operator_min = 72,
    kv_operator_max = 73,
    kv_operator_log = 74,
    kv_operator_log2 = 75,
    kv_operator_log10 = 76,
    kv_operator_exp = 77,
    kv_operator_sin = 78,
    kv_operator_cos = 79,
    kv_operator_tan = 80,
    kv_operator_sinh = 81,
    kv_operator_cosh = 82,
    kv_operator_tanh = 83,
    kv_operator_sqrt = 84,
    kv_operator_abs = 85,
    kv_operator_floor = 86,
    kv_operator_ceil = 87,
    kv_operator_mod = 88,
    kv_operator_if = 89,
    kv_operator_and = 90,
    kv_operator_or = 91,
    kv_operator_not = 92,
    kv_operator_add = 93,
    kv_operator_subtract = 94,
    kv_operator_multiply = 95,
    kv_operator_divide = 96,
    kv_operator_power = 97,
    kv_operator_negate = 98,
    kv_operator_equals = 99,
    kv_operator_less_than = 100,
    kv_operator_greater_than = 101,
    kv_operator_not_equals = 102,
    kv_operator_less_than_or_equals = 103,
    kv_operator_greater_than_or_equals = 104,
    kv_operator_number = 105,
    kv_operator_label = 106,
    kv_operator_node = 107,
    kv_operator_boolean = 108,
    kv_operator_error = 109
} kv_operator_t;

/* ---------------------------------------------------------------------------
 * Callbacks.
 */
/* Parse errors: position is the line number (files) or the number of
 * characters consumed (strings). */
typedef void (*kv_error_handler_t)(size_t position, kv_string_t message, void *data);
typedef void (*kv_error_handler2_t)(size_t position, kv_string_t message);
/* Called by the class parser for a class it does not know yet. */
typedef void (*kv_class_loader_t)(kv_string_t name, kv_class_collection_t cc, void *data);
/* Called with the name of each compilation stage as it starts. */
typedef void (*kv_progress_t)(kv_string_t stage);

/* ---------------------------------------------------------------------------
 * Errors.
 */
/* The calling thread's last error code; 0 in a thread that has made no call. */
KV_API kv_error_t kv_error_code(void);
/* Short name of an error code; "no_such_error" for an unknown code. */
KV_API kv_string_t kv_error_name(kv_error_t code);
/* One-sentence description of an error code; "No such error." when unknown. */
KV_API kv_string_t kv_error_description(kv_error_t code);

/* ---------------------------------------------------------------------------
 * Domains.
 */
/* A new empty domain, or NULL (no_memory). */
KV_API kv_domain_t kv_new_domain(void);
/* Frees the domain and everything it owns, and closes its log stream. */
KV_API kv_status_t kv_domain_delete(kv_domain_t domain);

/* Sets the stream that receives the domain's log text (NULL: no logging).
 * The domain closes the stream when it is deleted; a stream replaced by
 * another one is not closed. */
KV_API kv_status_t kv_domain_set_log_file(kv_domain_t domain, FILE *log_file);
KV_API kv_status_t kv_class_set_log_file(kv_class_t cls, FILE *log_file);

/* Name of the file the domain was read from, or NULL. */
KV_API kv_string_t kv_domain_get_file_name(kv_domain_t domain);
KV_API kv_string_t kv_domain_get_filename(kv_domain_t domain);
KV_API kv_string_t kv_class_get_file_name(kv_class_t cls);

/* Display size of the nodes. get: both out-arguments non-NULL and distinct. */
KV_API kv_status_t kv_domain_set_node_size(kv_domain_t domain, size_t width, size_t height);
KV_API kv_status_t kv_domain_get_node_size(kv_domain_t domain, size_t *width, size_t *height);
KV_API kv_status_t kv_class_set_node_size(kv_class_t cls, size_t width, size_t height);
KV_API kv_status_t kv_class_get_node_size(kv_class_t cls, size_t *width, size_t *height);

/* Node counts of a domain, (size_t)-1 on error. */
KV_API kv_count_t kv_domain_get_number_of_nodes(kv_domain_t domain);
KV_API kv_count_t kv_domain_get_number_of_discrete_nodes(kv_domain_t domain);
KV_API kv_count_t kv_domain_get_number_of_continuous_nodes(kv_domain_t domain);
KV_API kv_count_t kv_domain_get_number_of_chance_nodes(kv_domain_t domain);
KV_API kv_count_t kv_domain_get_number_of_decision_nodes(kv_domain_t domain);
KV_API kv_count_t kv_domain_get_number_of_utility_nodes(kv_domain_t domain);

/* The newest node; walk on with kv_node_get_next (newest first). */
KV_API kv_node_t kv_domain_get_first_node(kv_domain_t domain);
KV_API kv_node_t kv_class_get_first_node(kv_class_t cls);
KV_API kv_node_t kv_node_get_next(kv_node_t node);

/* The node with this name, or NULL with kv_error_none when there is none. */
KV_API kv_node_t kv_domain_get_node_by_name(kv_domain_t domain, kv_string_t name);
KV_API kv_node_t kv_class_get_node_by_name(kv_class_t cls, kv_string_t name);

/* ---------------------------------------------------------------------------
 * Nodes.
 */
/* A new node of category chance, decision or utility and kind discrete or
 * continuous.  Decisions and utilities are discrete; a domain cannot hold
 * both continuous nodes and decisions or utilities
 * (cg_influence_diagrams_not_supported). */
KV_API kv_node_t kv_domain_new_node(kv_domain_t domain, kv_node_category_t category,
                                    kv_node_kind_t kind);
KV_API kv_node_t kv_class_new_node(kv_class_t cls, kv_node_category_t category,
                                   kv_node_kind_t kind);
/* Deletes the node with its tables and links; the indices of newer nodes
 * move down by one. */
KV_API kv_status_t kv_node_delete(kv_node_t node);

KV_API kv_node_category_t kv_node_get_category(kv_node_t node);
KV_API kv_node_kind_t kv_node_get_kind(kv_node_t node);
/* The home domain; kv_error_usage when the node belongs to a class. */
KV_API kv_domain_t kv_node_get_domain(kv_node_t node);
KV_API kv_domain_t kv_node_get_home_domain(kv_node_t node);
/* The home class; kv_error_usage when the node belongs to a domain. */
KV_API kv_class_t kv_node_get_home_class(kv_node_t node);

/* Names are C identifiers, unique within the home (twice, invalid_name). */
KV_API kv_status_t kv_node_set_name(kv_node_t node, kv_string_t name);
/* The node's name; an unnamed node is given a generated one ("C3", ...). */
KV_API kv_string_t kv_node_get_name(kv_node_t node);

/* Free text shown by editors; "" when none was set. */
KV_API kv_status_t kv_node_set_label(kv_node_t node, kv_string_t label);
KV_API kv_string_t kv_node_get_label(kv_node_t node);

KV_API kv_status_t kv_node_set_position(kv_node_t node, kv_coordinate_t x, kv_coordinate_t y);
KV_API kv_status_t kv_node_get_position(kv_node_t node, kv_coordinate_t *x, kv_coordinate_t *y);

/* NULL-terminated parent and child lists, owned by the node. */
KV_API kv_node_t *kv_node_get_parents(kv_node_t node);
KV_API kv_node_t *kv_node_get_children(kv_node_t node);

/* Structure edits.  Each keeps the child's tables in step (a new discrete
 * parent varies slowest, a removed one leaves the slice of its first state)
 * and uncompiles the domain.  A utility node may be a child but never a
 * parent; a discrete node cannot have a continuous parent; a link that would
 * close a directed cycle gives cyclic_network. */
KV_API kv_status_t kv_node_add_parent(kv_node_t child, kv_node_t parent);
KV_API kv_status_t kv_node_remove_parent(kv_node_t child, kv_node_t parent);
/* Replaces old_parent by a compatible new_parent (same category, kind,
 * states and state labels or values); the table numbers stay. */
KV_API kv_status_t kv_node_switch_parent(kv_node_t child, kv_node_t old_parent,
                                         kv_node_t new_parent);
/* Reverses the arc between two chance nodes of the same kind (in either
 * direction), changing both tables so that the joint distribution stays. */
KV_API kv_status_t kv_node_reverse_edge(kv_node_t node1, kv_node_t node2);

/* d-separation.  With a NULL evidence list the nodes with evidence entered
 * count, blocking only when the evidence instantiates them. */
/* Every node d-connected to the sources given the evidence, sources
 * included; NULL-terminated, owned by the caller (free it with free()). */
KV_API kv_node_t *kv_domain_get_d_connected_nodes(kv_domain_t domain, kv_node_t *source,
                                                  kv_node_t *hard);
/* 1 if no node of list1 is d-connected to list2 given the evidence. */
KV_API kv_boolean_t kv_domain_are_nodes_d_separated(kv_domain_t domain, kv_node_t *list1,
                                                    kv_node_t *list2, kv_node_t *hard);
KV_API kv_boolean_t kv_domain_are_nodes_separated(kv_domain_t domain, kv_node_t node1,
                                                  kv_node_t node2, kv_node_t *hard);

/* States of discrete chance and decision nodes. */
KV_API kv_count_t kv_node_get_number_of_states(kv_node_t node);
KV_API kv_status_t kv_node_set_number_of_states(kv_node_t node, size_t count);
/* The state's label, "" when it has none. */
KV_API kv_string_t kv_node_get_state_label(kv_node_t node, size_t state);
KV_API kv_status_t kv_node_set_state_label(kv_node_t node, size_t state, kv_string_t label);
/* State values of number nodes (states 0..k-1) and interval nodes (interval
 * ends 0..k; the outer ends default to -DBL_MAX and DBL_MAX). */
KV_API kv_number_t kv_node_get_state_value(kv_node_t node, size_t state);
KV_API kv_status_t kv_node_set_state_value(kv_node_t node, size_t state, kv_number_t value);
KV_API kv_node_subtype_t kv_node_get_subtype(kv_node_t node);
KV_API kv_status_t kv_node_set_subtype(kv_node_t node, kv_node_subtype_t subtype);

/* ---------------------------------------------------------------------------
 * Tables: potentials over node lists.  Discrete data has one number per
 * configuration of the discrete nodes in row-major order (the last node
 * varies fastest).
 */
/* The node's conditional probability table (chance nodes) or utility table
 * (utility nodes), made on demand and owned by the node: discrete parents,
 * the node, continuous parents. */
KV_API kv_table_t kv_node_get_table(kv_node_t node);
/* The table's nodes (discrete nodes first), owned by the table. */
KV_API kv_node_t *kv_table_get_nodes(kv_table_t table);
/* The discrete data, allocated and initialised on first request. */
KV_API kv_number_t *kv_table_get_data(kv_table_t table);
/* Number of discrete configurations; (size_t)-1 with size_too_large when the
 * true size does not fit. */
KV_API size_t kv_table_get_size(kv_table_t table);
/* Moments of continuous head nodes in configuration i of a table without
 * tail nodes; -1.0 on error. */
KV_API kv_number_t kv_table_get_mean(kv_table_t table, size_t i, kv_node_t node);
KV_API kv_number_t kv_table_get_covariance(kv_table_t table, size_t i, kv_node_t node1,
                                           kv_node_t node2);
KV_API kv_number_t kv_table_get_variance(kv_table_t table, size_t i, kv_node_t node);
/* Frees a caller-owned table or an experience or fading table; a node's own
 * table and the compiler's tables stay (the call returns 0). */
KV_API kv_status_t kv_table_delete(kv_table_t table);
/* Reorders the nodes of a node table or a caller-owned table, permuting its
 * data; the node a conditional table belongs to keeps its position. */
KV_API kv_status_t kv_table_reorder_nodes(kv_table_t table, kv_node_t *order);
/* The density at x of a table with one continuous head node: a mixture of
 * Gaussians weighted by the table's discrete data. */
KV_API kv_number_t kv_table_compute_density(kv_table_t table, kv_number_t x);
KV_API kv_status_t kv_table_set_user_data(kv_table_t table, void *data);
KV_API void *kv_table_get_user_data(kv_table_t table);

/* Conditional-Gaussian parameters of a continuous chance node for
 * configuration i of its discrete parents: intercept alpha, regression
 * coefficient beta on a continuous parent, conditional variance gamma. */
KV_API kv_number_t kv_node_get_alpha(kv_node_t node, size_t i);
KV_API kv_status_t kv_node_set_alpha(kv_node_t node, kv_number_t alpha, size_t i);
KV_API kv_number_t kv_node_get_beta(kv_node_t node, kv_node_t parent, size_t i);
KV_API kv_status_t kv_node_set_beta(kv_node_t node, kv_number_t beta, kv_node_t parent, size_t i);
KV_API kv_number_t kv_node_get_gamma(kv_node_t node, size_t i);
KV_API kv_status_t kv_node_set_gamma(kv_node_t node, kv_number_t gamma, size_t i);

/* Large table operations may split their work among up to `level` threads
 * (1: the calling thread only), giving each at least `size` units of work. */
KV_API kv_status_t kv_domain_set_grain_size(kv_domain_t domain, size_t size);
KV_API size_t kv_domain_get_grain_size(kv_domain_t domain);
KV_API kv_status_t kv_domain_set_concurrency_level(kv_domain_t domain, size_t level);
KV_API size_t kv_domain_get_concurrency_level(kv_domain_t domain);

/* ---------------------------------------------------------------------------
 * Compilation: moral graph, triangulation, junction forest, initial tables.
 */
/* Compiles the domain (triangulating it with the minimum fill-in weight
 * heuristic unless it is triangulated already).  A failed compilation leaves
 * the domain as it was. */
KV_API kv_status_t kv_domain_compile(kv_domain_t domain);
KV_API kv_status_t kv_domain_compile_qualitatively(kv_domain_t domain, kv_progress_t progress);
KV_API kv_status_t kv_domain_compile_quantitatively(kv_domain_t domain, kv_progress_t progress);
KV_API kv_boolean_t kv_domain_is_compiled(kv_domain_t domain);
KV_API kv_boolean_t kv_domain_is_triangulated(kv_domain_t domain);
/* Returns the domain to the plain state (no triangulation). */
KV_API kv_status_t kv_domain_uncompile(kv_domain_t domain);
KV_API kv_status_t kv_domain_triangulate(kv_domain_t domain, kv_triangulation_method_t method);
/* Triangulates by the given elimination order (first eliminated first),
 * which must hold every chance and decision node once. */
KV_API kv_status_t kv_domain_triangulate_with_order(kv_domain_t domain, kv_node_t *order);
/* Method 19 enumerates at most this many minimal separators of a graph
 * before splitting it along one (0, the default: no limit). */
KV_API kv_status_t kv_domain_set_max_number_of_separators(kv_domain_t domain, size_t count);
KV_API size_t kv_domain_get_max_number_of_separators(kv_domain_t domain);
/* The elimination order of a triangulated domain, owned by the domain. */
KV_API kv_node_t *kv_domain_get_elimination_order(kv_domain_t domain);
/* Sum over the cliques of their table sizes (CG entries included), or
 * (size_t)-1 when a size does not fit. */
KV_API size_t kv_domain_get_jt_cost(kv_domain_t domain);
/* Brings every junction tree back to its initial tables. */
KV_API kv_status_t kv_domain_reset_inference_engine(kv_domain_t domain);
/* Resets the inference engine and retracts all evidence. */
KV_API kv_status_t kv_domain_initialize(kv_domain_t domain);
/* Keeps a copy of all junction-tree tables so that resets restore it. */
KV_API kv_status_t kv_domain_save_to_memory(kv_domain_t domain);
KV_API kv_status_t kv_domain_reclaim_memory_tables(kv_domain_t domain);

/* The junction forest of a compiled domain; lists are owned by the forest. */
KV_API kv_junction_tree_t kv_domain_get_first_junction_tree(kv_domain_t domain);
KV_API kv_junction_tree_t kv_jt_get_next(kv_junction_tree_t jt);
KV_API kv_clique_t kv_jt_get_root(kv_junction_tree_t jt);
KV_API kv_clique_t *kv_jt_get_cliques(kv_junction_tree_t jt);
KV_API kv_clique_t kv_domain_get_first_clique(kv_domain_t domain);
KV_API kv_clique_t kv_clique_get_next(kv_clique_t clique);
KV_API size_t kv_domain_get_number_of_cliques(kv_domain_t domain);
KV_API kv_junction_tree_t kv_clique_get_junction_tree(kv_clique_t clique);
KV_API kv_node_t *kv_clique_get_members(kv_clique_t clique);
KV_API size_t kv_clique_get_number_of_members(kv_clique_t clique);
KV_API kv_clique_t *kv_clique_get_neighbors(kv_clique_t clique);
KV_API size_t kv_clique_get_number_of_neighbors(kv_clique_t clique);
KV_API kv_table_t kv_clique_get_probability_table(kv_clique_t clique);
KV_API kv_table_t kv_clique_get_utility_table(kv_clique_t clique);
KV_API kv_status_t kv_clique_set_user_data(kv_clique_t clique, void *data);
KV_API void *kv_clique_get_user_data(kv_clique_t clique);
KV_API kv_status_t kv_jt_set_user_data(kv_junction_tree_t jt, void *data);
KV_API void *kv_jt_get_user_data(kv_junction_tree_t jt);
/* ---------------------------------------------------------------------------
 * Evidence.  Entered evidence lives on the nodes; propagation copies it into
 * the junction forest.
 */
KV_API kv_status_t kv_node_select_state(kv_node_t node, size_t state);
/* Sets one weight of the node's finding vector (weights start at 1.0). */
KV_API kv_status_t kv_node_enter_finding(kv_node_t node, size_t state, kv_number_t value);
KV_API kv_status_t kv_node_enter_value(kv_node_t node, kv_number_t value);
KV_API kv_status_t kv_node_retract_findings(kv_node_t node);
KV_API kv_status_t kv_domain_retract_findings(kv_domain_t domain);
KV_API kv_number_t kv_node_get_entered_finding(kv_node_t node, size_t state);
KV_API kv_number_t kv_node_get_propagated_finding(kv_node_t node, size_t state);
KV_API kv_number_t kv_node_get_entered_value(kv_node_t node);
KV_API kv_number_t kv_node_get_propagated_value(kv_node_t node);
KV_API kv_boolean_t kv_node_evidence_is_entered(kv_node_t node);
KV_API kv_boolean_t kv_node_likelihood_is_entered(kv_node_t node);
KV_API kv_boolean_t kv_node_is_instantiated(kv_node_t node);
/* The state of entered hard evidence, or (size_t)-1. */
KV_API kv_index_t kv_node_get_entered_state(kv_node_t node);
KV_API kv_boolean_t kv_node_evidence_is_propagated(kv_node_t node);
KV_API kv_boolean_t kv_node_likelihood_is_propagated(kv_node_t node);
KV_API kv_boolean_t kv_node_evidence_to_propagate(kv_node_t node);
KV_API kv_boolean_t kv_node_evidence_to_retract(kv_node_t node);
KV_API kv_boolean_t kv_node_is_consistent(kv_node_t node);
KV_API kv_boolean_t kv_jt_evidence_to_propagate(kv_junction_tree_t jt);
KV_API kv_boolean_t kv_domain_evidence_to_propagate(kv_domain_t domain);
KV_API kv_boolean_t kv_jt_evidence_is_propagated(kv_junction_tree_t jt);
KV_API kv_boolean_t kv_jt_likelihood_is_propagated(kv_junction_tree_t jt);
KV_API kv_boolean_t kv_jt_cg_evidence_is_propagated(kv_junction_tree_t jt);
KV_API kv_boolean_t kv_domain_evidence_is_propagated(kv_domain_t domain);
KV_API kv_boolean_t kv_domain_likelihood_is_propagated(kv_domain_t domain);
KV_API kv_boolean_t kv_domain_cg_evidence_is_propagated(kv_domain_t domain);
/* Marks the node's table as changed: the next propagation starts anew. */
KV_API kv_status_t kv_node_touch_table(kv_node_t node);
KV_API kv_boolean_t kv_jt_tables_to_propagate(kv_junction_tree_t jt);
KV_API kv_boolean_t kv_domain_tables_to_propagate(kv_domain_t domain);
KV_API kv_junction_tree_t kv_node_get_junction_tree(kv_node_t node);

/* ---------------------------------------------------------------------------
 * Propagation and results.
 */
/* Brings every junction tree into equilibrium with the entered evidence:
 * sum (marginals) or max (max-marginals), in normal mode or fast retraction
 * (each node's belief as if its own evidence were absent). */
KV_API kv_status_t kv_domain_propagate(kv_domain_t domain, kv_equilibrium_t equilibrium,
                                       kv_evidence_mode_t mode);
KV_API kv_status_t kv_jt_propagate(kv_junction_tree_t jt, kv_equilibrium_t equilibrium,
                                   kv_evidence_mode_t mode);
KV_API kv_status_t kv_clique_propagate(kv_clique_t clique, kv_equilibrium_t equilibrium,
                                       kv_evidence_mode_t mode);
KV_API kv_boolean_t kv_domain_equilibrium_is(kv_domain_t domain, kv_equilibrium_t equilibrium);
KV_API kv_boolean_t kv_jt_equilibrium_is(kv_junction_tree_t jt, kv_equilibrium_t equilibrium);
KV_API kv_boolean_t kv_domain_evidence_mode_is(kv_domain_t domain, kv_evidence_mode_t mode);
KV_API kv_boolean_t kv_jt_evidence_mode_is(kv_junction_tree_t jt, kv_evidence_mode_t mode);
KV_API kv_number_t kv_node_get_belief(kv_node_t node, size_t state);
KV_API kv_number_t kv_node_get_expected_utility(kv_node_t node, size_t state);
/* Continuous chance nodes: the observed value and 0.0 once observed. */
KV_API kv_number_t kv_node_get_mean(kv_node_t node);
KV_API kv_number_t kv_node_get_variance(kv_node_t node);
/* The marginal of an unobserved continuous chance node as a mixture over the
 * discrete configurations it depends on: weights, means and variances.
 * Owned by the caller (kv_table_delete). */
KV_API kv_table_t kv_node_get_distribution(kv_node_t node);
/* The probability of all propagated evidence, and its natural logarithm
 * (1.0 on error, as a logarithm can take any other value). */
KV_API kv_number_t kv_domain_get_normalization_constant(kv_domain_t domain);
KV_API kv_number_t kv_domain_get_log_normalization_constant(kv_domain_t domain);
KV_API kv_number_t kv_jt_get_conflict(kv_junction_tree_t jt);
KV_API kv_number_t kv_domain_get_conflict(kv_domain_t domain);
KV_API kv_number_t kv_clique_get_conflict(kv_clique_t clique);
KV_API kv_clique_t kv_node_get_finding_clique(kv_node_t node);
/* Approximation of a freshly propagated network of chance nodes: in every
 * clique the entries below delta = epsilon / 2^k (the least k >= 1 for which
 * they sum to less than epsilon) become 0, and the trees are propagated
 * again.  Gives the approximation constant afterwards: the product over the
 * trees of the ratios of their normalisation constants after and before
 * (1.0 until an approximation); -1.0 on error. */
KV_API kv_number_t kv_domain_approximate(kv_domain_t domain, kv_number_t epsilon);
KV_API kv_number_t kv_domain_get_approximation_constant(kv_domain_t domain);
/* Compression of a compiled network of chance nodes in equilibrium: clique
 * and separator tables keep only their nonzero entries (in order; a table's
 * size becomes its number of kept entries) and the trees then propagate
 * over those.  Cliques with continuous nodes, and the separators next to
 * them, stay whole.  Evidence propagated before stays in the
 * tables; a reset gives each tree the probability of what is left as its
 * approximation constant.  Division, fast retraction, joint marginals,
 * learning, simulation and saving as KB refuse a compressed domain
 * (compressed).  Every table other than a clique table must keep at most
 * 65535 entries (table_too_large).  Gives the ratio of the memory of the
 * tables and index maps after to before; -1.0 on error, the domain as it
 * was.  Compressing again drops the entries that became zero. */
KV_API kv_number_t kv_domain_compress(kv_domain_t domain);
/* Whether the domain's clique tables are compressed (-1 on error). */
KV_API kv_boolean_t kv_domain_is_compressed(kv_domain_t domain);
/* The joint (max-)marginal of chance nodes of one junction tree, discrete
 * nodes first; owned by the caller (kv_table_delete). */
KV_API kv_table_t kv_domain_get_marginal(kv_domain_t domain, kv_node_t *nodes);

/* Writes the node's beliefs (or expected utilities) to the domain's log. */
KV_API kv_status_t kv_node_report_beliefs(kv_node_t node);

/* ---------------------------------------------------------------------------
 * NET files.  Parse errors go to the handler as (position, message, data):
 * the line for files, the number of characters read for strings.
 */
KV_API kv_domain_t kv_net_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data);
KV_API kv_domain_t kv_net_parse(FILE *stream, kv_error_handler2_t handler);
KV_API kv_domain_t kv_net_parse_from_string(kv_string_t text, kv_error_handler2_t handler);
/* NET text: a domain (its node names made identifiers first), a class, or
 * every class of a collection (each after the classes it instantiates).
 * Numbers are written so that they read back exactly; an infinite or NaN
 * number is format.  A saved object takes the file name. */
KV_API kv_status_t kv_domain_save_as_net(kv_domain_t domain, kv_string_t file_name);
KV_API kv_status_t kv_class_save_as_net(kv_class_t cls, kv_string_t file_name);
KV_API kv_status_t kv_cc_save_as_net(kv_class_collection_t cc, kv_string_t file_name);
/* A domain or class to a stream the caller owns. */
KV_API kv_status_t kv_domain_write_net(kv_domain_t domain, FILE *stream);
/* ---------------------------------------------------------------------------
 * KB files: a whole domain (compiled or not, with its evidence) as a gzip
 * stream.  A loaded compiled domain is compiled again from the stored
 * cliques, so its beliefs are those of the saved domain.  The password is
 * obfuscation only: it keeps a casual reader out, nothing more.
 */
/* Little-endian; password NULL for none.  A class is usage, a compressed
 * domain compressed.  A saved domain takes the file name. */
KV_API kv_status_t kv_domain_save_as_kb(kv_domain_t domain, kv_string_t file_name, kv_string_t password);
/* file_name NULL: the domain's file name.  byte_order 0 or 2 little-endian,
 * 1 big-endian, anything else usage.  Never writes a password. */
KV_API kv_status_t kv_domain_save(kv_domain_t domain, kv_string_t file_name, int byte_order);
KV_API kv_domain_t kv_kb_load_domain(kv_string_t file_name, kv_string_t password);
KV_API kv_domain_t kv_load_domain(kv_string_t file_name);

/* Reads a file of node names; a NULL-terminated list the caller frees. */
KV_API kv_node_t *kv_domain_parse_nodes(kv_domain_t domain, kv_string_t file_name,
                                        kv_error_handler_t handler, void *data);
KV_API kv_node_t *kv_class_parse_nodes(kv_class_t cls, kv_string_t file_name,
                                       kv_error_handler_t handler, void *data);

/* Adaptation tables of discrete chance nodes, over the node's parents;
 * made on demand and owned by the node. */
KV_API kv_table_t kv_node_get_experience_table(kv_node_t node);
KV_API kv_table_t kv_node_get_fading_table(kv_node_t node);
KV_API kv_boolean_t kv_node_has_experience_table(kv_node_t node);
KV_API kv_boolean_t kv_node_has_fading_table(kv_node_t node);

/* ---------------------------------------------------------------------------
 * Case data: a table of cases held by the domain, one optional state (or
 * value) per chance or decision node and case, and a count (weight) per case,
 * 1 unless set.  Columns are made when a node's first entry is set.
 */
/* New cases are unset with count 1; the cases kept keep their data. */
KV_API kv_status_t kv_domain_set_number_of_cases(kv_domain_t domain, size_t count);
/* Appends one unset case: its index, or (size_t)-1. */
KV_API kv_index_t kv_domain_new_case(kv_domain_t domain);
KV_API kv_count_t kv_domain_get_number_of_cases(kv_domain_t domain);
/* A count is nonnegative and finite; 0 is allowed. */
KV_API kv_status_t kv_domain_set_case_count(kv_domain_t domain, size_t case_index, kv_number_t count);
KV_API kv_number_t kv_domain_get_case_count(kv_domain_t domain, size_t case_index);
KV_API kv_status_t kv_node_set_case_state(kv_node_t node, size_t case_index, size_t state);
/* The stored state; (size_t)-1 with no_value when the entry is unset. */
KV_API kv_index_t kv_node_get_case_state(kv_node_t node, size_t case_index);
/* Continuous nodes; the value must be finite. */
KV_API kv_status_t kv_node_set_case_value(kv_node_t node, size_t case_index, kv_number_t value);
/* The stored value; -1.0 with no_value when the entry is unset. */
KV_API kv_number_t kv_node_get_case_value(kv_node_t node, size_t case_index);
KV_API kv_status_t kv_node_unset_case(kv_node_t node, size_t case_index);
KV_API kv_boolean_t kv_node_case_is_set(kv_node_t node, size_t case_index);

/* ---------------------------------------------------------------------------
 * Case files.  A case file holds one case as evidence, a line per observed
 * node: its name, a colon and a value (a quoted state label, true or false,
 * # and a state index, a number, or a likelihood vector in parentheses).  A
 * case data file holds many: a header line of node names (after a # when
 * counts come first on each line), then one case per line with one item per
 * header node, * or ? for a missing value, commas between items optional.
 * Files are read and written in the C numeric locale; parse errors go to the
 * handler with their line.
 */
/* Retracts all findings, then enters the file's case; on failure every
 * finding is retracted (an unreadable file leaves the evidence alone). */
KV_API kv_status_t kv_domain_parse_case(kv_domain_t domain, kv_string_t file_name,
                                        kv_error_handler_t handler, void *data);
/* The current evidence of every chance and decision node. */
KV_API kv_status_t kv_domain_save_case(kv_domain_t domain, kv_string_t file_name);
/* Appends the file's cases to the case data; on failure none is added. */
KV_API kv_status_t kv_domain_parse_cases(kv_domain_t domain, kv_string_t file_name,
                                         kv_error_handler_t handler, void *data);
/* Writes the listed nodes (NULL-terminated, distinct chance or decision
 * nodes) for the listed cases (ended by a negative index such as
 * (kv_index_t)-1; NULL: all, in order).  With counts each line starts with
 * the case count; without, a case is written count times and every count
 * must be a whole number below 4294967295.  The separator (a comma or white
 * space, for the reader) and the missing-value text may not hold a newline. */
KV_API kv_status_t kv_domain_save_cases(kv_domain_t domain, kv_string_t file_name, kv_node_t *nodes,
                                        const kv_index_t *cases, kv_boolean_t include_counts,
                                        kv_string_t separator, kv_string_t missing);

/* ---------------------------------------------------------------------------
 * Learning tables.  The nodes with experience tables learn: EM over the case
 * data, or adaptation to the evidence propagated.
 */
KV_API kv_status_t kv_domain_learn_tables(kv_domain_t domain);
/* EM in a runtime domain: the learners are the nodes whose class nodes have
 * experience tables; the counts of all nodes unfolded from one class node
 * are pooled, and the learnt table goes to the class node and to each of
 * them (experience counts likewise). */
KV_API kv_status_t kv_domain_learn_class_tables(kv_domain_t domain);
KV_API kv_status_t kv_domain_adapt(kv_domain_t domain);
/* EM stops when the log-likelihood changes by at most tolerance times its
 * size (default 0.0001), or after the maximum number of iterations (0, the
 * default, is no limit). */
KV_API kv_status_t kv_domain_set_log_likelihood_tolerance(kv_domain_t domain, kv_number_t tolerance);
KV_API kv_number_t kv_domain_get_log_likelihood_tolerance(kv_domain_t domain);
KV_API kv_status_t kv_domain_set_max_number_of_em_iterations(kv_domain_t domain, size_t count);
KV_API kv_count_t kv_domain_get_max_number_of_em_iterations(kv_domain_t domain);
/* The log-likelihood of the case data found by the last EM run. */
KV_API kv_number_t kv_domain_get_log_likelihood(kv_domain_t domain);

/* ---------------------------------------------------------------------------
 * Learning structure.  Edge constraints force or forbid links between pairs
 * of nodes of one domain; setting one on (a, b) also sets its mirror on
 * (b, a), and kv_constraint_none removes both.  The PC algorithm adds the
 * links it learns from the case data to a domain of discrete chance nodes
 * without links; the NPC variant keeps its graph in the domain instead, for
 * its uncertain edges to be decided by hand or automatically.
 *
 * The kept graph owns its ambiguous regions, uncertain edges, solutions and
 * the lists returned for them and for the PDAG accessors: all become
 * invalid when the graph goes (kv_domain_decide_automatically, a new
 * learning run, the creation or deletion of a node, the domain's deletion).
 * A manual decision or its undo rebuilds the regions, and with them their
 * solutions; uncertain edges stay valid until the graph goes.  Finding
 * minimal solutions, a manual decision or its undo that fails (no memory, a
 * log that cannot be written) leaves the graph and its regions as they
 * were.  A learning run or an automatic decision that fails adds no links
 * and frees the graph and the test results.
 */
KV_API kv_status_t kv_node_set_edge_constraint(kv_node_t a, kv_node_t b, kv_edge_constraint_t constraint);
KV_API kv_edge_constraint_t kv_node_get_edge_constraint(kv_node_t a, kv_node_t b);
/* Independence is accepted when a test's p-value is at least alpha
 * (0 < alpha <= 1, default 0.05). */
KV_API kv_status_t kv_domain_set_significance_level(kv_domain_t domain, kv_number_t alpha);
KV_API kv_number_t kv_domain_get_significance_level(kv_domain_t domain);
KV_API kv_status_t kv_domain_learn_structure(kv_domain_t domain);
KV_API kv_status_t kv_domain_learn_structure_npc(kv_domain_t domain);
/* The p-value of the pair's marginal test in the last learning run (1 if
 * the pair was not tested). */
KV_API kv_number_t kv_node_get_data_independency(kv_node_t a, kv_node_t b);
KV_API kv_ambiguous_region_t kv_domain_get_first_ambiguous_region(kv_domain_t domain);
KV_API kv_ambiguous_region_t kv_ambiguous_region_get_next(kv_ambiguous_region_t region);
KV_API kv_uncertain_edge_t *kv_ambiguous_region_get_edges(kv_ambiguous_region_t region);
KV_API kv_node_t kv_uncertain_edge_get_first_node(kv_uncertain_edge_t edge);
KV_API kv_node_t kv_uncertain_edge_get_second_node(kv_uncertain_edge_t edge);
KV_API kv_status_t kv_ambiguous_region_find_minimal_solutions(kv_ambiguous_region_t region);
KV_API kv_solution_t kv_ambiguous_region_get_first_solution(kv_ambiguous_region_t region);
KV_API kv_solution_t kv_solution_get_next(kv_solution_t solution);
KV_API kv_uncertain_edge_t *kv_solution_get_edges(kv_solution_t solution);
/* include non-zero: the edge is present; zero: it is absent. */
KV_API kv_status_t kv_uncertain_edge_manual_decision(kv_uncertain_edge_t edge, kv_boolean_t include);
KV_API kv_status_t kv_domain_undo_manual_decisions(kv_domain_t domain);
KV_API kv_status_t kv_domain_decide_automatically(kv_domain_t domain);
/* Directed parents and undirected neighbours in the kept graph. */
KV_API kv_node_t *kv_node_get_pdag_parents(kv_node_t node);
KV_API kv_node_t *kv_node_get_pdag_neighbors(kv_node_t node);
KV_API kv_status_t kv_node_add_pdag_parent(kv_node_t node, kv_node_t parent);

/* ---------------------------------------------------------------------------
 * Simulation.  Each domain has its own random generator (seeded with 310952
 * when made).  A compiled domain is sampled from its propagated junction
 * trees, one that is not compiled by forward sampling from its tables.
 */
/* The whole part of the seed modulo 2^30; NaN or infinite is usage. */
KV_API kv_status_t kv_domain_seed_random(kv_domain_t domain, kv_number_t seed);
KV_API kv_number_t kv_domain_get_uniform_deviate(kv_domain_t domain);
/* s = 0 gives the mean without drawing; s < 0 is usage. */
KV_API kv_number_t kv_domain_get_normal_deviate(kv_domain_t domain, kv_number_t mean, kv_number_t s);
KV_API kv_status_t kv_domain_simulate(kv_domain_t domain);
/* The last simulation's state of a discrete chance or decision node. */
KV_API kv_index_t kv_node_get_sampled_state(kv_node_t node);
KV_API kv_index_t kv_node_get_selection(kv_node_t node);
KV_API kv_number_t kv_node_get_sampled_value(kv_node_t node);
/* The probability of the configuration the last simulation of the compiled
 * domain drew (1 when there was none). */
KV_API kv_number_t kv_domain_probability_of_random_selection(kv_domain_t domain);

/* ---------------------------------------------------------------------------
 * Expressions: immutable trees shared by reference count.  A new expression
 * belongs to the caller until a composite or a model slot holds it.
 */
KV_API kv_expression_t kv_number_make_expression(kv_number_t number);
KV_API kv_expression_t kv_boolean_make_expression(kv_boolean_t value);
KV_API kv_expression_t kv_label_make_expression(kv_string_t label);
KV_API kv_expression_t kv_node_make_expression(kv_node_t node);
/* A composite over a NULL-terminated operand array (copied), checked for
 * arity and operand types (invalid_expression). */
KV_API kv_expression_t kv_make_composite_expression(kv_operator_t op, kv_expression_t *operands);
KV_API kv_boolean_t kv_expression_is_composite(kv_expression_t e);
KV_API kv_operator_t kv_expression_get_operator(kv_expression_t e);
KV_API kv_expression_t *kv_expression_get_operands(kv_expression_t e);
KV_API kv_node_t kv_expression_get_node(kv_expression_t e);
KV_API kv_string_t kv_expression_get_label(kv_expression_t e);
KV_API kv_number_t kv_expression_get_number(kv_expression_t e);
KV_API kv_boolean_t kv_expression_get_boolean(kv_expression_t e);
KV_API kv_expression_t kv_expression_clone(kv_expression_t e);
/* Frees an expression nothing holds; a held one stays (both return 0). */
KV_API kv_status_t kv_expression_delete(kv_expression_t e);
/* The text form, newly allocated: the caller frees it with free(). */
KV_API char *kv_expression_to_string(kv_expression_t e);
KV_API kv_expression_t kv_domain_string_to_expression(kv_domain_t domain, kv_string_t text,
                                                      kv_error_handler_t handler, void *data);
KV_API kv_expression_t kv_class_string_to_expression(kv_class_t cls, kv_string_t text,
                                                     kv_error_handler_t handler, void *data);
KV_API kv_expression_t kv_string_to_expression(kv_string_t text, kv_domain_t domain,
                                               kv_error_handler2_t handler);
KV_API kv_expression_t kv_string_parse_expression(kv_string_t text, kv_model_t model,
                                                  kv_error_handler_t handler, void *data);

/* Models: one expression per configuration of some of a node's parents. */
KV_API kv_model_t kv_node_new_model(kv_node_t node, kv_node_t *model_nodes);
KV_API kv_model_t kv_node_get_model(kv_node_t node);
KV_API kv_node_t *kv_model_get_nodes(kv_model_t model);
KV_API size_t kv_model_get_size(kv_model_t model);
KV_API kv_status_t kv_model_set_expression(kv_model_t model, size_t index, kv_expression_t e);
KV_API kv_expression_t kv_model_get_expression(kv_model_t model, size_t index);
KV_API kv_status_t kv_model_set_number_of_samples_per_interval(kv_model_t model, size_t count);
KV_API size_t kv_model_get_number_of_samples_per_interval(kv_model_t model);
KV_API kv_status_t kv_model_delete(kv_model_t model);
/* The node's table from its model, when the model changed since the last
 * generation; the table is left as it was when generation fails. */
KV_API kv_status_t kv_node_generate_table(kv_node_t node);
/* Every node with a model, in node order; stops at the first failure. */
KV_API kv_status_t kv_domain_generate_tables(kv_domain_t domain);
KV_API kv_status_t kv_model_set_user_data(kv_model_t model, void *data);
KV_API void *kv_model_get_user_data(kv_model_t model);

/* ---------------------------------------------------------------------------
 * Attributes: named text values kept and saved with domains, classes and
 * nodes.  Keys are C identifiers; a NULL value removes the attribute.  The
 * list is walked newest first.
 */
KV_API kv_status_t kv_domain_set_attribute(kv_domain_t domain, kv_string_t key, kv_string_t value);
KV_API kv_string_t kv_domain_get_attribute(kv_domain_t domain, kv_string_t key);
KV_API kv_attribute_t kv_domain_get_first_attribute(kv_domain_t domain);
KV_API kv_status_t kv_class_set_attribute(kv_class_t cls, kv_string_t key, kv_string_t value);
KV_API kv_string_t kv_class_get_attribute(kv_class_t cls, kv_string_t key);
KV_API kv_attribute_t kv_class_get_first_attribute(kv_class_t cls);
KV_API kv_status_t kv_node_set_attribute(kv_node_t node, kv_string_t key, kv_string_t value);
KV_API kv_string_t kv_node_get_attribute(kv_node_t node, kv_string_t key);
KV_API kv_attribute_t kv_node_get_first_attribute(kv_node_t node);
KV_API kv_attribute_t kv_attribute_get_next(kv_attribute_t attribute);
KV_API kv_string_t kv_attribute_get_key(kv_attribute_t attribute);
KV_API kv_string_t kv_attribute_get_value(kv_attribute_t attribute);

/* ---------------------------------------------------------------------------
 * Object-oriented classes.  A class collection owns its classes; a class is
 * a network fragment with input nodes (bound from outside) and output nodes
 * (visible outside), and may contain instance nodes of other classes of its
 * collection.  Each instance node has one output clone per output of its
 * class: a node of the instance's home standing for that output, sharing
 * its states.  Lists returned here are NULL-terminated and owned by the
 * class or node.
 */
KV_API kv_class_collection_t kv_new_class_collection(void);
/* Deletes every class (instantiating classes before the classes they
 * instantiate), then the collection. */
KV_API kv_status_t kv_cc_delete(kv_class_collection_t cc);
KV_API kv_class_t *kv_cc_get_members(kv_class_collection_t cc);
KV_API kv_class_t kv_cc_new_class(kv_class_collection_t cc);
/* Makes a domain (without chain-graph potentials) a class of the
 * collection; it is uncompiled first. */
KV_API kv_status_t kv_cc_add_domain(kv_class_collection_t cc, kv_domain_t domain);
/* The member with this name, or NULL with kv_error_none. */
KV_API kv_class_t kv_cc_get_class_by_name(kv_class_collection_t cc, kv_string_t name);
KV_API kv_status_t kv_cc_set_user_data(kv_class_collection_t cc, void *data);
KV_API void *kv_cc_get_user_data(kv_class_collection_t cc);

/* usage while the class has instances (kv_domain_delete refuses classes). */
KV_API kv_status_t kv_class_delete(kv_class_t cls);
KV_API kv_class_collection_t kv_class_get_class_collection(kv_class_t cls);
/* A C identifier unique in the collection (twice, invalid_name). */
KV_API kv_status_t kv_class_set_name(kv_class_t cls, kv_string_t name);
/* An unnamed class is named "C1", "C2", ... (the first name not taken). */
KV_API kv_string_t kv_class_get_name(kv_class_t cls);

/* A new instance node of instantiated in cls, with a clone of each of its
 * outputs; cyclic_instance_hierarchy when instantiated is cls or contains,
 * directly or not, an instance of cls. */
KV_API kv_node_t kv_class_new_instance(kv_class_t cls, kv_class_t instantiated);
KV_API kv_class_t kv_node_get_instance_class(kv_node_t instance);
KV_API kv_node_t *kv_class_get_instances(kv_class_t cls);
/* Makes the instance one of another class of the collection: inputs and
 * outputs are matched by name (the old clones stay where an output of the
 * same name and states exists; usage otherwise); nothing changes on failure. */
KV_API kv_status_t kv_node_substitute_class(kv_node_t instance, kv_class_t cls);

/* Inputs: chance or decision nodes without parents that are not outputs. */
KV_API kv_status_t kv_node_add_to_inputs(kv_node_t node);
KV_API kv_status_t kv_node_remove_from_inputs(kv_node_t node);
KV_API kv_node_t *kv_class_get_inputs(kv_class_t cls);
/* Outputs: chance or decision nodes that are not inputs; adding one makes a
 * clone in every instance, removing one deletes them. */
KV_API kv_status_t kv_node_add_to_outputs(kv_node_t node);
KV_API kv_node_t *kv_class_get_outputs(kv_class_t cls);
KV_API kv_status_t kv_node_remove_from_outputs(kv_node_t node);

/* Binds a formal input of the instance's class to a node of the instance's
 * home of the same category and kind (states are checked on unfolding). */
KV_API kv_status_t kv_node_set_input(kv_node_t instance, kv_node_t formal, kv_node_t actual);
KV_API kv_status_t kv_node_unset_input(kv_node_t instance, kv_node_t formal);
/* The bound node, or NULL (also when unbound). */
KV_API kv_node_t kv_node_get_input(kv_node_t instance, kv_node_t formal);
/* The instance's clone of an output of its class. */
KV_API kv_node_t kv_node_get_output(kv_node_t instance, kv_node_t output);
/* Of an output clone: the output it stands for, and its instance node. */
KV_API kv_node_t kv_node_get_master(kv_node_t clone);
KV_API kv_node_t kv_node_get_instance(kv_node_t clone);

/* Unfolds the class into a new domain: instance nodes are replaced by the
 * nodes of their classes (recursively), output clones by the nodes they
 * stand for, bound inputs by their actual nodes.  The domain's nodes have
 * no names; kv_node_get_source tells where each came from. */
KV_API kv_domain_t kv_class_create_domain(kv_class_t cls);
/* A copy of a domain: every node (named as the original, with its label,
 * position, states, attributes, tables, experience and fading tables and
 * model), the chain-graph potentials, the domain's attributes and node
 * size.  Not copied: compilation, evidence, case data, user data, the log
 * stream, the file name and the settings (concurrency level, grain size,
 * learning settings, random seed); the copy has the defaults.  usage for a
 * class. */
KV_API kv_domain_t kv_domain_clone(kv_domain_t domain);
/* Of a node made by kv_class_create_domain: the instance nodes on the way
 * down, then the class node copied, NULL-terminated; owned by the node. */
KV_API kv_node_t *kv_node_get_source(kv_node_t node);

/* Every node of the class with a model, as kv_domain_generate_tables. */
KV_API kv_status_t kv_class_generate_tables(kv_class_t cls);

/* Reads every class block of a NET class file into the collection.  The
 * loader, if given, is called with a class name the collection lacks (it
 * may parse more files into the collection), and receives data as its
 * third argument.  On failure the classes made by the call are deleted. */
KV_API kv_status_t kv_net_parse_classes(kv_string_t file_name, kv_class_collection_t cc,
                                        kv_class_loader_t loader, kv_error_handler_t handler,
                                        void *data);

/* ---------------------------------------------------------------------------
 * User data: one pointer per object, stored but never read or freed.
 */
KV_API kv_status_t kv_domain_set_user_data(kv_domain_t domain, void *data);
KV_API void *kv_domain_get_user_data(kv_domain_t domain);
KV_API kv_status_t kv_class_set_user_data(kv_class_t cls, void *data);
KV_API void *kv_class_get_user_data(kv_class_t cls);
KV_API kv_status_t kv_node_set_user_data(kv_node_t node, void *data);
KV_API void *kv_node_get_user_data(kv_node_t node);

/* ---------------------------------------------------------------------------
 * Extensions: networks in other exchange formats.
 *
 * BIF, the interchange format of the standard network repositories: one
 * discrete chance node per variable, in file order, with the variable's
 * states as state labels and its probability rows as the node's table
 * (parents in the order of the probability block).  A variable name that
 * is not a C identifier is mapped to one (other characters become `_', a
 * leading digit gets a `_' in front, `_' is appended until the name is
 * unique) and kept as the node's label.  Numbers are read in the C locale,
 * so each is the double its text names.  Messages go to handler with their
 * line number; on failure NULL with parse (or io, no_memory).
 */
KV_API kv_domain_t kv_bif_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data);
KV_API kv_domain_t kv_bif_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data);
/* XMLBIF 0.3: VARIABLE elements of TYPE nature (NAME, OUTCOME states) and
 * DEFINITION (or PROBABILITY) elements (FOR, GIVEN parents in order, TABLE
 * with the parents slowest and the child fastest), read as BIF is. */
KV_API kv_domain_t kv_xmlbif_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data);
KV_API kv_domain_t kv_xmlbif_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data);
/* The UAI competition format.  BAYES: variable i becomes node Xi with
 * states "0", "1", ..., and each function the table of the last variable of
 * its scope given the others (in scope order).  MARKOV: each variable gets
 * a uniform table and each factor f over S a node Fj (states "false",
 * "true") with P(true | s) = f(s) / max f and the finding true entered, so
 * that the beliefs of the Xi are those of the Markov network.  The .evid
 * evidence ("N v1 s1 ... vN sN", also after a leading sample count of 1)
 * selects those states. */
KV_API kv_domain_t kv_uai_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data);
KV_API kv_domain_t kv_uai_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data);
KV_API kv_status_t kv_uai_parse_evidence(kv_domain_t domain, kv_string_t file_name, kv_error_handler_t handler,
                                         void *data);
KV_API kv_status_t kv_uai_parse_evidence_from_string(kv_domain_t domain, kv_string_t text,
                                                     kv_error_handler_t handler, void *data);
/* Writers of the three formats for domains of discrete chance nodes (usage
 * otherwise): nodes in domain order, states by their labels ("s0", "s1",
 * ... where a label is missing, repeated or not representable), numbers
 * with 17 significant digits, so that the readers above give the domain's
 * tables back bit for bit.  UAI is written as BAYES. */
KV_API kv_status_t kv_domain_save_as_bif(kv_domain_t domain, kv_string_t file_name);
KV_API kv_status_t kv_domain_save_as_xmlbif(kv_domain_t domain, kv_string_t file_name);
KV_API kv_status_t kv_domain_save_as_uai(kv_domain_t domain, kv_string_t file_name);

#ifdef __cplusplus
}
#endif

#endif /* KELVO_H */
