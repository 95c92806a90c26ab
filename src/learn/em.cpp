// EM learning of conditional probability tables from the case data, and
// the settings around it.  The nodes that learn are those with experience
// tables: their experience counts weigh the current tables as prior counts.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "compile/compile.h"
#include "core/api.h"
#include "core/graph.h"
#include "core/memory.h"
#include "inference/propagate.h"
#include "learn.h"
#include "table/table.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

// The counts that one table learns from: one node's, or in a runtime
// domain those of every node unfolded from the same class node.
struct Group {
    kv_node_s *node;   // whose table the counts become
    kv_table_s *table;
    Vec<double> prior, counts;
    Vec<kv_node_s *> copies; // runtime nodes that take the learnt table
};

// A learning node: its table, the counts its cases go to, and the node's
// coordinate in the table.
struct Learner {
    kv_node_s *node = nullptr;
    kv_table_s *table = nullptr;
    Group *group = nullptr;
    size_t own_stride = 1, states = 1;
    size_t slot = 0; // its place among the chance nodes
    // A clique holding the family (found on first need; NULL when the
    // clique has continuous nodes), with the strides of
    // its nodes in the clique table and in the family table (0 for nodes
    // outside the family).
    kv_clique_s *clique = nullptr;
    bool clique_known = false;
    Vec<size_t> clique_stride, family_stride;
};

void find_family_clique(Learner &l)
{
    l.clique_known = true;
    kv_junction_tree_s *jt = l.node->junction_tree;
    if (!jt)
        return;
    kv_clique_s *c = nullptr;
    for (kv_clique_s **x = jt->cliques; *x && !c; ++x)
        if (_kv_subset_of_clique(l.table->nodes, *x))
            c = *x;
    if (!c || c->probability_table->continuous_count || c->probability_table->discrete_count > 64)
        return;
    const kv_table_s *ct = c->probability_table, *t = l.table;
    size_t count = ct->discrete_count;
    l.clique_stride.assign(count, 0);
    l.family_stride.assign(count, 0);
    size_t f = 1;
    for (size_t j = t->discrete_count; j-- > 0;) {
        for (size_t k = 0; k < count; ++k)
            if (ct->nodes[k] == t->nodes[j])
                l.family_stride[k] = f;
        f *= t->nodes[j]->number_of_states;
    }
    f = 1;
    for (size_t k = count; k-- > 0;) {
        l.clique_stride[k] = f;
        f *= ct->nodes[k]->number_of_states;
    }
    l.clique = c;
}

// Adds w times the clique's table, summed onto the family, to the counts.
// Only the slice of the propagated hard evidence is read: outside it the
// entries are zero, or stale in a sliced tree.
void add_clique_marginal(Learner &l, double w)
{
    const kv_table_s *ct = l.clique->probability_table;
    size_t count = ct->discrete_count;
    size_t base_c = 0, base_f = 0;
    size_t free_nodes[64], states[64], at[64];
    size_t m = 0;
    for (size_t k = 0; k < count; ++k) {
        size_t s = _kv_node_chosen_state(ct->nodes[k]);
        if (s != size_t(-1)) {
            base_c += s * l.clique_stride[k];
            base_f += s * l.family_stride[k];
        } else {
            free_nodes[m] = k;
            states[m] = ct->nodes[k]->number_of_states;
            at[m++] = 0;
        }
    }
    const double *p = ct->discrete_data;
    double *counts = l.group->counts.data();
    size_t ic = base_c, jf = base_f;
    for (;;) {
        counts[jf] += w * p[ic];
        size_t r = m;
        for (; r-- > 0;) {
            size_t k = free_nodes[r];
            ic += l.clique_stride[k];
            jf += l.family_stride[k];
            if (++at[r] < states[r])
                break;
            ic -= l.clique_stride[k] * states[r];
            jf -= l.family_stride[k] * states[r];
            at[r] = 0;
        }
        if (r == size_t(-1))
            return;
    }
}

// Row j (parent configuration) of table entry idx, the node's coordinate
// taken out.
size_t row_of(const Learner &l, size_t idx)
{
    size_t low = idx % l.own_stride, high = idx / (l.own_stride * l.states);
    return high * l.own_stride + low;
}

