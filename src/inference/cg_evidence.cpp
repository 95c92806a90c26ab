// Observed values of continuous nodes.  The distribution of an observed node
// is carried from the clique where it is a head toward the root until it
// reaches a clique without tail members, where its density is taken; every
// table on the way is conditioned on the value.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "propagate.h"
#include "table/operations.h"

static constexpr double inverse_sqrt_2pi = 0.3989422804014327;

static size_t tails(const kv_table_s *t)
{
    size_t h = 0;
    for (size_t k = 0; k < t->continuous_count; ++k)
        h += t->continuous_roles[k] == KV_TAIL;
    return h;
}

// Conditions continuous member j of t on the value y.  With density, the
// weights become the posterior weights and the result is the density of y
// (1/sqrt(2 pi) times the weighted sum); otherwise 1.  -1.0 on failure.
double _kv_cg_instantiate_table(kv_table_s *t, size_t j, double y, bool density)
{
    double factor = 1.0;
    double *cg = t->cg_data;
    size_t c = t->cg_size;
    if (t->continuous_roles[j] == KV_HEAD) {
        if (density) {
            std::vector<double, kv::ScratchAlloc<double>> d(t->size, 0.0);
            long double sum = 0.0L;
            for (size_t i = 0; i < t->size; ++i) {
                double w = t->discrete_data[i];
                if (w == 0.0)
                    continue;
                double m = cg[i * c + _kv_cg_mean_offset(j)], v = cg[i * c + _kv_cg_cov_offset(j, j)];
                if (v > 0.0) {
                    d[i] = w * std::exp(-0.5 * (y - m) * (y - m) / v) / std::sqrt(v);
                } else if (std::fabs(m - y) <= 1e-10 * std::fabs(y)) {
                    _kv_set_error_code(kv_error_zero_variance);
                    return -1.0;
                }
                sum += d[i];
            }
            double s = double(sum);
            if (!(s > 0.0)) {
                _kv_set_error_code(kv_error_low_density);
                return -1.0;
            }
            for (size_t i = 0; i < t->size; ++i)
                t->discrete_data[i] = d[i] / s;
            factor = s * inverse_sqrt_2pi;
        }
        if (_kv_table_complement(t, j))
            return -1.0;
    }
    if (t->continuous_roles[j] != KV_ABSENT) {
        for (size_t i = 0; i < t->size; ++i)
            for (size_t k = 0; k < t->continuous_count; ++k) {
                if (k == j || t->continuous_roles[k] != KV_HEAD)
                    continue;
                double &r = cg[i * c + _kv_cg_cov_offset(k, j)];
                cg[i * c + _kv_cg_mean_offset(k)] += y * r;
                r = 0.0;
            }
    }
    t->continuous_roles[j] = KV_ABSENT;
    return factor;
}

// A caller-owned copy of t with node x added (as its last continuous node).
static kv_table_s *extended(kv_table_s *t, kv_node_s *x)
{
    kv_table_s *p = _kv_clone_table(t);
    if (!p)
        return nullptr;
    _kv_unlink_table(p);
    if (_kv_table_add_node(p, x)) {
        _kv_free_table(p);
        return nullptr;
    }
    return p;
}

// The marginal of t onto the separator of the control together with x.
kv_table_s *_kv_cg_create_marginal(kv_table_s *t, kv_node_s *x, kv_control_s *control)
{
    kv_table_s *sep = control->small_probability;
    std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> nodes(sep->nodes, sep->nodes + _kv_node_list_length(sep->nodes));
    if (!_kv_node_in_list(sep->nodes, x))
        nodes.push_back(x);
    nodes.push_back(nullptr);
    return _kv_table_get_marginal(t, nodes.data(), kv_equilibrium_sum, kv_mode_normal, 0);
}

// A copy of t extended by x with the conditional-Gaussian parts of `other`
// combined into it.  The discrete weights of `other` are not multiplied in:
// the tree already agrees on them.
kv_table_s *_kv_cg_create_product(kv_table_s *t, kv_node_s *x, kv_table_s *other)
{
    kv_table_s *p = extended(t, x);
    if (!p)
        return nullptr;
    if (int status = _kv_cg_combine_tables(p, other)) {
        _kv_free_table(p);
        _kv_set_error_code(status);
        return nullptr;
    }
    return p;
}

static int fold(kv_junction_tree_s *jt, double factor)
{
    jt->step_constant *= factor;
    jt->step_log_constant += std::log(factor);
    return kv_error_none;
}

