// Potentials: which clique receives each node's table and each chain-graph
// potential, and the initialisation of junction trees (node tables
// multiplied into their cliques, a collect without division, a distribute
// and the belief update), with the optional copy of all tables in memory.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "compile.h"
#include "expr/expression.h"
#include "core/api.h"
#include "core/chain_block.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "inference/propagate.h"
#include "table/operations.h"
#include "table/parallel.h"

namespace {
template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;
}

// ---------------------------------------------------------------------------
// Assignment.

int _kv_construct_derived_potentials(kv_domain_s *d)
{
    for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next) {
        Vec<kv_node_s *> parents;
        for (kv_node_s *n = d->first_node; n; n = n->next) {
            bool has_child = false;
            for (kv_node_s **c = n->children; c && *c && !has_child; ++c)
                has_child = (*c)->chain_block == b;
            if (has_child)
                parents.push_back(n);
        }
        parents.push_back(nullptr);
        b->parent_table = _kv_create_table(d, parents.data(), KV_PROBABILITY, KV_ROLE_DERIVED, 1, 0);
        if (!b->parent_table)
            return kv_error_code();
    }
    return kv_error_none;
}

// The first clique of the walk from the tree's root that holds the nodes.
static kv_clique_s *first_containing(const kv_junction_tree_s *jt, kv_node_s *const *nodes)
{
    for (kv_clique_s **c = jt->walk_order; *c; ++c)
        if (_kv_subset_of_clique(nodes, *c))
            return *c;
    return nullptr;
}

static int log_node_names(kv_domain_s *d, kv_node_s *const *nodes)
{
    for (size_t i = 0; nodes[i]; ++i) {
        const char *name = kv_node_get_name(nodes[i]);
        if (!name)
            return kv_error_code();
        if (int status = _kv_log(d, "%s%s", name, nodes[i + 1] ? ", " : ")"))
            return status;
    }
    return kv_error_none;
}

int _kv_assign_potentials(kv_domain_s *d, const kv_clique_index_s *index)
{
    bool warned = false;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if ((n->category != kv_category_chance && n->category != kv_category_utility) || n->table)
            continue;
        if (d->log_file) {
            if (!warned)
                if (int status = _kv_log(d, "\n\nChecking tables for all nodes:\n\n"))
                    return status;
            warned = true;
            const char *name = kv_node_get_name(n);
            if (!name)
                return kv_error_code();
            if (int status = _kv_log(d, "    Warning: Node `%s' has no table\n", name))
                return status;
        }
        if (!_kv_node_get_table(n))
            return kv_error_code();
    }
    if (int status = _kv_log(d, "\n\nAssignment of potentials to cliques:\n\n"))
        return status;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        kv_table_s *t = n->table;
        if (!t)
            continue;
        kv_clique_s *c;
        if (n->kind == kv_kind_continuous)
            c = n->junction_tree ? first_containing(n->junction_tree, t->nodes) : nullptr;
        else
            c = _kv_index_select_clique(index, t->nodes);
        if (!c && !t->nodes[0]) // a table over no nodes: any clique of the smallest
            c = _kv_select_clique(d->first_clique, t->nodes, nullptr);
        if (!c)
            return _kv_set_error_code(kv_error_error);
        switch (n->category) {
        case kv_category_chance:
        case kv_category_decision:
            n->potential_control = _kv_create_control(c->probability_table, c->utility_table, t, nullptr);
            break;
        case kv_category_utility:
            n->potential_control = _kv_create_control(c->probability_table, c->utility_table, nullptr, t);
            n->junction_tree = c->junction_tree;
            break;
        default:
            return _kv_set_error_code(kv_error_error);
        }
        if (!n->potential_control)
            return kv_error_code();
        n->assigned_clique = c;
        if (d->log_file) {
            const char *name = kv_node_get_name(n);
            if (!name)
                return kv_error_code();
            if (int status = _kv_log(d, "    Node %s assigned to clique %s\n", name, _kv_print_size(d, c->number)))
                return status;
        }
    }
    for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next) {
        kv_table_s *pt = b->parent_table;
        kv_clique_s *c = pt->nodes[0] ? _kv_select_clique(d->first_clique, pt->nodes, nullptr)
                                      : _kv_select_clique2(d->first_clique, b->nodes[0]->junction_tree, nullptr);
        if (!c)
            return _kv_set_error_code(kv_error_error);
        b->parent_control = _kv_create_control(c->probability_table, c->utility_table, pt, nullptr);
        if (!b->parent_control)
            return kv_error_code();
        if (d->log_file) {
            if (int status = _kv_log(d, "    Chain graph component ("))
                return status;
            if (int status = log_node_names(d, b->nodes))
                return status;
            if (int status = _kv_log(d, ":\n\tParents assigned to clique %s\n", _kv_print_size(d, c->number)))
                return status;
        }
        size_t count = 0;
        while (b->potentials[count])
            ++count;
        b->potential_controls = kv::allocate_array<kv_control_s *>(count + 1);
        if (!b->potential_controls)
            return kv_error_no_memory;
        std::memset(b->potential_controls, 0, (count + 1) * sizeof(kv_control_s *));
        for (size_t i = 0; i < count; ++i) {
            kv_table_s *p = b->potentials[i];
            kv_clique_s *pc = _kv_select_clique(d->first_clique, p->nodes, nullptr);
            if (!pc)
                return _kv_set_error_code(kv_error_error);
            b->potential_controls[i] = _kv_create_control(pc->probability_table, pc->utility_table, p, nullptr);
            if (!b->potential_controls[i])
                return kv_error_code();
            if (d->log_file) {
                if (int status = _kv_log(d, "   Potential ("))
                    return status;
                if (int status = log_node_names(d, p->nodes))
                    return status;
                if (int status = _kv_log(d, " assigned to clique %s\n", _kv_print_size(d, pc->number)))
                    return status;
            }
        }
    }
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Table checks.