// The table index of case i's configuration of the table's nodes.
size_t case_index(const kv_table_s *t, size_t i)
{
    size_t index = 0;
    for (size_t k = 0; k < t->discrete_count; ++k)
        index = index * t->nodes[k]->number_of_states + size_t(t->nodes[k]->case_states[i]);
    return index;
}

// Adds w times P(family | evidence) to the counts.
int add_family_marginal(kv_domain_s *d, Learner &l, double w, Vec<double> &marginal)
{
    marginal.resize(l.table->size);
    if (int s = _kv_family_marginal(d, l.table, marginal.data()))
        return s;
    for (size_t idx = 0; idx < l.table->size; ++idx)
        l.group->counts[idx] += w * marginal[idx];
    return kv_error_none;
}

// Cases with the same entries, met once per iteration with their counts
// added up (the first case stands for them).
struct Pattern {
    size_t first_case;
    double weight;
};

Vec<Pattern> case_patterns(const kv_domain_s *d)
{
    Vec<Pattern> patterns;
    auto weight = [&](size_t i) { return d->case_counts ? d->case_counts[i] : 1.0; };
    if (d->number_of_continuous_nodes) {
        for (size_t i = 0; i < d->number_of_cases; ++i)
            patterns.push_back({i, weight(i)});
        return patterns;
    }
    // The entries of a case, unset as -1, hashed.
    Vec<const kv_node_s *> columns;
    for (const kv_node_s *n = d->first_node; n; n = n->next)
        if ((n->category == kv_category_chance || n->category == kv_category_decision) && n->case_states)
            columns.push_back(n);
    auto entry = [&](const kv_node_s *n, size_t i) {
        int s = n->case_states[i];
        return s >= 0 && size_t(s) < n->number_of_states ? s : -1;
    };
    auto hash = [&](size_t i) {
        uint64_t h = 1469598103934665603ull;
        for (const kv_node_s *n : columns)
            h = (h ^ uint64_t(uint32_t(entry(n, i) + 1))) * 1099511628211ull;
        return h;
    };
    auto same = [&](size_t i, size_t j) {
        for (const kv_node_s *n : columns)
            if (entry(n, i) != entry(n, j))
                return false;
        return true;
    };
    // The first pattern of each hash, and the next pattern of the same hash.
    std::unordered_map<uint64_t, size_t, std::hash<uint64_t>, std::equal_to<>,
                       kv::ScratchAlloc<std::pair<const uint64_t, size_t>>>
        first;
    first.reserve(d->number_of_cases);
    Vec<size_t> next;
    for (size_t i = 0; i < d->number_of_cases; ++i) {
        if (!(weight(i) > 0))
            continue;
        auto [at, fresh] = first.emplace(hash(i), patterns.size());
        size_t p = at->second;
        if (!fresh) {
            for (;;) {
                if (same(patterns[p].first_case, i)) {
                    patterns[p].weight += weight(i);
                    break;
                }
                if (next[p] == SIZE_MAX) {
                    next[p] = patterns.size();
                    p = SIZE_MAX;
                    break;
                }
                p = next[p];
            }
            if (p != SIZE_MAX)
                continue;
        }
        next.push_back(SIZE_MAX);
        patterns.push_back({i, weight(i)});
    }
    return patterns;
}

