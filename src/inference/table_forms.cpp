// The forms of a junction tree's tables and every move between them (the
// tables state of compile/compile.h).  Propagation calls these and nothing
// else changes the form or the facts beside it, except the sparse build,
// which marks its own work.
#include "compile/compile.h"
#include "propagate.h"
#include "table/operations.h"

// Sliced from here on, on the sparse form where there is one (made from
// the priors of a full reset if not yet).
static void start_sliced(kv_junction_tree_s *jt)
{
    jt->tables.form = KV_TABLES_SLICED;
    if (jt->tables.priors && !jt->tables.sparse_built)
        _kv_jt_build_sparse(jt);
    jt->tables.sparse_active = 1;
    _kv_jt_sparse_gather(jt);
}

void _kv_jt_begin_propagation(kv_junction_tree_s *jt, bool sliced)
{
    if (sliced) {
        start_sliced(jt);
    } else {
        // Whole-table operations must not meet the stale entries of an
        // earlier sliced propagation: their values would reach the
        // normalisers.
        _kv_jt_fill_slices(jt);
        _kv_jt_sparse_stale(jt, false);
    }
    jt->tables.priors = 0;
}

void _kv_jt_end_propagation(kv_junction_tree_s *jt)
{
    jt->tables.sparse_active = 0;
}

void _kv_jt_tables_sliced(kv_junction_tree_s *jt)
{
    jt->tables.form = KV_TABLES_SLICED;
}

void _kv_jt_fill_slices(kv_junction_tree_s *jt)
{
    if (jt->tables.form != KV_TABLES_SLICED)
        return;
    for (kv_clique_s **cc = jt->cliques; *cc; ++cc) {
        kv_clique_s *c = *cc;
        if (c->probability_table->sparse)
            _kv_sparse_fill(c->probability_table); // its values are exact everywhere
        else
            _kv_fill_outside_slice(c->probability_table, _kv_node_chosen_state);
        for (kv_neighbor_s *cell = c->neighbors; cell; cell = cell->next)
            _kv_fill_outside_slice(_kv_control_small(cell->control), _kv_node_chosen_state);
    }
    jt->tables.form = KV_TABLES_WHOLE;
}

void _kv_domain_fill_slices(kv_domain_s *d)
{
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        _kv_jt_fill_slices(jt);
}

void _kv_jt_expose_tables(kv_junction_tree_s *jt)
{
    _kv_jt_fill_slices(jt);
    jt->tables.exposed = 1;
}

void _kv_jt_begin_reset(kv_junction_tree_s *jt)
{
    jt->tables.sparse_active = 0;
    _kv_jt_sparse_stale(jt, true);
    if (jt->tables_to_propagate && jt->tables.sparse_built)
        _kv_jt_free_sparse(jt);
    jt->tables.priors = 0;
    jt->tables.approximated = 0;
    jt->tables.form = KV_TABLES_WHOLE;
    jt->tables.unit_separators = 0;
    for (kv_clique_s **c = jt->cliques; *c; ++c)
        (*c)->unit_table = 0;
}

void _kv_jt_end_reset(kv_junction_tree_s *jt, bool priors)
{
    jt->tables.priors = priors;
}

void _kv_jt_begin_reset_for_evidence(kv_junction_tree_s *jt, bool sliced)
{
    if (sliced)
        start_sliced(jt);
    jt->tables.priors = 0;
    jt->tables.approximated = 0;
}

void _kv_jt_end_reset_for_evidence(kv_junction_tree_s *jt)
{
    jt->tables.unit_separators = 1;
}

void _kv_jt_collect_done(kv_junction_tree_s *jt)
{
    jt->tables.unit_separators = 0;
}