double _kv_calculate_sum(const double *data, size_t n)
{
    return double(_kv_ordered_sum(data, n));
}

// Checks a node's table and normalises each column in place (the stored
// table changes).  Tables of continuous nodes get weight 1.0 everywhere.
static int check_conditional_table(kv_table_s *t, bool strict)
{
    if (_kv_allocate_data_arrays(t))
        return kv_error_no_memory;
    double *v = t->discrete_data;
    if (t->continuous_count) {
        for (size_t i = 0; i < t->size; ++i)
            v[i] = 1.0;
        return kv_error_none;
    }
    for (size_t i = 0; i < t->size; ++i)
        if (v[i] < 0.0)
            return _kv_set_error_code(kv_error_negative_probability);
    if (t->discrete_count == 0)
        return kv_error_none;
    size_t k = t->nodes[t->discrete_count - 1]->number_of_states;
    for (size_t start = 0; start < t->size; start += k) {
        double sum = _kv_calculate_sum(v + start, k);
        if (sum > 0.0) {
            for (size_t s = 0; s < k; ++s)
                v[start + s] /= sum;
        } else if (strict) {
            return _kv_set_error_code(kv_error_zero_sum);
        } else {
            for (size_t s = 0; s < k; ++s)
                v[start + s] = 1.0 / double(k);
        }
    }
    return kv_error_none;
}

static bool in_tree(const kv_node_s *n, const kv_junction_tree_s *jt)
{
    return n->junction_tree == jt;
}

static int jt_check_user_potentials(kv_junction_tree_s *jt)
{
    kv_domain_s *d = jt->domain;
    for (kv_node_s **n = jt->nodes; *n; ++n)
        if ((*n)->category == kv_category_chance && (*n)->table)
            if (int status = check_conditional_table((*n)->table, true))
                return status;
    for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next) {
        if (!in_tree(b->nodes[0], jt))
            continue;
        for (kv_table_s **p = b->potentials; *p; ++p) {
            if (_kv_allocate_data_arrays(*p))
                return kv_error_no_memory;
            for (size_t i = 0; i < (*p)->size; ++i)
                if ((*p)->discrete_data[i] < 0.0)
                    return _kv_set_error_code(kv_error_negative_probability);
        }
    }
    return kv_error_none;
}

