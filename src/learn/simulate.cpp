// Simulation: one configuration of the chance nodes drawn at random.  A
// compiled domain is sampled clique by clique from its propagated junction
// trees (the root's table, then each clique given its separator); a domain
// that is not compiled by forward sampling, parents before children.
#include <cmath>
#include <cstdlib>
#include <vector>

#include "compile/compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "inference/propagate.h"
#include "random.h"
#include "table/table.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

bool chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

void clear_samples(kv_domain_s *d)
{
    for (kv_node_s *n = d->first_node; n; n = n->next)
        n->sampled = 0;
    d->simulation_valid = 0;
}

void set_state(kv_node_s *n, size_t s)
{
    n->sampled = 1;
    n->sampled_state = s;
}

void set_value(kv_node_s *n, double v)
{
    n->sampled = 1;
    n->sampled_value = v;
}

// ---------------------------------------------------------------------------
// Forward sampling.

// The state an instantiated discrete node's evidence fixes (a node of one
// state without evidence counts).
size_t instantiated_state(const kv_node_s *n)
{
    for (size_t s = 0; n->entered_finding && s < n->number_of_states; ++s)
        if (n->entered_finding[s] > 0)
            return s;
    return 0;
}

// A continuous node's value given its sampled parents; usage for a negative
// variance.
int sample_continuous(kv_random_s &r, kv_node_s *n)
{
    size_t i = 0;
    for (kv_node_s **p = n->parents; p && *p; ++p)
        if ((*p)->kind == kv_kind_discrete)
            i = i * (*p)->number_of_states + (*p)->sampled_state;
    double mean = kv_node_get_alpha(n, i);
    for (kv_node_s **p = n->parents; p && *p; ++p)
        if ((*p)->kind == kv_kind_continuous)
            mean += kv_node_get_beta(n, *p, i) * (*p)->sampled_value;
    double variance = kv_node_get_gamma(n, i);
    if (!(variance >= 0) || !std::isfinite(mean))
        return _kv_set_error_code(kv_error_usage);
    set_value(n, variance > 0 ? kv::normal_deviate(r, mean, std::sqrt(variance)) : mean);
    return kv_error_none;
}

// A discrete node's state from the row of its table for its parents'
// sampled states.
int sample_discrete(kv_random_s &r, kv_node_s *n, Vec<double> &row)
{
    kv_table_s *t = n->table;
    if (!t || !t->discrete_data || t->continuous_count)
        return _kv_set_error_code(kv_error_usage);
    // The table's strides, the node's own and the offset of the row.
    size_t offset = 0, own = 0, stride = 1;
    for (size_t k = t->discrete_count; k-- > 0;) {
        kv_node_s *m = t->nodes[k];
        if (m == n)
            own = stride;
        else
            offset += m->sampled_state * stride;
        stride *= m->number_of_states;
    }
    size_t states = n->number_of_states;
    row.resize(states);
    double total = 0;
    for (size_t s = 0; s < states; ++s) {
        row[s] = t->discrete_data[offset + s * own];
        total += row[s];
    }
    if (!(total > 0))
        return _kv_set_error_code(kv_error_zero_sum);
    set_state(n, kv::sample_from_distribution(r, row.data(), states, total));
    return kv_error_none;
}

int forward_sample(kv_domain_s *d, kv_random_s &r)
{
    if (d->chain_blocks)
        return _kv_set_error_code(kv_error_usage);
    // Evidence: instantiated discrete nodes and decisions keep their states,
    // observed continuous nodes their values.
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        n->sampled = 0;
        if (!chance_or_decision(n))
            continue;
        bool evidence = _kv_node_evidence_is_entered(n);
        if (n->kind == kv_kind_continuous) {
            if (!evidence)
                continue;
            for (kv_node_s **p = n->parents; p && *p; ++p)
                if (!_kv_node_is_instantiated(*p))
                    return _kv_set_error_code(kv_error_usage);
            set_value(n, n->entered_value);
        } else if (evidence || n->category == kv_category_decision) {
            if (!_kv_node_is_instantiated(n))
                return _kv_set_error_code(kv_error_usage);
            set_state(n, instantiated_state(n));
        }
    }
    // Parents first, by an explicit depth-first walk; mark 1: on the walk.
    Vec<double> row;
    Vec<std::pair<kv_node_s *, kv_node_s **>> stack;
    // Marks are set only on nodes on the stack; a failure clears them.
    struct Unmark {
        Vec<std::pair<kv_node_s *, kv_node_s **>> &stack;
        ~Unmark()
        {
            for (auto &frame : stack)
                frame.first->mark = 0;
        }
    } unmark{stack};
    int status = kv_error_none;
    for (kv_node_s *start = d->first_node; start && !status; start = start->next) {
        if (start->category != kv_category_chance || start->sampled)
            continue;
        stack.push_back({start, start->parents});
        start->mark = 1;
        while (!stack.empty() && !status) {
            auto &[n, next] = stack.back();
            kv_node_s *p = next && *next ? *next++ : nullptr;
            if (p) {
                if (p->category != kv_category_chance || p->sampled)
                    continue;
                if (p->mark) {
                    status = _kv_set_error_code(kv_error_cyclic_network);
                    break;
                }
                stack.push_back({p, p->parents});
                p->mark = 1;
                continue;
            }
            status = n->kind == kv_kind_discrete ? sample_discrete(r, n, row) : sample_continuous(r, n);
            n->mark = 0;
            stack.pop_back();
        }
        for (auto &frame : stack)
            frame.first->mark = 0;
        stack.clear();
    }
    return status;
}