// The E-step of one incomplete case of weight w: its contribution to the
// log-likelihood.
int process_case(kv_domain_s *d, Vec<Learner> &learners, size_t i, double w, double &ll)
{
    Vec<double> marginal;
    if (!(w > 0))
        return kv_error_none;
    if (int s = _kv_domain_enter_case(d, i))
        return s;
    // Most beliefs go unread: the run ends by initialising the domain.
    d->beliefs_on_demand = 1;
    int propagated = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
    d->beliefs_on_demand = 0;
    if (propagated)
        return propagated;
    ll += w * kv_domain_get_log_normalization_constant(d);
    for (Learner &l : learners) {
        kv_table_s *t = l.table;
        // The family's states where the evidence fixes them; the node's own
        // may stay open, its belief then gives the row.
        bool parents_fixed = true, own_fixed = true;
        size_t index = 0;
        for (size_t k = 0; k < t->discrete_count && parents_fixed; ++k) {
            long s = _kv_node_propagated_state(t->nodes[k]);
            if (t->nodes[k] == l.node)
                own_fixed = s >= 0;
            else
                parents_fixed = s >= 0;
            index = index * t->nodes[k]->number_of_states + size_t(s >= 0 ? s : 0);
        }
        if (parents_fixed && own_fixed) {
            l.group->counts[index] += w;
        } else if (parents_fixed && l.node->belief_table) {
            if (int s = _kv_node_update_beliefs(l.node, kv_equilibrium_sum, kv_mode_normal))
                return s;
            const double *belief = l.node->belief_table->discrete_data;
            for (size_t s = 0; s < l.states; ++s)
                l.group->counts[index + s * l.own_stride] += w * belief[s];
        } else {
            if (!l.clique_known)
                find_family_clique(l);
            // A sparse clique's dense table may be behind its values.
            if (!l.clique || l.clique->probability_table->sparse || l.clique->unit_table) {
                if (int s = add_family_marginal(d, l, w, marginal))
                    return s;
                continue;
            }
            add_clique_marginal(l, w);
        }
    }
    return kv_error_none;
}

// The counts made a table: each row divided by its sum, uniform when the
// sum is not positive; then copied to the nodes that share it.
void normalise_into(const Learner &l)
{
    Group &g = *l.group;
    double *data = g.table->discrete_data;
    size_t rows = g.table->size / l.states;
    for (size_t j = 0; j < rows; ++j) {
        size_t high = j / l.own_stride, low = j % l.own_stride;
        size_t base = high * l.own_stride * l.states + low;
        long double sum = 0;
        for (size_t s = 0; s < l.states; ++s)
            sum += g.counts[base + s * l.own_stride];
        for (size_t s = 0; s < l.states; ++s)
            data[base + s * l.own_stride] =
                sum > 0 ? double(g.counts[base + s * l.own_stride] / sum) : 1.0 / double(l.states);
    }
    kv_node_touch_table(g.node);
    for (kv_node_s *n : g.copies) {
        std::copy(data, data + g.table->size, n->table->discrete_data);
        kv_node_touch_table(n);
    }
}

// Experience counts after the run: the counts summed over each row.
void store_experience(const Learner &l, kv_table_s *experience)
{
    double *e = experience->discrete_data;
    size_t rows = l.table->size / l.states;
    for (size_t j = 0; j < rows; ++j)
        e[j] = 0;
    for (size_t idx = 0; idx < l.table->size; ++idx)
        e[row_of(l, idx)] += l.group->counts[idx];
}

// The source of a runtime node: the class node it was copied from.
kv_node_s *source_of(const kv_node_s *n)
{
    kv_node_s **p = n->source;
    while (p[1])
        ++p;
    return *p;
}

// A class table's node as the runtime table sees it: a clone stands for
// its master.
kv_node_s *resolved(kv_node_s *n)
{
    while (n->clone_source)
        n = n->clone_source;
    return n;
}

// Whether runtime table t lays out its entries as class table c: node by
// node the same sources (a bound input may have been replaced by any node
// of its states).
bool corresponds(const kv_table_s *t, const kv_table_s *c)
{
    if (t->discrete_count != c->discrete_count || t->continuous_count != c->continuous_count)
        return false;
    for (size_t k = 0; k < t->discrete_count + t->continuous_count; ++k) {
        kv_node_s *expected = resolved(c->nodes[k]);
        kv_node_s *actual = t->nodes[k];
        if (actual->number_of_states != expected->number_of_states)
            return false;
        if (!actual->source || (source_of(actual) != expected && !_kv_node_is_class_input(expected)))
            return false;
    }
    return true;
}