// The parent table of a chain block: 1 / (the sum over the block of the
// product of the members' tables and the chain potentials).
static int jt_calculate_derived_potentials(kv_junction_tree_s *jt)
{
    kv_domain_s *d = jt->domain;
    for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next) {
        if (!in_tree(b->nodes[0], jt))
            continue;
        kv_table_s *pt = b->parent_table;
        Vec<kv_node_s *> nodes;
        for (kv_node_s **n = pt->nodes; *n; ++n)
            nodes.push_back(*n);
        for (kv_node_s **n = b->nodes; *n; ++n)
            nodes.push_back(*n);
        nodes.push_back(nullptr);
        kv_table_s *scratch = _kv_create_table(d, nodes.data(), KV_PROBABILITY, KV_ROLE_SCRATCH, 1, 1);
        if (!scratch)
            return kv_error_code();
        int status = kv_error_none;
        for (kv_node_s **m = b->nodes; *m && !status; ++m)
            if ((*m)->table)
                status = _kv_combine_tables(scratch, (*m)->table);
        for (kv_table_s **p = b->potentials; *p && !status; ++p)
            status = _kv_combine_tables(scratch, *p);
        if (!status)
            status = _kv_marginalize_tables(scratch, pt, kv_equilibrium_sum, kv_mode_normal, 0);
        _kv_free_table(scratch);
        if (status)
            return status;
        for (size_t i = 0; i < pt->size; ++i) {
            if (!(pt->discrete_data[i] > 0.0))
                return _kv_set_error_code(kv_error_chain_graph);
            pt->discrete_data[i] = 1.0 / pt->discrete_data[i];
        }
    }
    return kv_error_none;
}

// Clique tables not filled with ones yet (by table number) get their first
// discrete probability potential copied in rather than multiplied.
// With slice given, discrete probability potentials go only into the slices
// of the evidence about to be propagated.
static int incorporate_potential(kv_node_s *n, kv_junction_tree_s *jt, Vec<char> &unfilled,
                                 kv_state_function_t slice)
{
    kv_control_s *c = n->potential_control;
    kv_table_s *big = _kv_control_big(c);
    if (slice && big->sparse && jt->tables.sparse_active)
        return kv_error_none; // loaded whole from its sparse form
    bool assign = unfilled[big->number] != 0;
    unfilled[big->number] = 0;
    if (assign && !_kv_discrete_probabilities(c)) {
        _kv_init_table(big);
        assign = false;
    }
    if (slice && _kv_discrete_probabilities(c))
        return _kv_combine_sliced(c, assign, slice);
    return assign ? _kv_assign(c) : _kv_combine(c);
}

namespace {
// The potentials of a tree of many nodes go into their cliques on several
// threads: each job takes the potentials of whole cliques, each clique's
// in the tree's order, so every table gets the same products.
struct PotentialJobs {
    kv_junction_tree_s *jt;
    Vec<char> *unfilled;
    kv_state_function_t slice;
    std::vector<kv_node_s *> by_clique; // potential order within each clique
    std::vector<size_t> job_start;      // into by_clique, one more at the end
    std::vector<int> status;
};
} // namespace

static void incorporate_job(size_t k, void *context)
{
    PotentialJobs &p = *static_cast<PotentialJobs *>(context);
    for (size_t i = p.job_start[k]; i < p.job_start[k + 1]; ++i) {
        int status;
        try {
            status = incorporate_potential(p.by_clique[i], p.jt, *p.unfilled, p.slice);
        } catch (const std::bad_alloc &) {
            status = kv_error_no_memory;
        }
        if (status) {
            p.status[k] = status;
            return;
        }
    }
}

// The entries of t in the slice of the chosen states.
static double slice_entries(const kv_table_s *t, kv_state_function_t slice)
{
    double n = double(t->size);
    for (size_t j = 0; j < t->discrete_count; ++j)
        if (slice(t->nodes[j]) != static_cast<size_t>(-1))
            n /= double(t->nodes[j]->number_of_states);
    return n;
}