static size_t member_index(const kv_table_s *t, const kv_node_s *x)
{
    size_t p = _kv_table_node_position(t, x);
    return p == static_cast<size_t>(-1) ? p : p - t->discrete_count;
}

// A compressed clique table takes part in the operations that add a node or
// make a marginal as a whole copy.
static kv_table_s *whole(kv_table_s *t)
{
    return _kv_whole_copy(t, t->compressed ? t->kept_configurations : nullptr);
}

static kv_table_s *marginal_of(kv_table_s *t, kv_node_s *x, kv_control_s *up)
{
    if (!t->compressed)
        return _kv_cg_create_marginal(t, x, up);
    kv_table_s *w = whole(t);
    kv_table_s *m = w ? _kv_cg_create_marginal(w, x, up) : nullptr;
    kv::KeepError keep;
    _kv_free_table(w);
    return m;
}

// Enters the value y of x at clique c, given what came up from c's subtree
// (carried, consumed); what goes on toward the parent lands in out.
static int incorporate_at(kv_clique_s *c, kv_clique_s *parent, kv_node_s *x, double y,
                          kv_table_s *carried, kv_table_s **out)
{
    *out = nullptr;
    kv_control_s *up = parent ? _kv_link_control(c, parent) : nullptr;
    kv_table_s *t = c->probability_table;
    kv_junction_tree_s *jt = c->junction_tree;
    size_t j = member_index(t, x);
    if (j == static_cast<size_t>(-1)) {
        if (!carried)
            return kv_error_none;
        kv_table_s *w = t->compressed ? whole(t) : t;
        kv_table_s *p = w ? _kv_cg_create_product(w, x, carried) : nullptr;
        if (w != t) {
            kv::KeepError keep;
            _kv_free_table(w);
        }
        _kv_free_table(carried);
        if (!p)
            return kv_error_code();
        bool top = tails(p) == 0 || !up;
        if (top)
            c->root_mark = 1;
        else if (!(*out = marginal_of(p, x, up))) {
            _kv_free_table(p);
            return kv_error_code();
        }
        double factor = _kv_cg_instantiate_table(p, p->continuous_count - 1, y, top);
        if (factor < 0.0) {
            kv::KeepError keep;
            _kv_free_table(*out);
            *out = nullptr;
            _kv_free_table(p);
            return keep.code;
        }
        fold(jt, factor);
        if (t->compressed) {
            _kv_store_kept(t, p);
        } else {
            std::memcpy(t->discrete_data, p->discrete_data, t->size * sizeof(double));
            std::memcpy(t->continuous_roles, p->continuous_roles, t->continuous_count);
            for (size_t i = 0; i < t->size; ++i)
                std::memcpy(t->cg_data + i * t->cg_size, p->cg_data + i * p->cg_size,
                            t->cg_size * sizeof(double));
        }
        _kv_free_table(p);
        return kv_error_none;
    }
    _kv_free_table(carried); // x is here: what came from below is in t already
    signed char role = t->continuous_roles[j];
    if (role == KV_ABSENT)
        return kv_error_none;
    if (role == KV_TAIL)
        return _kv_cg_instantiate_table(t, j, y, false) < 0.0 ? kv_error_code() : kv_error_none;
    bool top = tails(t) == 0 || !up; // the root takes the density in any case
    if (top)
        c->root_mark = 1;
    else if (!(*out = marginal_of(t, x, up)))
        return kv_error_code();
    double factor = _kv_cg_instantiate_table(t, j, y, top);
    if (factor < 0.0) {
        kv::KeepError keep;
        _kv_free_table(*out);
        *out = nullptr;
        return keep.code;
    }
    return fold(jt, factor);
}

// Enters the value y of x in the whole tree, children before parents: each
// frame carries the table its subtree passes up (the last one wins).
static int incorporate(kv_junction_tree_s *jt, kv_node_s *x, double y)
{
    auto carried = [](kv_walk_frame_s &f) { return static_cast<kv_table_s *>(f.data); };
    return _kv_jt_walk(
        jt, jt->root, [](kv_walk_frame_s &) { return 0; },
        [&](kv_walk_frame_s &f, kv_walk_frame_s *parent) {
            kv_table_s *out = nullptr;
            int status = incorporate_at(f.clique, f.parent, x, y, carried(f), &out);
            f.data = nullptr;
            if (status) {
                _kv_free_table(out);
                return status;
            }
            if (parent && out) {
                _kv_free_table(carried(*parent));
                parent->data = out;
            } else {
                _kv_free_table(out);
            }
            return static_cast<int>(kv_error_none);
        },
        [&](kv_walk_frame_s &f) {
            _kv_free_table(carried(f));
            f.data = nullptr;
        });
}