// by_class: the learners are the runtime nodes whose class nodes have
// experience tables, and the counts are pooled per class node.
int learn(kv_domain_s *d, bool by_class)
{
    // Without a case of positive count every row would become uniform.
    bool positive = false;
    for (size_t i = 0; i < d->number_of_cases; ++i)
        positive = positive || (d->case_counts ? d->case_counts[i] > 0 : true);
    if (!positive || d->chain_blocks)
        return _kv_set_error_code(kv_error_usage);
    if (!d->is_compiled)
        return _kv_set_error_code(kv_error_not_compiled);
    // The family counts read clique entries by configuration.
    if (d->is_compressed)
        return _kv_set_error_code(kv_error_compressed);
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (n->category == kv_category_decision)
            for (size_t i = 0; i < d->number_of_cases; ++i)
                if (!n->case_states || n->case_states[i] < 0 || size_t(n->case_states[i]) >= n->number_of_states)
                    return _kv_set_error_code(kv_error_usage);
        if (!_kv_table_is_finite(n->experience_table) || !_kv_table_is_finite(n->fading_table))
            return _kv_set_error_code(kv_error_usage);
    }
    if (by_class)
        for (kv_node_s *n = d->first_node; n; n = n->next) {
            if (!n->source)
                return _kv_set_error_code(kv_error_usage);
            kv_node_s *c = source_of(n);
            if (_kv_node_is_discrete_chance_or_decision(n) && n->number_of_states != c->number_of_states)
                return _kv_set_error_code(kv_error_usage);
            if (n->experience_table && c->experience_table &&
                !corresponds(n->experience_table, c->experience_table))
                return _kv_set_error_code(kv_error_usage);
            if (c->experience_table && (!_kv_table_is_finite(c->experience_table) ||
                                        (n->table && c->table && !corresponds(n->table, c->table))))
                return _kv_set_error_code(kv_error_usage);
        }
    // The learners, their groups and the groups' prior counts.
    std::deque<Group, kv::ScratchAlloc<Group>> groups;
    std::unordered_map<const kv_node_s *, Group *, std::hash<const kv_node_s *>, std::equal_to<>,
                       kv::ScratchAlloc<std::pair<const kv_node_s *const, Group *>>>
        group_of;
    Vec<Learner> learners;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        kv_node_s *owner = by_class ? source_of(n) : n;
        if (!owner->experience_table)
            continue;
        kv_table_s *t = _kv_node_get_table(n);
        if (!t || (!t->discrete_data && _kv_allocate_data_arrays(t)))
            return kv_error_code();
        kv_table_s *own = by_class ? _kv_node_get_table(owner) : t;
        if (!own || (!own->discrete_data && _kv_allocate_data_arrays(own)))
            return kv_error_code();
        if (by_class && !corresponds(t, own))
            return _kv_set_error_code(kv_error_usage);
        if (!owner->experience_table->discrete_data && _kv_allocate_data_arrays(owner->experience_table))
            return kv_error_code();
        Learner l;
        l.node = n;
        l.table = t;
        size_t stride = 1;
        for (size_t k = t->discrete_count; k-- > 0;) {
            if (t->nodes[k] == n)
                l.own_stride = stride;
            stride *= t->nodes[k]->number_of_states;
        }
        l.states = n->number_of_states;
        Group *&g = group_of[owner];
        if (!g) {
            g = &groups.emplace_back(Group{owner, own, {}, {}, {}});
            g->prior.assign(own->size, 0.0);
            const double *experience = owner->experience_table->discrete_data;
            for (size_t idx = 0; idx < own->size; ++idx) {
                double count = experience[row_of(l, idx)];
                g->prior[idx] = count > 0 ? count * own->discrete_data[idx] : 0.0;
            }
        }
        if (by_class)
            g->copies.push_back(n);
        l.group = g;
        learners.push_back(l);
    }
    Vec<Pattern> patterns = case_patterns(d);
    // The chance nodes' tables, and for every complete pattern the entry
    // of each chance node's family (learners find theirs there too).
    Vec<kv_table_s *> chance;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (n->category != kv_category_chance)
            continue;
        kv_table_s *t = _kv_node_get_table(n);
        if (!t || (!t->discrete_data && _kv_allocate_data_arrays(t)))
            return kv_error_code();
        for (Learner &l : learners)
            if (l.node == n)
                l.slot = chance.size();
        chance.push_back(t);
    }
    Vec<size_t> complete_slot(patterns.size(), SIZE_MAX), complete_index;
    size_t complete = 0;
    for (size_t c = 0; c < patterns.size(); ++c) {
        if (!_kv_domain_case_is_complete(d, patterns[c].first_case))
            continue;
        complete_slot[c] = complete++;
        for (kv_table_s *t : chance)
            complete_index.push_back(case_index(t, patterns[c].first_case));
    }
    double previous = -DBL_MAX, ll = 0;
    size_t iterations = 0;
    // However the iterations end, early or by running out of memory, no
    // case's evidence is left behind.
    struct Cleanup {
        kv_domain_s *d;
        bool armed = true;
        ~Cleanup()
        {
            if (armed) {
                kv::KeepError keep;
                kv_domain_initialize(d);
            }
        }
    } cleanup{d};
    for (;;) {
        for (Group &g : groups)
            g.counts = g.prior;
        ll = 0;
        for (size_t c = 0; c < patterns.size(); ++c) {
            const Pattern &pattern = patterns[c];
            if (complete_slot[c] != SIZE_MAX) {
                // A complete case: its families' entries, found once.
                const size_t *index = complete_index.data() + complete_slot[c] * chance.size();
                for (size_t k = 0; k < chance.size(); ++k) {
                    double p = chance[k]->discrete_data[index[k]];
                    if (!(p > 0))
                        return _kv_set_error_code(kv_error_inconsistency_or_underflow);
                    ll += pattern.weight * std::log(p);
                }
                for (Learner &l : learners)
                    l.group->counts[index[l.slot]] += pattern.weight;
                continue;
            }
            if (int s = process_case(d, learners, pattern.first_case, pattern.weight, ll))
                return _kv_set_error_code(s); // the clean-up retracts its evidence
        }
        ++iterations;
        bool more = std::fabs(ll - previous) > d->log_likelihood_tolerance * std::fabs(ll);
        if (more && d->max_em_iterations)
            more = iterations < d->max_em_iterations;
        // The handler hears of every iteration, the last one too.
        if (d->em_progress && d->em_progress(iterations, ll, d->number_of_cases) == 0)
            more = false;
        previous = ll;
        for (Group &g : groups)
            for (const Learner &l : learners)
                if (l.group == &g) {
                    normalise_into(l);
                    break;
                }
        if (!more)
            break;
    }
    d->log_likelihood = ll;
    cleanup.armed = false;
    // The tables are learnt; a domain that cannot be initialised again
    // (no memory) keeps them, without evidence, and reports the failure.
    int initialized = kv_domain_initialize(d);
    // The class node's experience table, and the runtime nodes' own copies
    // of it, hold the pooled counts.
    for (const Learner &l : learners) {
        if (l.node->experience_table && l.node->experience_table->discrete_data)
            store_experience(l, l.node->experience_table);
        if (by_class)
            store_experience(l, l.group->node->experience_table);
    }
    return _kv_set_error_code(initialized);
}

} // namespace