// False when the tree's potentials are better left to one thread.
static bool incorporate_in_parallel(kv_junction_tree_s *jt, Vec<char> &unfilled, kv_state_function_t slice,
                                    int &status)
{
    kv_domain_s *d = jt->domain;
    size_t count = 0;
    while (jt->potential_order[count])
        ++count;
    if (!slice || !_kv_many_nodes_to_split(jt, count))
        return false;
    // The potentials grouped by clique table, the groups in order of their
    // first potential.
    std::vector<size_t> group(d->number_of_tables + 1, 0), size;
    std::vector<kv_table_s *> bigs;
    for (size_t i = 0; i < count; ++i) {
        kv_table_s *big = _kv_control_big(jt->potential_order[i]->potential_control);
        if (big->number > d->number_of_tables)
            return false;
        if (!group[big->number]) {
            bigs.push_back(big);
            size.push_back(0);
            group[big->number] = bigs.size();
        }
        ++size[group[big->number] - 1];
    }
    // Largest work first (each potential passes its clique's evidence
    // slice once; a clique loaded from its sparse form takes none), so that
    // jobs taken in order balance; the order of cliques changes nothing.
    size_t groups = bigs.size();
    std::vector<double> work(groups);
    std::vector<size_t> rank(groups);
    double total = 0.0;
    for (size_t g = 0; g < groups; ++g) {
        work[g] = bigs[g]->sparse && jt->tables.sparse_active ? 0.0 : double(size[g]) * slice_entries(bigs[g], slice);
        total += work[g];
        rank[g] = g;
    }
    // Heavy evidence leaves slices too small to be worth handing out.
    if (total < _kv_minimum_split_work())
        return false;
    std::stable_sort(rank.begin(), rank.end(), [&](size_t x, size_t y) { return work[x] > work[y]; });
    std::vector<size_t> start(groups, 0); // of each group in by_clique
    for (size_t r = 0, at = 0; r < groups; ++r) {
        start[rank[r]] = at;
        at += size[rank[r]];
    }
    PotentialJobs p{jt, &unfilled, slice, std::vector<kv_node_s *>(count), {}, {}};
    std::vector<size_t> filled = start;
    for (size_t i = 0; i < count; ++i) {
        kv_node_s *n = jt->potential_order[i];
        p.by_clique[filled[group[_kv_control_big(n->potential_control)->number] - 1]++] = n;
    }
    // Jobs of whole groups, about equal in work.
    double done = 0.0;
    size_t jobs = std::min(groups, 4 * d->concurrency_level);
    p.job_start.push_back(0);
    for (size_t r = 0; r + 1 < groups; ++r) {
        done += work[rank[r]];
        if (done >= total * double(p.job_start.size()) / double(jobs))
            p.job_start.push_back(start[rank[r + 1]]);
    }
    p.job_start.push_back(count);
    p.status.assign(p.job_start.size() - 1, 0);
    _kv_count_split_load();
    _kv_run_jobs(d, p.status.size(), incorporate_job, &p);
    status = kv_error_none;
    for (int s : p.status)
        if (s) {
            status = s;
            break;
        }
    return true;
}

// Where the clique tables were not filled with ones, unfilled tells which.
static int jt_use_potentials(kv_junction_tree_s *jt, Vec<char> unfilled = {},
                             kv_state_function_t slice = nullptr)
{
    kv_domain_s *d = jt->domain;
    int status = kv_error_none;
    unfilled.resize(d->number_of_tables + 1, 0);
    if (!incorporate_in_parallel(jt, unfilled, slice, status))
        for (kv_node_s **n = jt->potential_order; *n && !status; ++n)
            status = incorporate_potential(*n, jt, unfilled, slice);
    for (kv_chain_block_s *b = d->chain_blocks; b && !status; b = b->next) {
        if (!in_tree(b->nodes[0], jt))
            continue;
        status = _kv_combine(b->parent_control);
        for (size_t i = 0; b->potential_controls[i] && !status; ++i)
            status = _kv_combine(b->potential_controls[i]);
    }
    return status;
}

// Collect without division: every child's marginal on its separator is
// multiplied into the parent and kept as the separator's contents.  The
// continuous nodes of the separator pass to the parent: the child keeps the
// distribution of its other heads given them, so that every continuous node
// is a head in exactly one clique, the highest that holds it.
static int special_collect_into(kv_clique_s *c, kv_clique_s *parent)
{
    kv_control_s *up = _kv_link_control(c, parent), *into = _kv_link_control(parent, c);
    if (int status = _kv_marginalize(up, kv_equilibrium_sum, kv_mode_normal, 0))
        return status;
    if (int status = _kv_copy_to_table_pair(up->small_probability, up->small_utility, kv_equilibrium_sum))
        return status;
    if (int status = _kv_combine(into))
        return status;
    kv_table_s *t = c->probability_table, *sep = up->small_probability;
    for (size_t k = 0; k < sep->continuous_count; ++k) {
        size_t j = up->continuous_map[k];
        if (t->continuous_roles[j] == KV_HEAD)
            if (int status = _kv_table_complement(t, j))
                return status;
    }
    return kv_error_none;
}

