// The compilation driver: the qualitative half (checks, moral graph,
// triangulation, cliques, junction forest, assignment) and the quantitative
// half (table data and initialisation), each undone completely when it
// fails, and uncompilation.
#include <cstdlib>
#include <memory>

#include "compile.h"
#include "core/api.h"
#include "core/chain_block.h"
#include "core/host.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "inference/propagate.h"
#include "table/operations.h"
#include "table/control.h"
#include "table/table.h"

bool _kv_domain_is_triangulated(const kv_domain_s *d)
{
    return d->first_node && d->first_node->elimination_number != 0;
}

static bool has_compilation_data(const kv_domain_s *d)
{
    return d->is_compiled || d->is_moralized || d->first_clique || d->first_junction_tree || d->elimination_order ||
           d->memory_data || _kv_domain_is_triangulated(d);
}

static void free_cliques(kv_domain_s *d)
{
    for (kv_clique_s *c = d->first_clique, *next; c; c = next) {
        next = c->next;
        for (kv_neighbor_s *b = c->neighbors, *bn; b; b = bn) {
            bn = b->next;
            std::free(b);
        }
        std::free(c->neighbor_array);
        _kv_host_release_peer(d, c->host_object);
        std::free(c);
    }
    d->first_clique = nullptr;
    d->number_of_cliques = 0;
    for (kv_junction_tree_s *jt = d->first_junction_tree, *next; jt; jt = next) {
        next = jt->next;
        std::free(jt->cliques);
        std::free(jt->walk_order);
        std::free(jt->nodes);
        std::free(jt->potential_order);
        std::free(jt->walk_stack);
        std::free(jt->prior_beliefs);
        _kv_jt_free_pass_cache(jt);
        _kv_host_release_peer(d, jt->host_object);
        std::free(jt);
    }
    d->first_junction_tree = nullptr;
    d->number_of_junction_trees = 0;
}

void _kv_uncompile_domain_safely(kv_domain_s *d, int also_triangulation)
{
    _kv_invalidate_simulation(d); // structural edits come through here
    if (!has_compilation_data(d))
        return;
    _kv_host_uncompile_notice(d);
    free_cliques(d);
    _kv_free_domain_controls(d);
    for (kv_table_s *t = d->first_table, *next; t; t = next) {
        next = t->next;
        if (t->role != KV_ROLE_NODE)
            _kv_free_table(t);
    }
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (also_triangulation) {
            for (kv_fill_in_s *f = n->fill_in_links, *fn; f; f = fn) {
                fn = f->next;
                std::free(f);
            }
            n->fill_in_links = nullptr;
            n->elimination_number = 0;
            std::free(n->neighbours);
            n->neighbours = nullptr;
            n->elimination_index = 0;
        }
        n->junction_tree = nullptr;
        n->belief_control = n->evidence_control = n->potential_control = nullptr;
        n->belief_table = n->utility_belief_table = n->evidence_table = nullptr;
        n->finding_clique = n->assigned_clique = nullptr;
        n->value_propagated = 0;
    }
    d->is_compiled = 0;
    if (also_triangulation)
        d->is_moralized = 0;
    for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next) {
        b->parent_table = nullptr;
        b->parent_control = nullptr;
        std::free(b->potential_controls);
        b->potential_controls = nullptr;
    }
    if (also_triangulation) {
        std::free(d->elimination_order);
        d->elimination_order = nullptr;
    }
    _kv_domain_free_memory_tables(d);
    d->is_compressed = 0;
}

kv_status_t kv_domain_uncompile(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    if (has_compilation_data(d))
        _kv_uncompile_domain_safely(d, 1);
    return _kv_set_error_code(kv_error_none);
}

kv_boolean_t kv_domain_is_compiled(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1;
    return d->is_compiled;
}

kv_boolean_t kv_domain_is_triangulated(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1;
    return _kv_domain_is_triangulated(d);
}

// Undoes a failed stage: the triangulation goes too when this call made it.
static int undo(kv_domain_s *d, bool was_triangulated, int status)
{
    kv::KeepError keep;
    keep.code = status;
    _kv_clear_node_marks(d);
    _kv_uncompile_domain_safely(d, !was_triangulated);
    if (d->log_file)
        std::fflush(d->log_file);
    return status;
}