void _kv_domain_set_progress_handler(kv_domain_s *d, kv_em_progress_t handler)
{
    d->em_progress = handler;
}

kv_status_t kv_domain_learn_tables(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    return kv::guard_status([&] { return learn(d, false); });
}

kv_status_t kv_domain_learn_class_tables(kv_domain_t d)
{
    if (_kv_set_error_code(!d || _kv_domain_is_class(d)))
        return kv_error_usage;
    return kv::guard_status([&] { return learn(d, true); });
}

kv_status_t kv_domain_set_log_likelihood_tolerance(kv_domain_t d, kv_number_t tolerance)
{
    if (_kv_set_error_code(!d || !(tolerance >= 0)))
        return kv_error_usage;
    d->log_likelihood_tolerance = tolerance;
    return kv_error_none;
}

kv_number_t kv_domain_get_log_likelihood_tolerance(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    return d->log_likelihood_tolerance;
}

kv_status_t kv_domain_set_max_number_of_em_iterations(kv_domain_t d, size_t count)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    d->max_em_iterations = count;
    return kv_error_none;
}

kv_count_t kv_domain_get_max_number_of_em_iterations(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return static_cast<size_t>(-1);
    return d->max_em_iterations;
}

kv_number_t kv_domain_get_log_likelihood(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return 1.0;
    return d->log_likelihood;
}
