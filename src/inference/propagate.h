// The propagation core shared by compilation (the initialisation of every
// junction tree) and propagation: absorption through links, collect and
// distribute passes, normalisation and the belief update.
#pragma once

#include <utility>

#include "compile/compile.h"

// The control of clique a toward its neighbour b (a's side of the link).
kv_control_s *_kv_link_control(const kv_clique_s *a, const kv_clique_s *b);

// Absorbs from source into dest through their link: marginalise the source
// onto the separator, multiply the ratio of new to old separator contents
// into dest (utilities: add the difference), keep the new contents.  In a
// collect the message is normalised and the evidence statistics are kept.
int _kv_absorb(kv_clique_s *source, kv_clique_s *dest, int equilibrium, int mode, bool collect);

// Whether a propagation in this equilibrium and mode works on evidence
// slices: sum propagation in normal mode of a network of discrete chance
// nodes whose clique tables have not been handed out.
bool _kv_jt_slices(const kv_junction_tree_s *jt, int equilibrium, int mode);
// A clique whose table counts as ones (unit_table) gets them on its slice.
void _kv_clique_take_ones(kv_clique_s *c);
// Combines into clique c through its control (sliced or over the whole
// table); a table counting as ones takes the small table's entries.
int _kv_clique_combine(kv_clique_s *c, kv_control_s *into, bool sliced);

// ---------------------------------------------------------------------------
// The form of a tree's tables (jt->tables): every transition.
//
//   full reset          begin_reset: whole, sparse form resting (freed when
//                       the node tables changed), no cliques or separators
//                       counting as ones; end_reset: priors when the tables
//                       hold them.
//   evidence reset      begin_reset_for_evidence: sliced (when the
//                       propagation will be), on the sparse form; the
//                       cliques without potentials count as ones on their
//                       slices; end_reset_for_evidence: the separators
//                       count as ones until collect_done.
//   propagation         begin_propagation: sliced on the sparse form, or
//                       whole with every stale entry filled; a sliced
//                       operation marks the tree sliced (tables_sliced);
//                       end_propagation: the sparse form rests.
//   reading tables      fill_slices: sliced -> whole (joint marginals,
//                       save to memory); expose_tables: whole for good.
void _kv_jt_begin_propagation(kv_junction_tree_s *jt, bool sliced);
void _kv_jt_end_propagation(kv_junction_tree_s *jt);
void _kv_jt_tables_sliced(kv_junction_tree_s *jt);
void _kv_jt_collect_done(kv_junction_tree_s *jt);
void _kv_jt_fill_slices(kv_junction_tree_s *jt);
void _kv_domain_fill_slices(kv_domain_s *d);
void _kv_jt_expose_tables(kv_junction_tree_s *jt);
void _kv_jt_begin_reset(kv_junction_tree_s *jt);
void _kv_jt_end_reset(kv_junction_tree_s *jt, bool priors);
void _kv_jt_begin_reset_for_evidence(kv_junction_tree_s *jt, bool sliced);
void _kv_jt_end_reset_for_evidence(kv_junction_tree_s *jt);

// After clique tables of a tree in sum equilibrium (normal mode) were
// exposed (_kv_jt_expose_tables) and changed in place: a global propagation over them, with the step
// constants starting afresh, and the beliefs; the tree is reset on failure.
int _kv_jt_propagate_changed_tables(kv_junction_tree_s *jt);
// The collect pass toward root over the subtree of marked cliques, and
// the distribute pass from root over the whole tree.
int _kv_collect_evidence(kv_clique_s *root, int equilibrium, int mode);
int _kv_distribute_evidence(kv_clique_s *root, int equilibrium, int mode);
// The collect normaliser of c into its tree's step constants.
void _kv_apply_collect_normalizer(const kv_clique_s *c);
// At a concurrency level above 1, a sliced propagation of a large tree
// passes its messages on several threads, and updates the beliefs of a
// tree of many nodes on several threads; the tables, factors, constants and
// beliefs come out as on one thread, bit for bit.  False when the tree is
// not worth it (the caller works on one thread); true with the status
// otherwise.
bool _kv_parallel_collect(kv_clique_s *root, int equilibrium, int mode, int *status);
bool _kv_parallel_distribute(kv_clique_s *root, int equilibrium, int mode, int *status);
bool _kv_parallel_beliefs(kv_junction_tree_s *jt, int equilibrium, int mode, int *status);
// A propagation of a tree whose last collect went on several threads wakes
// the workers before its serial work (reset, evidence), which hides their
// wake-up.
void _kv_jt_wake_workers(kv_junction_tree_s *jt, int equilibrium, int mode);
// Frees what the threaded passes keep for the tree.
void _kv_jt_free_pass_cache(kv_junction_tree_s *jt);
// The entries of the tree's clique tables.
double _kv_jt_clique_entries(kv_junction_tree_s *jt);
// Whether the belief update, or load of potentials into the cliques, of a
// tree with this many nodes (or potentials) goes on several threads.
bool _kv_many_nodes_to_split(kv_junction_tree_s *jt, size_t nodes);
// The least estimated work (table entries) worth splitting a pass or a
// load of potentials.
double _kv_minimum_split_work();
// A load of potentials went on several threads (for the split count).
void _kv_count_split_load();
namespace kv {
// Test hooks: the least estimated work (table entries) of a pass that is
// split (default 2^18; a tree whose belief update and potential load are
// split must have 8 times as many clique entries), and the fewest nodes of
// such a tree (default 256),
// giving the previous values; and the number of passes, belief updates
// and loads split so far in this process.
double set_minimum_split_work(double work);
size_t set_fewest_split_nodes(size_t nodes);
size_t split_passes();
} // namespace kv