// The marginals of propagation go through the domain's scratch buffer:
// sized here for the largest of them, it never moves while a propagation
// holds it.
static int reserve_scratch(kv_domain_s *d)
{
    size_t most = 1;
    for (const kv_control_s *c = d->first_control; c; c = c->next) {
        const kv_table_s *small = c->small_probability ? c->small_probability : c->small_utility;
        if (!small || (small->role != KV_ROLE_SEPARATOR && small->role != KV_ROLE_BELIEF &&
                       small->role != KV_ROLE_EVIDENCE))
            continue; // node tables are multiplied in, never marginalised onto
        size_t n = small->size;
        if (c->small_probability && c->small_utility)
            n = _kv_size_multiply(2, n);
        most = n > most ? n : most;
    }
    return _kv_check_buffer(d, most);
}

static bool compilable(const kv_domain_s *d)
{
    return d && d->number_of_chance_nodes + d->number_of_decision_nodes > 0 && !d->is_compiled;
}

// The stages of the qualitative half after triangulation.  reorder: the
// cliques are put in forest order first (a saved forest has them so).
static int build_forest(kv_domain_s *d, bool reorder, kv_progress_t progress)
{
    return kv::guard_status([&] {
        kv::Region region; // for the scratch of the stages below
        if (progress)
            progress("Creating cliques");
        if (int s = _kv_prepare_cliques(d, reorder))
            return s;
        if (progress)
            progress("Building junction tree(s)");
        if (int s = _kv_build_junction_forest(d))
            return s;
        if (int s = _kv_index_tree_cliques(d))
            return s;
        std::unique_ptr<kv_clique_index_s, void (*)(kv_clique_index_s *)> index(
            _kv_new_clique_index(d), _kv_free_clique_index);
        if (int s = _kv_create_node_data_structures(d, index.get()))
            return s;
        if (int s = _kv_construct_derived_potentials(d))
            return s;
        if (int s = _kv_assign_potentials(d, index.get()))
            return s;
        if (int s = _kv_index_tree_nodes(d))
            return s;
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
            _kv_jt_make_flat(jt);
        return reserve_scratch(d);
    });
}

kv_status_t kv_domain_compile_qualitatively(kv_domain_t d, kv_progress_t progress)
{
    if (_kv_set_error_code(!compilable(d) || d->first_junction_tree))
        return kv_error_usage;
    bool triangulated = _kv_domain_is_triangulated(d);
    if (!triangulated) {
        if (progress)
            progress("Triangulating");
        if (int status = kv_domain_triangulate(d, kv_tm_fill_in_weight))
            return status;
    }
    if (int status = build_forest(d, true, progress))
        return undo(d, triangulated, status);
    if (_kv_domain_flush_log_file(d)) {
        _kv_uncompile_domain_safely(d, !triangulated);
        return _kv_set_error_code(kv_error_io);
    }
    return _kv_set_error_code(kv_error_none);
}

int _kv_compile_saved_forest(kv_domain_s *d, bool quantitative)
{
    if (_kv_set_error_code(!compilable(d) || d->first_junction_tree || !d->first_clique))
        return kv_error_usage;
    if (int status = build_forest(d, false, nullptr))
        return status;
    return quantitative ? kv_domain_compile_quantitatively(d, nullptr) : kv_error_none;
}

int _kv_domain_compile(kv_domain_s *d, kv_progress_t progress)
{
    if (_kv_set_error_code(!compilable(d)))
        return kv_error_usage;
    bool triangulated = _kv_domain_is_triangulated(d);
    bool qualitative = d->first_junction_tree != nullptr;
    if (!qualitative)
        if (int status = kv_domain_compile_qualitatively(d, progress))
            return status;
    int status = kv_domain_compile_quantitatively(d, progress);
    if (!status)
        return kv_error_none;
    if (qualitative)
        return status;
    return undo(d, triangulated, status);
}

kv_status_t kv_domain_compile(kv_domain_t d)
{
    return _kv_domain_compile(d, nullptr);
}