static int special_collect(kv_junction_tree_s *jt)
{
    return _kv_jt_walk(
        jt, jt->root, [](kv_walk_frame_s &) { return 0; },
        [](kv_walk_frame_s &f, kv_walk_frame_s *) {
            return f.parent ? special_collect_into(f.clique, f.parent) : kv_error_none;
        });
}

// ---------------------------------------------------------------------------
// Memory copy of the tree tables.

static bool table_needs_backup(const kv_table_s *t)
{
    return t->role == KV_ROLE_CLIQUE || t->role == KV_ROLE_SEPARATOR || t->role == KV_ROLE_BELIEF;
}

// Walks the tables that need backup with their offsets into the three
// arrays; f(table, data offset, cg offset, role offset).
template <class F> static void for_backup_tables(kv_domain_s *d, F &&f)
{
    size_t data = 0, cg = 0, roles = 0;
    for (kv_table_s *t = d->first_table; t; t = t->next) {
        if (!table_needs_backup(t))
            continue;
        f(t, data, cg, roles);
        data = _kv_size_add(data, t->size);
        cg = _kv_size_add(cg, _kv_size_multiply(t->size, t->cg_size));
        roles = _kv_size_add(roles, t->continuous_count);
    }
}

static bool tree_owns(const kv_table_s *t, const kv_junction_tree_s *jt)
{
    for (kv_node_s **n = t->nodes; *n; ++n)
        return (*n)->junction_tree == jt;
    return true; // tables over no nodes belong to every tree
}

static void jt_transfer_tables(kv_junction_tree_s *jt, bool save)
{
    kv_domain_s *d = jt->domain;
    for_backup_tables(d, [&](kv_table_s *t, size_t data, size_t cg, size_t roles) {
        if (!tree_owns(t, jt) || !t->discrete_data)
            return;
        size_t ncg = t->size * t->cg_size;
        if (save) {
            std::memcpy(d->memory_data + data, t->discrete_data, t->size * sizeof(double));
            if (ncg)
                std::memcpy(d->memory_cg_data + cg, t->cg_data, ncg * sizeof(double));
            if (t->continuous_count)
                std::memcpy(d->memory_roles + roles, t->continuous_roles, t->continuous_count);
        } else {
            std::memcpy(t->discrete_data, d->memory_data + data, t->size * sizeof(double));
            if (ncg)
                std::memcpy(t->cg_data, d->memory_cg_data + cg, ncg * sizeof(double));
            if (t->continuous_count)
                std::memcpy(t->continuous_roles, d->memory_roles + roles, t->continuous_count);
        }
    });
}

// ---------------------------------------------------------------------------
// Reset.

// The evidence state of a reset; gives the number of nodes with evidence
// to propagate.
static int reset_evidence_state(kv_junction_tree_s *jt, int keep_evidence, size_t &count)
{
    jt->equilibrium = kv_equilibrium_none;
    if (!keep_evidence) {
        jt->evidence_propagated = jt->likelihood_propagated = jt->cg_evidence_propagated = 0;
        jt->step_constant = jt->normalization_constant = 1.0;
        jt->step_log_constant = jt->log_normalization_constant = 0.0;
        jt->conflict = 1.0;
        jt->evidence_mode = kv_mode_normal;
        for (kv_clique_s **c = jt->cliques; *c; ++c)
            (*c)->factor = 1.0;
        for (kv_node_s **m = jt->nodes; *m; ++m) {
            kv_node_s *n = *m;
            if (n->category != kv_category_chance && n->category != kv_category_decision)
                continue;
            if (n->kind == kv_kind_discrete) {
                if (n->evidence_table && _kv_allocate_data_arrays(n->evidence_table))
                    return kv_error_no_memory;
                if (n->evidence_table)
                    _kv_init_table(n->evidence_table);
                n->entered_state = n->number_of_states == 1 ? 0 : -1;
            } else {
                n->value_propagated = 0;
            }
        }
    }
    count = 0;
    for (kv_node_s **m = jt->nodes; *m; ++m) {
        kv_node_s *n = *m;
        if ((n->category == kv_category_chance || n->category == kv_category_decision) &&
            _kv_node_evidence_to_propagate(n))
            ++count;
    }
    jt->evidence_to_propagate = count;
    return kv_error_none;
}

