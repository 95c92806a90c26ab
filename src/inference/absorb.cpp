// Absorption, collect and distribute: the message passing of every
// propagation and of the initialisation of junction trees.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "propagate.h"
#include "table/operations.h"
#include "table/parallel.h"

kv_control_s *_kv_link_control(const kv_clique_s *a, const kv_clique_s *b)
{
    for (kv_neighbor_s *cell = a->neighbors; cell; cell = cell->next)
        if (cell->clique == b)
            return cell->control;
    return nullptr;
}

int _kv_check_norm_factor(double z)
{
    // A negative constant is the failure value of a computation that set
    // its own code; without one, negative table entries made it.
    if (z < 0.0) {
        int code = kv_error_code();
        return code ? code : _kv_set_error_code(kv_error_negative_probability);
    }
    if (z >= 2.2250738585072014e-308 && z < 1.7976931348623157e308)
        return kv_error_none;
    if (z >= 0.0 && z < 2.2250738585072014e-308)
        return _kv_set_error_code(kv_error_inconsistency_or_underflow);
    return _kv_set_error_code(kv_error_overflow);
}

double _kv_probability_of_evidence(const kv_node_s *n)
{
    const double *b = n->belief_table ? n->belief_table->discrete_data : nullptr;
    const double *e = n->evidence_table ? n->evidence_table->discrete_data : nullptr;
    if (!b || !e)
        return 1.0;
    bool sum = !n->junction_tree || n->junction_tree->equilibrium != kv_equilibrium_max;
    long double p = 0.0L;
    for (size_t s = 0; s < n->number_of_states; ++s) {
        long double x = (long double)b[s] * e[s];
        p = sum ? p + x : (x > p ? x : p);
    }
    return double(p);
}

static double largest(const double *x, size_t n)
{
    double m = 0.0;
    for (size_t i = 0; i < n; ++i)
        m = x[i] > m ? x[i] : m;
    return m;
}

void _kv_clique_take_ones(kv_clique_s *c)
{
    if (!c->unit_table)
        return;
    _kv_sliced_fill(c->probability_table, 1.0, _kv_node_chosen_state);
    c->unit_table = 0;
}

int _kv_clique_combine(kv_clique_s *c, kv_control_s *into, bool sliced)
{
    if (sliced && _kv_sparse_use(c->junction_tree, into)) {
        _kv_sparse_multiply(into);
        return _kv_set_error_code(kv_error_none);
    }
    if (!sliced)
        return _kv_combine(into);
    bool assign = c->unit_table != 0;
    c->unit_table = 0;
    return _kv_combine_sliced(into, assign, _kv_node_chosen_state);
}

bool _kv_jt_slices(const kv_junction_tree_s *jt, int eq, int mode)
{
    const kv_domain_s *d = jt->domain;
    return eq == kv_equilibrium_sum && mode == kv_mode_normal && !jt->tables.exposed && !jt->tables.flat &&
           d->number_of_continuous_nodes + d->number_of_decision_nodes + d->number_of_utility_nodes == 0;
}

// A fast-retraction message that is zero where the source's own table is
// not has lost those entries to the evidence of the source's side (logical
// relations in the tables): the update sent back through the link is 0/0
// there, so the beliefs of the nodes whose evidence that was could not be
// freed of it.  The propagation fails rather than give them wrong beliefs.
static int check_fast_retraction(kv_control_s *from, size_t n)
{
    kv_domain_s *d = from->domain;
    double *with = kv::allocate_array<double>(n ? n : 1);
    if (!with)
        return _kv_set_error_code(kv_error_no_memory);
    std::memcpy(with, _kv_scratch(d), n * sizeof(double));
    int status = _kv_marginalize(from, kv_equilibrium_sum, kv_mode_normal, 0);
    bool lost = false;
    const double *without = _kv_scratch(d);
    for (size_t i = 0; i < n && !status; ++i)
        lost = lost || (with[i] == 0.0 && without[i] > 0.0);
    std::memcpy(_kv_scratch(d), with, n * sizeof(double));
    std::free(with);
    if (status)
        return status;
    return lost ? _kv_set_error_code(kv_error_fast_retraction) : kv_error_none;
}