// ---------------------------------------------------------------------------
// Sampling a compiled domain.

// Draws the states of the clique's nodes not sampled yet from its table
// restricted to the sampled ones; the conditional probability of the draw,
// or 0 when the restricted table has no mass.
double draw_clique(kv_random_s &r, kv_clique_s *c, Vec<double> &weights, Vec<size_t> &free_nodes,
                   Vec<size_t> &strides)
{
    kv_table_s *t = c->probability_table;
    size_t count = t->discrete_count;
    strides.resize(count);
    size_t stride = 1, base = 0;
    free_nodes.clear();
    for (size_t k = count; k-- > 0;) {
        kv_node_s *m = t->nodes[k];
        strides[k] = stride;
        if (m->sampled)
            base += m->sampled_state * stride;
        else
            free_nodes.push_back(k);
        stride *= m->number_of_states;
    }
    // The entries over the free nodes, first free node fastest... in table
    // order: free_nodes holds them last node first, so walk it backwards.
    size_t entries = 1;
    for (size_t k : free_nodes)
        entries *= t->nodes[k]->number_of_states;
    weights.resize(entries);
    Vec<size_t> state(free_nodes.size(), 0);
    double total = 0;
    for (size_t e = 0; e < entries; ++e) {
        size_t index = base;
        for (size_t j = 0; j < free_nodes.size(); ++j)
            index += state[j] * strides[free_nodes[j]];
        weights[e] = t->discrete_data[index];
        total += weights[e];
        // Next: free_nodes[0] is the table's last free node, the fastest.
        for (size_t j = 0; j < free_nodes.size(); ++j) {
            if (++state[j] < t->nodes[free_nodes[j]]->number_of_states)
                break;
            state[j] = 0;
        }
    }
    if (!(total > 0))
        return 0.0;
    size_t e = kv::sample_from_distribution(r, weights.data(), entries, total);
    double p = weights[e] / total;
    for (size_t j = 0; j < free_nodes.size(); ++j) {
        kv_node_s *m = t->nodes[free_nodes[j]];
        size_t k = m->number_of_states;
        set_state(m, e % k);
        e /= k;
    }
    return p;
}

// The continuous nodes of a clique's table not sampled yet, for the drawn
// discrete configuration i: the heads' Gaussian given the tails' sampled
// values, conditioned on the heads sampled before, then each other head
// drawn in table order and conditioned on in turn.  usage when a tail has
// no value yet.
int sample_clique_cg(kv_random_s &r, const kv_table_s *t, size_t i, Vec<double> &m, Vec<double> &S)
{
    size_t q = t->continuous_count;
    if (!q)
        return kv_error_none;
    const double *block = t->cg_data + i * t->cg_size;
    kv_node_s *const *nodes = t->nodes + t->discrete_count;
    const signed char *roles = t->continuous_roles;
    m.assign(q, 0.0);
    S.assign(q * q, 0.0);
    for (size_t h = 0; h < q; ++h) {
        if (roles[h] != KV_HEAD)
            continue;
        m[h] = block[_kv_cg_mean_offset(h)];
        for (size_t l = 0; l < q; ++l) {
            if (roles[l] == KV_TAIL) {
                if (!nodes[l]->sampled)
                    return _kv_set_error_code(kv_error_usage);
                m[h] += block[_kv_cg_cov_offset(h, l)] * nodes[l]->sampled_value;
            } else if (roles[l] == KV_HEAD) {
                S[h * q + l] = block[_kv_cg_cov_offset(h, l)];
            }
        }
    }
    Vec<char> done(q, 0);
    // Conditions the heads not done on head h at value x.
    auto condition = [&](size_t h, double x) {
        done[h] = 1;
        double v = S[h * q + h];
        if (!(v > 0))
            return;
        for (size_t j = 0; j < q; ++j) {
            if (roles[j] != KV_HEAD || done[j])
                continue;
            double f = S[j * q + h] / v;
            m[j] += f * (x - m[h]);
            for (size_t l = 0; l < q; ++l)
                if (roles[l] == KV_HEAD && !done[l])
                    S[j * q + l] -= f * S[h * q + l];
        }
    };
    for (size_t h = 0; h < q; ++h)
        if (roles[h] == KV_HEAD && nodes[h]->sampled)
            condition(h, nodes[h]->sampled_value);
    for (size_t h = 0; h < q; ++h) {
        if (roles[h] != KV_HEAD || done[h])
            continue;
        double v = S[h * q + h];
        double x = v > 0 ? kv::normal_deviate(r, m[h], std::sqrt(v)) : m[h];
        set_value(nodes[h], x);
        condition(h, x);
    }
    return kv_error_none;
}