// The clique tables get the product of their potentials (with slice given,
// only on the slices it defines).  The node tables are checked (and their
// columns normalised) unless unchanged since the last reset that did.
static int load_potentials(kv_junction_tree_s *jt, int keep_evidence,
                           kv_state_function_t slice = nullptr, bool checked = false)
{
    kv_domain_s *d = jt->domain;
    if (!checked)
        if (int status = jt_check_user_potentials(jt))
            return status;
    if (int status = jt_calculate_derived_potentials(jt))
        return status;
    if (keep_evidence)
        return jt_use_potentials(jt);
    // Clique tables whose first potential can be copied in are not filled
    // with ones first.
    Vec<char> unfilled(d->number_of_tables + 1, 0);
    for (kv_node_s **n = jt->potential_order; *n; ++n) {
        kv_control_s *c = (*n)->potential_control;
        if (_kv_discrete_probabilities(c))
            unfilled[_kv_control_big(c)->number] = 1;
    }
    for (kv_clique_s **cc = jt->cliques; *cc; ++cc) {
        kv_clique_s *c = *cc;
        c->unit_table = 0;
        if (slice && c->probability_table->sparse && jt->tables.sparse_active) {
            _kv_sparse_load(c->probability_table);
            continue;
        }
        if (unfilled[c->probability_table->number])
            continue;
        if (slice)
            c->unit_table = 1;
        else
            _kv_init_table(c->probability_table);
        if (c->utility_table)
            _kv_init_table(c->utility_table);
    }
    return jt_use_potentials(jt, std::move(unfilled), slice);
}

// Walks the belief tables of the tree's discrete chance nodes with their
// offsets in prior_beliefs.
template <class F> static bool for_prior_tables(kv_junction_tree_s *jt, F &&f)
{
    size_t offset = 0;
    for (kv_node_s **m = jt->nodes; *m; ++m) {
        kv_node_s *n = *m;
        if (n->kind != kv_kind_discrete || n->category != kv_category_chance)
            continue;
        kv_table_s *b = n->belief_table;
        if (!b || !b->discrete_data)
            return false;
        f(b, offset);
        offset += b->size;
    }
    return true;
}

static bool no_evidence_in_tables(kv_junction_tree_s *jt)
{
    for (kv_node_s **m = jt->nodes; *m; ++m) {
        kv_node_s *n = *m;
        if (n->kind != kv_kind_discrete || !n->evidence_table)
            continue;
        const double *e = n->evidence_table->discrete_data;
        for (size_t s = 0; e && s < n->number_of_states; ++s)
            if (e[s] != 1.0)
                return false;
    }
    return true;
}

static void remember_priors(kv_junction_tree_s *jt)
{
    std::free(jt->prior_beliefs);
    jt->prior_beliefs = nullptr;
    size_t total = 0;
    if (!for_prior_tables(jt, [&](kv_table_s *b, size_t) { total += b->size; }))
        return;
    jt->prior_beliefs = static_cast<double *>(std::malloc((total ? total : 1) * sizeof(double)));
    if (jt->prior_beliefs)
        for_prior_tables(jt, [&](kv_table_s *b, size_t offset) {
            std::memcpy(jt->prior_beliefs + offset, b->discrete_data, b->size * sizeof(double));
        });
}