// The update sent through a link, into the separator: new / old contents,
// 0 where the old contents are 0, divided by z; with unit the old contents
// count as ones.  Over the entries at(0) ... at(count - 1).  The divisor is
// chosen without a branch so that the loop vectorises.
template <class At>
static void separator_update(double *sep, const double *fresh, size_t count, At at, double z, bool unit)
{
    if (unit) {
        for (size_t k = 0; k < count; ++k)
            sep[at(k)] = fresh[at(k)] / z;
        return;
    }
    if (z == 1.0) { // a distribute: no normaliser, and no division for it
        for (size_t k = 0; k < count; ++k) {
            double old = sep[at(k)];
            sep[at(k)] = fresh[at(k)] / (old == 0.0 ? 1.0 : old) * (old == 0.0 ? 0.0 : 1.0);
        }
        return;
    }
    for (size_t k = 0; k < count; ++k) {
        double old = sep[at(k)];
        sep[at(k)] = fresh[at(k)] / (old == 0.0 ? 1.0 : old) * (old == 0.0 ? 0.0 : 1.0) / z;
    }
}

int _kv_absorb(kv_clique_s *source, kv_clique_s *dest, int eq, int mode, bool collect)
{
    kv_control_s *from = _kv_link_control(source, dest), *into = _kv_link_control(dest, source);
    kv_junction_tree_s *tree = source->junction_tree;
    bool sliced = _kv_jt_slices(tree, eq, mode);
    if (sliced && tree->tables.form != KV_TABLES_SLICED) // written once: jobs share the tree
        _kv_jt_tables_sliced(tree);
    _kv_clique_take_ones(source);
    kv_table_s *sp = from->small_probability, *su = from->small_utility;
    // Next to a sparse clique only the separator's support can be nonzero;
    // where that is a small part, the other entries (zeros) are left alone.
    const kv_sparse_map_s *link = !sliced || su                ? nullptr
                                  : _kv_sparse_use(tree, from) ? from->sparse_map
                                  : _kv_sparse_use(tree, into) ? into->sparse_map
                                                               : nullptr;
    if (link && 2 * link->support_count > sp->size)
        link = nullptr;
    if (int status = !sliced ? _kv_marginalize(from, eq, mode, mode == kv_mode_normal)
                     : _kv_sparse_use(tree, from) ? _kv_sparse_marginalize(from, !link)
                                                   : _kv_marginalize_sliced(from, _kv_node_chosen_state))
        return status;
    size_t n = sp->size;
    if (collect && mode == kv_mode_fast_retraction)
        if (int status = check_fast_retraction(from, n))
            return status;
    const double *fresh = _kv_scratch(source->domain); // new probabilities, then utilities
    double *sep = sp->discrete_data;
    const uint32_t *support = link ? link->support : nullptr;
    auto on_support = [support](size_t k) { return size_t(support[k]); };
    auto everywhere = [](size_t i) { return i; };
    size_t count = link ? link->support_count : n;
    // The message is normalised in a collect so that long collects cannot
    // underflow; the normaliser goes into the tree's evidence statistics.
    double z = 1.0;
    if (collect) {
        z = link                       ? double(_kv_extended_sum_of(count, [&](size_t k) { return fresh[support[k]]; }))
            : eq == kv_equilibrium_max ? largest(fresh, n)
                                       : double(_kv_extended_sum(fresh, n));
        if (int status = _kv_check_norm_factor(z))
            return status;
    }
    // Only the update is scaled by z: the separator keeps the source's own
    // marginal, so the represented joint loses the factor z that the step
    // constant gains.
    bool unit = collect && tree->tables.unit_separators;
    if (link)
        separator_update(sep, fresh, count, on_support, z, unit);
    else
        separator_update(sep, fresh, count, everywhere, z, unit);
    if (su) {
        const double *fresh_u = fresh + n;
        for (size_t i = 0; i < n; ++i)
            su->discrete_data[i] = fresh_u[i] - su->discrete_data[i];
    }
    if (collect) {
        source->collect_normalizer = z;
        if (!tree->normalizers_deferred)
            _kv_apply_collect_normalizer(source);
        source->factor /= z;
        if (mode == kv_mode_fast_retraction)
            for (kv_node_s **m = source->probability_table->nodes; *m; ++m)
                if ((*m)->kind == kv_kind_discrete &&
                    !_kv_node_in_list(dest->probability_table->nodes, *m))
                    source->factor *= _kv_probability_of_evidence(*m);
        dest->factor *= source->factor;
    }
    if (int status = _kv_clique_combine(dest, into, sliced))
        return status;
    if (link) {
        for (size_t k = 0; k < count; ++k)
            sep[support[k]] = fresh[support[k]];
    } else {
        std::memcpy(sep, fresh, n * sizeof(double));
    }
    if (su)
        std::memcpy(su->discrete_data, fresh + n, n * sizeof(double));
    return _kv_set_error_code(kv_error_none);
}