// Sum in four extended-precision lanes (the additions overlap): entry i,
// given by x(i), goes to lane i mod 4, and the lanes are added pairwise.
template <class X> long double _kv_extended_sum_of(size_t n, X &&x)
{
    long double a[4] = {0.0L, 0.0L, 0.0L, 0.0L};
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k)
            a[k] += x(i + k);
    for (int k = 0; i < n; ++i, ++k)
        a[k] += x(i);
    return (a[0] + a[1]) + (a[2] + a[3]);
}
inline long double _kv_extended_sum(const double *x, size_t n)
{
    return _kv_extended_sum_of(n, [x](size_t i) { return x[i]; });
}

// z of a table: its sum (decisions averaged), its largest entry, or its
// fast-retraction marginal; -1.0 on failure.
double _kv_normalization_constant(kv_table_s *t, int equilibrium, int mode);
// 0 for a usable constant; inconsistency_or_underflow, overflow (also for
// NaN), or for a negative z the current error code, negative_probability
// when none is set.
int _kv_check_norm_factor(double z);
void _kv_normalize_with(kv_table_s *t, double z);
int _kv_normalize_table(kv_table_s *t, int equilibrium);

int _kv_node_update_beliefs(kv_node_s *n, int equilibrium, int mode);
int _kv_jt_update_beliefs(kv_junction_tree_s *jt, int equilibrium, int mode);
// Prior probability of the node's propagated evidence under its beliefs.
double _kv_probability_of_evidence(const kv_node_s *n);

// Evidence that differs between the node and its junction tree, and
// propagated evidence that the entered evidence allows again.
bool _kv_node_evidence_to_propagate(const kv_node_s *n);
bool _kv_node_evidence_to_retract(const kv_node_s *n);

// Sum propagation over the nonzero entries of large, mostly zero cliques.
// Built from the prior tables of a full reset (tables.priors); freed when
// the node tables change.  The kernels act on a control whose big table is
// sparse and that has its map; the results are those of the whole-table
// operations.
void _kv_jt_build_sparse(kv_junction_tree_s *jt);
void _kv_jt_free_sparse(kv_junction_tree_s *jt);
// The compact values get what the dense tables hold newer.
void _kv_jt_sparse_gather(kv_junction_tree_s *jt);
// The dense tables are about to be worked on whole (or rewritten): they get
// the compact values first, which then count as stale.
void _kv_jt_sparse_stale(kv_junction_tree_s *jt, bool dense_rewritten);
// Scatters the compact values into a dense table that is behind them.
void _kv_sparse_fill(kv_table_s *t);
void _kv_sparse_load(kv_table_s *t); // the potentials' product
void _kv_sparse_multiply(const kv_control_s *c);
// Into the scratch buffer: every entry, or (whole false) only the support.
int _kv_sparse_marginalize(const kv_control_s *c, bool whole);
double _kv_sparse_sum(const kv_table_s *t);
void _kv_sparse_scale(kv_table_s *t, double r);
namespace kv {
// Test hook: the smallest clique and the largest share of nonzero prior
// entries that get the sparse form (defaults 1024 and 0.35), for trees built
// from now on; gives the previous ones.
std::pair<size_t, double> set_sparse_limits(size_t minimum_size, double maximum_density);
} // namespace kv
// Whether this propagation of the tree works on the sparse form of the
// control's big table.
inline bool _kv_sparse_use(const kv_junction_tree_s *jt, const kv_control_s *c)
{
    return jt->tables.sparse_active && c->sparse_map;
}

// Small trees of discrete chance nodes run flat: every control out of one
// of their cliques gets the small-table index of each big-table entry, and
// the table operations through it are one loop without any setup.  Trees
// beyond the limits, or when memory runs out, stay as they are.
void _kv_jt_make_flat(kv_junction_tree_s *jt);
namespace kv {
// Test hook: the largest clique and the most clique entries per tree that
// run flat (defaults in compress.cpp); gives the previous ones.
std::pair<size_t, size_t> set_flat_limits(size_t largest_clique, size_t tree_entries);
} // namespace kv

// The domain's beliefs, expected utilities and continuous moments, written
// to its log stream: 0 or an error code.
int _kv_report_beliefs(kv_domain_s *d);

// CG evidence: conditions continuous member j of t on the value y.  With
// density the weights become the posterior weights and the result is the
// density of y, otherwise 1; -1.0 with the error code on failure.
double _kv_cg_instantiate_table(kv_table_s *t, size_t j, double y, bool density);
// The marginal of t onto the control's small table extended by x, and a
// copy of t extended by x with the CG parts of other combined in.
kv_table_s *_kv_cg_create_marginal(kv_table_s *t, kv_node_s *x, kv_control_s *control);
kv_table_s *_kv_cg_create_product(kv_table_s *t, kv_node_s *x, kv_table_s *other);

// Conditions the tree on the observed values of its continuous nodes that
// have not been propagated; the densities go into the step constant.
int _kv_cg_enter_evidence(kv_junction_tree_s *jt);