int _kv_jt_reset_inference_engine(kv_junction_tree_s *jt, int keep_evidence)
{
    kv_domain_s *d = jt->domain;
    size_t count;
    if (int status = reset_evidence_state(jt, keep_evidence, count))
        return status;
    _kv_invalidate_simulation(d);
    _kv_jt_begin_reset(jt);
    if (int status = _kv_jt_generate_tables(jt))
        return status;
    if (!jt->tables_to_propagate && d->memory_data) {
        jt_transfer_tables(jt, false);
        jt->equilibrium = kv_equilibrium_sum;
        return kv_error_none;
    }
    std::free(jt->prior_beliefs);
    jt->prior_beliefs = nullptr;
    if (int status = load_potentials(jt, keep_evidence, nullptr, d->tables_normalised != 0))
        return status;
    if (int status = special_collect(jt))
        return status;
    jt->approximation_constant = 1.0;
    // A compressed tree has lost the entries compression dropped: its root
    // holds the probability mass that is left, which becomes the tree's
    // approximation constant.
    if (d->is_compressed) {
        kv_table_s *root = jt->root->probability_table;
        double z = _kv_normalization_constant(root, kv_equilibrium_sum, kv_mode_normal);
        if (int status = _kv_check_norm_factor(z))
            return status;
        _kv_normalize_with(root, z);
        jt->approximation_constant = z;
    }
    for (kv_clique_s **c = jt->cliques; *c; ++c)
        (*c)->root_mark = 1;
    if (int status = _kv_distribute_evidence(jt->root, kv_equilibrium_sum, kv_mode_normal))
        return status;
    if (int status = _kv_jt_update_beliefs(jt, kv_equilibrium_sum, kv_mode_normal))
        return status;
    bool priors = no_evidence_in_tables(jt);
    if (priors)
        remember_priors(jt);
    _kv_jt_end_reset(jt, priors && !d->memory_data);
    if (d->memory_data)
        jt_transfer_tables(jt, true);
    jt->tables_to_propagate = 0;
    jt->equilibrium = kv_equilibrium_sum;
    return _kv_set_error_code(kv_error_none);
}

// The propagation of a full reset only serves the prior beliefs, which the
// evidence propagation needs for the conflict; when they are known, the
// initial potentials go straight into that propagation, which then costs
// one collect and one distribute instead of two of each.
// The state of a node's entered hard evidence, which the propagation that
// follows a reset makes its propagated evidence.
static size_t entered_state(const kv_node_s *n)
{
    return n->reset_state < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(n->reset_state);
}

int _kv_jt_reset_for_evidence(kv_junction_tree_s *jt)
{
    kv_domain_s *d = jt->domain;
    // An approximated compressed tree needs the mass of its kept entries
    // again, which only the full reset finds.
    if (!jt->prior_beliefs || jt->tables_to_propagate || d->memory_data ||
        (d->is_compressed && jt->tables.approximated) ||
        d->number_of_continuous_nodes + d->number_of_decision_nodes + d->number_of_utility_nodes)
        return _kv_jt_reset_inference_engine(jt, 0);
    size_t count;
    if (int status = reset_evidence_state(jt, 0, count))
        return status;
    if (count == 0)
        return _kv_jt_reset_inference_engine(jt, 0);
    bool sliced = _kv_jt_slices(jt, kv_equilibrium_sum, kv_mode_normal);
    // Found once per node: the slices ask for it per table and node.
    for (kv_node_s **m = jt->nodes; sliced && *m; ++m) {
        size_t s = _kv_single_positive_state((*m)->entered_finding, (*m)->number_of_states);
        (*m)->reset_state = s == static_cast<size_t>(-1) ? -1 : int(s);
    }
    _kv_jt_begin_reset_for_evidence(jt, sliced);
    // The priors come from a full reset with the same node tables (a change
    // sets the tables-to-propagate flag), which checked them.
    if (int status = load_potentials(jt, 0, sliced ? entered_state : nullptr, true))
        return status;
    // The separators count as ones until the collect that follows has
    // passed each of them once.
    _kv_jt_end_reset_for_evidence(jt);
    if (!for_prior_tables(jt, [&](kv_table_s *b, size_t offset) {
            std::memcpy(b->discrete_data, jt->prior_beliefs + offset, b->size * sizeof(double));
        }))
        return _kv_jt_reset_inference_engine(jt, 0);
    // The potentials of a compressed tree hold the mass its last full reset
    // found (its approximation constant); the propagation's constant is
    // taken relative to it, as after that reset.
    if (d->is_compressed) {
        jt->normalization_constant = 1.0 / jt->approximation_constant;
        jt->log_normalization_constant = -std::log(jt->approximation_constant);
    } else {
        jt->approximation_constant = 1.0;
    }
    return _kv_set_error_code(kv_error_none);
}

kv_status_t kv_domain_reset_inference_engine(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled);
    return kv::guard_status([&] {
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
            if (jt->tables_to_propagate || jt->equilibrium != kv_equilibrium_sum ||
                jt->evidence_propagated || jt->cg_evidence_propagated || jt->tables.approximated)
                if (int status = _kv_jt_reset_inference_engine(jt, 0))
                    return status;
        return _kv_set_error_code(kv_error_none);
    });
}