void _kv_apply_collect_normalizer(const kv_clique_s *c)
{
    kv_junction_tree_s *tree = c->junction_tree;
    tree->step_constant *= c->collect_normalizer;
    tree->step_log_constant += std::log(c->collect_normalizer);
}

int _kv_collect_evidence(kv_clique_s *root, int eq, int mode)
{
    int status;
    if (root->domain->concurrency_level > 1 && _kv_parallel_collect(root, eq, mode, &status))
        return status;
    return _kv_jt_walk(
        root->junction_tree, root,
        [](kv_walk_frame_s &f) { return f.clique->root_mark ? 0 : kv_walk_skip; },
        [&](kv_walk_frame_s &f, kv_walk_frame_s *) {
            return f.parent ? _kv_absorb(f.clique, f.parent, eq, mode, true) : kv_error_none;
        });
}

// CG parts keep their conditional form between propagations: a clique
// takes its parent's message only while it passes the distribution on, and
// gets its own parts back afterwards.  The copy is kept in the walk frame.
namespace {
struct CgCopy {
    double *data;
    signed char *roles;
};
} // namespace

static int save_cg(kv_walk_frame_s &f)
{
    const kv_table_s *t = f.clique->probability_table;
    if (!t->continuous_count || !t->cg_data)
        return kv_error_none;
    size_t n = t->size * t->cg_size;
    CgCopy *copy = kv::allocate_array<CgCopy>(1);
    double *data = copy ? kv::allocate_array<double>(n) : nullptr;
    signed char *roles = data ? kv::allocate_array<signed char>(t->continuous_count) : nullptr;
    if (!roles) {
        std::free(copy);
        std::free(data);
        return kv_error_no_memory;
    }
    std::memcpy(data, t->cg_data, n * sizeof(double));
    std::memcpy(roles, t->continuous_roles, t->continuous_count);
    *copy = {data, roles};
    f.data = copy;
    return kv_error_none;
}

// Puts the saved CG part back (when restore is set) and frees the copy.
static void drop_cg(kv_walk_frame_s &f, bool restore)
{
    CgCopy *copy = static_cast<CgCopy *>(f.data);
    if (!copy)
        return;
    kv_table_s *t = f.clique->probability_table;
    if (restore) {
        std::memcpy(t->cg_data, copy->data, t->size * t->cg_size * sizeof(double));
        std::memcpy(t->continuous_roles, copy->roles, t->continuous_count);
    }
    std::free(copy->data);
    std::free(copy->roles);
    std::free(copy);
    f.data = nullptr;
}

int _kv_distribute_evidence(kv_clique_s *root, int eq, int mode)
{
    int status;
    if (root->domain->concurrency_level > 1 && _kv_parallel_distribute(root, eq, mode, &status))
        return status;
    auto down = [&](kv_walk_frame_s &f) {
        if (!f.parent)
            return static_cast<int>(kv_error_none);
        if (int status = save_cg(f))
            return status;
        return _kv_absorb(f.parent, f.clique, eq, mode, false);
    };
    auto up = [&](kv_walk_frame_s &f, kv_walk_frame_s *) {
        kv_table_s *t = f.clique->probability_table;
        for (kv_node_s **m = t->nodes + t->discrete_count; *m; ++m)
            if ((*m)->belief_control && _kv_control_big((*m)->belief_control) == t)
                if (int status = _kv_node_update_beliefs(*m, eq, mode))
                    return status;
        drop_cg(f, true);
        return static_cast<int>(kv_error_none);
    };
    return _kv_jt_walk(root->junction_tree, root, down, up,
                       [](kv_walk_frame_s &f) { drop_cg(f, false); });
}