// Enters every continuous node of the tree with a value to propagate, in
// the order of the walk from the root.
int _kv_cg_enter_evidence(kv_junction_tree_s *jt)
{
    for (kv_clique_s **c = jt->walk_order; *c; ++c) {
        kv_table_s *t = (*c)->probability_table;
        for (size_t k = 0; k < t->continuous_count; ++k) {
            kv_node_s *x = t->nodes[t->discrete_count + k];
            if (t->continuous_roles[k] != KV_HEAD || !x->value_entered || x->value_propagated)
                continue;
            if (int status = incorporate(jt, x, x->entered_value))
                return status;
            x->propagated_value = x->entered_value;
            x->value_propagated = 1;
        }
    }
    return kv_error_none;
}

kv_number_t kv_table_compute_density(kv_table_t t, kv_number_t x)
{
    if (_kv_set_error_code(!t || t->continuous_count != 1 || !t->continuous_roles ||
                           t->continuous_roles[0] != KV_HEAD || !t->cg_data))
        return -1.0;
    long double sum = 0.0L;
    for (size_t i = 0; i < t->size; ++i) {
        double w = t->discrete_data ? t->discrete_data[i] : 1.0;
        double m = t->cg_data[2 * i], v = t->cg_data[2 * i + 1];
        if (w > 0.0 && v > 0.0)
            sum += w * std::exp(-0.5 * (x - m) * (x - m) / v) / std::sqrt(v);
    }
    return inverse_sqrt_2pi * double(sum);
}

// The parent of clique c in its tree rooted at the tree's root, or NULL:
// its neighbour that comes before it in the walk from the root.
static kv_clique_s *parent_in_tree(kv_junction_tree_s *jt, kv_clique_s *c)
{
    for (kv_clique_s **w = jt->walk_order; *w != c; ++w)
        for (kv_neighbor_s *b = c->neighbors; b; b = b->next)
            if (b->clique == *w)
                return *w;
    return nullptr;
}

kv_table_t kv_node_get_distribution(kv_node_t n)
{
    if (_kv_set_error_code(!n || n->category != kv_category_chance || n->kind != kv_kind_continuous ||
                           n->value_propagated))
        return nullptr;
    if (!n->home->is_compiled || !n->junction_tree)
        return _kv_set_error_code(kv_error_not_compiled), nullptr;
    kv_junction_tree_s *jt = n->junction_tree;
    if (jt->equilibrium == kv_equilibrium_none)
        return _kv_set_error_code(kv_error_no_equilibrium), nullptr;
    if (_kv_set_error_code(jt->equilibrium != kv_equilibrium_sum))
        return nullptr;
    return kv::guard_ptr([&]() -> kv_table_s * {
        kv_table_s *source = _kv_control_big(n->belief_control);
        kv_clique_s *clique = nullptr;
        for (kv_clique_s **c = jt->cliques; *c && !clique; ++c)
            if ((*c)->probability_table == source)
                clique = *c;
        kv_clique_s *parent = clique ? parent_in_tree(jt, clique) : nullptr;
        kv_table_s *result;
        if (parent) {
            // A clique keeps its conditional form between propagations: the
            // joint comes back with its parent's message.
            kv_table_s *joint = whole(source);
            kv_table_s *sep = _kv_link_control(clique, parent)->small_probability;
            kv_table_s *message = joint && sep->compressed ? whole(sep) : sep;
            if (!message) {
                kv::KeepError keep;
                _kv_free_table(joint);
                return nullptr;
            }
            int status = joint ? _kv_cg_combine_tables(joint, message) : kv_error_code();
            result = status ? nullptr : _kv_special_marginal(joint, n);
            kv::KeepError keep;
            _kv_free_table(joint);
            if (message != sep)
                _kv_free_table(message);
            if (status)
                keep.code = status;
        } else if (source->compressed) {
            kv_table_s *w = whole(source);
            result = w ? _kv_special_marginal(w, n) : nullptr;
            kv::KeepError keep;
            _kv_free_table(w);
        } else {
            result = _kv_special_marginal(source, n);
        }
        if (result)
            _kv_unlink_table(result);
        return result;
    });
}