kv_status_t kv_domain_initialize(kv_domain_t d)
{
    int status = kv_domain_reset_inference_engine(d);
    if (status == kv_error_usage || status == kv_error_not_compiled)
        return status;
    // The evidence goes even when the reset fails (a tree left without an
    // equilibrium is reset again by the next propagation).
    int retracted = kv_domain_retract_findings(d);
    return _kv_set_error_code(status ? status : retracted);
}

kv_status_t kv_domain_save_to_memory(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled);
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (_kv_set_error_code(jt->equilibrium != kv_equilibrium_sum ||
                               jt->evidence_mode != kv_mode_normal))
            return kv_error_usage;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (jt->cg_evidence_propagated)
            return _kv_set_error_code(kv_error_cg_evidence_incorporated);
    if (!d->memory_data) {
        size_t data = 0, cg = 0, roles = 0;
        for_backup_tables(d, [&](kv_table_s *t, size_t, size_t, size_t) {
            data = _kv_size_add(data, t->size);
            cg = _kv_size_add(cg, _kv_size_multiply(t->size, t->cg_size));
            roles = _kv_size_add(roles, t->continuous_count);
        });
        d->memory_data = kv::allocate_array<double>(data ? data : 1);
        d->memory_cg_data = d->memory_data ? kv::allocate_array<double>(cg ? cg : 1) : nullptr;
        d->memory_roles = d->memory_cg_data ? kv::allocate_array<signed char>(roles ? roles : 1) : nullptr;
        if (!d->memory_roles) {
            _kv_domain_free_memory_tables(d);
            return static_cast<int>(kv_error_no_memory);
        }
    }
    _kv_domain_fill_slices(d);
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        jt_transfer_tables(jt, true);
    return _kv_set_error_code(kv_error_none);
}

void _kv_domain_free_memory_tables(kv_domain_s *d)
{
    std::free(d->memory_data);
    std::free(d->memory_cg_data);
    std::free(d->memory_roles);
    d->memory_data = d->memory_cg_data = nullptr;
    d->memory_roles = nullptr;
}

kv_status_t kv_domain_reclaim_memory_tables(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    _kv_domain_free_memory_tables(d);
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Quantitative compilation.

static int inspect_all_potentials(kv_domain_s *d)
{
    if (!d->log_file)
        return kv_error_none;
    if (int status = _kv_log(d, "\n\nChecking tables for all nodes:\n\n"))
        return status;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (n->category != kv_category_chance || !n->table)
            continue;
        kv_table_s *t = n->table;
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        size_t k = t->continuous_count || !t->discrete_count ? 1 : t->nodes[t->discrete_count - 1]->number_of_states;
        for (size_t start = 0; start < t->size; start += k) {
            double sum = _kv_calculate_sum(t->discrete_data + start, k);
            lo = sum < lo ? sum : lo;
            hi = sum > hi ? sum : hi;
        }
        const char *name = kv_node_get_name(n);
        if (!name)
            return kv_error_code();
        if (int status = _kv_log(d, "    Node %s: min=%g  max=%g\n", name, lo, hi))
            return status;
    }
    return kv_error_none;
}

kv_status_t kv_domain_compile_quantitatively(kv_domain_t d, kv_progress_t progress)
{
    if (_kv_set_error_code(!d || !d->first_junction_tree || d->is_compiled))
        return kv_error_usage;
    return kv::guard_status([&] {
        if (progress)
            progress("Allocating space for table data");
        for (kv_table_s *t = d->first_table; t; t = t->next)
            if (int status = _kv_allocate_data_arrays(t))
                return status;
        if (progress)
            progress("Global propagation");
        if (int status = inspect_all_potentials(d))
            return status;
        d->is_compiled = 1;
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
            jt->tables_to_propagate = 1;
            if (int status = _kv_jt_reset_inference_engine(jt, 1)) {
                d->is_compiled = 0;
                return status;
            }
        }
        if (int status = _kv_report_beliefs(d)) {
            d->is_compiled = 0;
            return status;
        }
        if (_kv_domain_flush_log_file(d)) {
            d->is_compiled = 0;
            return _kv_set_error_code(kv_error_io);
        }
        d->is_compiled = 1;
        return _kv_set_error_code(kv_error_none);
    });
}