// ---------------------------------------------------------------------------
// Normalisation.

double _kv_normalization_constant(kv_table_s *t, int eq, int mode)
{
    if (_kv_allocate_data_arrays(t))
        return -1.0;
    if (mode == kv_mode_normal && eq == kv_equilibrium_sum) {
        long double sum = _kv_ordered_sum(t->discrete_data, t->size);
        for (size_t j = 0; j < t->discrete_count; ++j) {
            kv_node_s *n = t->nodes[j];
            if (n->category != kv_category_decision)
                continue;
            long double options = 0.0L;
            if (t->domain->is_compiled && n->evidence_table && n->evidence_table->discrete_data)
                for (size_t s = 0; s < n->number_of_states; ++s)
                    options += n->evidence_table->discrete_data[s];
            else
                options = n->number_of_states;
            sum /= options;
        }
        return double(sum);
    }
    if (mode == kv_mode_normal) {
        double best = 0.0;
        for (size_t i = 0; i < t->size; ++i)
            if (t->discrete_data[i] > best)
                best = t->discrete_data[i];
        return best;
    }
    if (mode == kv_mode_fast_retraction) {
        kv_node_s *none[] = {nullptr};
        kv_table_s *m = _kv_table_get_marginal(t, none, eq, mode, 0);
        if (!m)
            return -1.0;
        double z = m->discrete_data[0];
        _kv_free_table(m);
        return z;
    }
    _kv_set_error_code(kv_error_error);
    return -1.0;
}

void _kv_normalize_with(kv_table_s *t, double z)
{
    double r = 1.0 / z;
    for (size_t i = 0; i < t->size; ++i)
        t->discrete_data[i] *= r;
}

int _kv_normalize_table(kv_table_s *t, int eq)
{
    double z = _kv_normalization_constant(t, eq, kv_mode_normal);
    if (z < 0.0)
        return kv_error_code();
    if (z == 0.0)
        return _kv_set_error_code(kv_error_normalization);
    _kv_normalize_with(t, z);
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Beliefs.

int _kv_node_update_beliefs(kv_node_s *n, int eq, int mode)
{
    if (n->category != kv_category_chance && n->category != kv_category_decision)
        return kv_error_none;
    kv_table_s *b = n->belief_table;
    if (!b)
        return kv_error_none;
    if (_kv_allocate_data_arrays(b))
        return kv_error_no_memory;
    if (n->kind == kv_kind_discrete && n->category == kv_category_chance &&
        n->entered_state >= 0 && mode == kv_mode_normal) {
        for (size_t s = 0; s < n->number_of_states; ++s)
            b->discrete_data[s] = 0.0;
        b->discrete_data[n->entered_state] = 1.0;
        return kv_error_none;
    }
    kv_control_s *c = n->belief_control;
    if (int status = _kv_sparse_use(n->junction_tree, c) && eq == kv_equilibrium_sum && mode == kv_mode_normal
                         ? _kv_sparse_marginalize(c, true)
                         : _kv_marginalize(c, eq, mode, mode == kv_mode_normal))
        return status;
    if (int status = _kv_copy_to_table_pair(c->small_probability, c->small_utility, eq))
        return status;
    if (mode == kv_mode_fast_retraction && n->category == kv_category_chance)
        return _kv_normalize_table(b, eq);
    return kv_error_none;
}

// A continuous node whose beliefs come from a clique was updated while the
// distribute pass held that clique's joint form; the clique has its
// conditional form back by now.
static bool updated_in_distribute(const kv_node_s *n)
{
    return n->kind == kv_kind_continuous && n->belief_control &&
           _kv_control_big(n->belief_control)->role == KV_ROLE_CLIQUE;
}

int _kv_jt_update_beliefs(kv_junction_tree_s *jt, int eq, int mode)
{
    int status;
    if (jt->domain->concurrency_level > 1 && _kv_parallel_beliefs(jt, eq, mode, &status))
        return status;
    for (kv_node_s **n = jt->nodes; *n; ++n)
        if (!updated_in_distribute(*n))
            if (int status = _kv_node_update_beliefs(*n, eq, mode))
                return status;
    return kv_error_none;
}