// The index of the clique's drawn discrete configuration.
size_t drawn_configuration(const kv_table_s *t)
{
    size_t index = 0;
    for (size_t k = 0; k < t->discrete_count; ++k)
        index = index * t->nodes[k]->number_of_states + t->nodes[k]->sampled_state;
    return index;
}

int compiled_sample(kv_domain_s *d, kv_random_s &r)
{
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
        if (jt->equilibrium != kv_equilibrium_sum || jt->evidence_mode != kv_mode_normal ||
            jt->tables_to_propagate || jt->evidence_to_propagate)
            return _kv_set_error_code(kv_error_usage);
    if (d->is_compressed)
        return _kv_set_error_code(kv_error_compressed);
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        n->sampled = 0;
        if (n->category == kv_category_decision && !_kv_node_is_instantiated(n))
            return _kv_set_error_code(kv_error_usage);
    }
    // Observed continuous nodes are sampled at their values.
    for (kv_node_s *n = d->first_node; n; n = n->next)
        if (n->kind == kv_kind_continuous && n->category == kv_category_chance && n->value_entered)
            set_value(n, n->entered_value);
    Vec<double> weights, means, covariances;
    Vec<size_t> free_nodes, strides;
    for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next) {
        _kv_jt_fill_slices(jt);
        // The walk order visits every clique after the clique it hangs from,
        // so its separator's nodes are sampled by then.
        double probability = 1;
        for (kv_clique_s **c = jt->walk_order; *c; ++c) {
            double p = draw_clique(r, *c, weights, free_nodes, strides);
            if (!(p > 0)) {
                clear_samples(d);
                return _kv_set_error_code(kv_error_inconsistency_or_underflow);
            }
            probability *= p;
            const kv_table_s *t = (*c)->probability_table;
            if (t->continuous_count)
                if (int status = sample_clique_cg(r, t, drawn_configuration(t), means, covariances))
                    return status;
        }
        jt->sampled_probability = probability;
    }
    return kv_error_none;
}

} // namespace

void _kv_invalidate_simulation(kv_domain_s *d)
{
    d->simulation_valid = 0;
}

kv_status_t kv_domain_simulate(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    return kv::guard_status([&]() -> int {
        kv_random_s *r = kv::domain_random(d);
        if (!r)
            return kv_error_code();
        d->simulation_valid = 0;
        int status = d->is_compiled ? compiled_sample(d, *r) : forward_sample(d, *r);
        if (status) {
            clear_samples(d);
            return status;
        }
        d->simulation_valid = 1;
        d->simulation_compiled = d->is_compiled;
        return _kv_set_error_code(kv_error_none);
    });
}

static bool has_sample(const kv_node_s *n, kv_node_kind_t kind)
{
    return n && chance_or_decision(n) && n->kind == kind && n->home->simulation_valid && n->sampled &&
           (kind != kv_kind_discrete || n->sampled_state < n->number_of_states);
}

kv_index_t kv_node_get_sampled_state(kv_node_t n)
{
    if (_kv_set_error_code(!has_sample(n, kv_kind_discrete)))
        return static_cast<size_t>(-1);
    return n->sampled_state;
}

kv_index_t kv_node_get_selection(kv_node_t n)
{
    return kv_node_get_sampled_state(n);
}

kv_number_t kv_node_get_sampled_value(kv_node_t n)
{
    if (_kv_set_error_code(!has_sample(n, kv_kind_continuous)))
        return -1.0;
    return n->sampled_value;
}

kv_number_t kv_domain_probability_of_random_selection(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    double p = 1;
    if (d->is_compiled && d->simulation_valid && d->simulation_compiled)
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
            p *= jt->sampled_probability;
    return p;
}
