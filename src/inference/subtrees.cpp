// Collect and distribute over independent subtrees on several threads.  The
// caller walks the part of the tree next to the root (the top) and jobs
// walk the subtrees that hang from it, each on one thread: in a collect the
// jobs first and then the top, which takes their messages; in a distribute
// the top first.  Every clique's table gets the same operations in the same
// order as in the walk on one thread, so the results are the same bit for
// bit; the collect normalisers, which that walk multiplies into the tree's
// constants as it goes, are applied afterwards in its order.
#include <algorithm>
#include <atomic>
#include <new>
#include <queue>
#include <utility>
#include <vector>

#include "core/domain.h"
#include "propagate.h"
#include "table/parallel.h"

namespace {

// Below this much estimated work (table entries) a pass stays on one
// thread: its jobs would take less time than handing them out.
std::atomic<double> minimum_work{double(1 << 18)};
std::atomic<size_t> split_passes{0};
// The top grows one clique at a time from the root; it stops after this
// many, which is plenty for the trees where a split pays.
constexpr size_t most_steps = 4096;

// The entries a propagation touches in the clique's table: its evidence
// slice, or its nonzero entries when it has a sparse form in use.
double entries(const kv_clique_s *c)
{
    const kv_table_s *t = c->probability_table;
    if (t->sparse && c->junction_tree->tables.sparse_active)
        return double(t->sparse->count);
    double n = double(t->size);
    for (size_t j = 0; j < t->discrete_count; ++j)
        if (_kv_node_chosen_state(t->nodes[j]) != static_cast<size_t>(-1))
            n /= double(t->nodes[j]->number_of_states);
    return n;
}

struct Split {
    bool collect;
    std::vector<kv_clique_s *> clique; // by number, the cliques of the pass
    std::vector<kv_clique_s *> parent; // by number, in the pass's walk
    std::vector<double> work;          // of the subtree, by number
    std::vector<size_t> count;         // cliques in the subtree, by number
    std::vector<unsigned char> job_root;
    std::vector<kv_clique_s *> jobs; // largest first
};

template <class F> void for_children(const Split &s, const kv_clique_s *c, F &&f)
{
    for (kv_neighbor_s *cell = c->neighbors; cell; cell = cell->next)
        if (cell->clique != s.parent[c->number] && (!s.collect || cell->clique->root_mark))
            f(cell->clique);
}

// The subtree work of the pass from root: each message costs the entries of
// the two tables it joins.
bool measure(Split &s, kv_clique_s *root)
{
    kv_junction_tree_s *jt = root->junction_tree;
    size_t n = jt->domain->number_of_cliques;
    s.clique.assign(n + 1, nullptr);
    s.parent.assign(n + 1, nullptr);
    s.work.assign(n + 1, 0.0);
    s.count.assign(n + 1, 0);
    std::vector<double> own(n + 1, 0.0);
    bool numbered = true;
    _kv_jt_walk(
        jt, root,
        [&](kv_walk_frame_s &f) {
            size_t k = f.clique->number;
            if (s.collect && !f.clique->root_mark)
                return kv_walk_skip;
            if (k == 0 || k > n) {
                numbered = false;
                return 1;
            }
            s.clique[k] = f.clique;
            s.parent[k] = f.parent;
            own[k] = entries(f.clique);
            return 0;
        },
        [&](kv_walk_frame_s &f, kv_walk_frame_s *up) {
            size_t k = f.clique->number;
            s.count[k] += 1;
            if (up) {
                size_t p = up->clique->number;
                s.work[k] += own[k] + own[p];
                s.work[p] += s.work[k];
                s.count[p] += s.count[k];
            }
            return 0;
        });
    return numbered;
}

// Grows the top from the root by the subtree of most work while the
// estimated time of the pass, the top's work plus the jobs' share of the
// threads (or the largest job), goes down; the jobs are the subtrees that
// hang from the best top.
bool choose_jobs(Split &s, kv_clique_s *root, size_t threads)
{
    double total = s.work[root->number];
    if (total < minimum_work)
        return false;
    using Item = std::pair<double, size_t>; // work, number
    std::priority_queue<Item> hanging;
    double top = 0.0, sum = 0.0;
    for_children(s, root, [&](kv_clique_s *c) {
        hanging.push({s.work[c->number], c->number});
        sum += s.work[c->number];
    });
    auto estimate = [&] {
        return top + std::max(hanging.empty() ? 0.0 : hanging.top().first, sum / double(threads));
    };
    double best = estimate();
    size_t best_steps = 0;
    std::vector<kv_clique_s *> grown;
    while (!hanging.empty() && grown.size() < most_steps) {
        kv_clique_s *c = s.clique[hanging.top().second];
        hanging.pop();
        sum -= s.work[c->number];
        double children = 0.0;
        for_children(s, c, [&](kv_clique_s *child) {
            hanging.push({s.work[child->number], child->number});
            sum += s.work[child->number];
            children += s.work[child->number];
        });
        // The messages between c and its children go on in their jobs;
        // the one between c and its parent joins the top.
        top += s.work[c->number] - children;
        grown.push_back(c);
        double e = estimate();
        if (e < best) {
            best = e;
            best_steps = grown.size();
        }
    }
    // A split that saves little is not worth the handing out.
    if (best > 0.9 * total)
        return false;
    s.job_root.assign(s.clique.size(), 0);
    std::vector<unsigned char> in_top(s.clique.size(), 0);
    in_top[root->number] = 1;
    for (size_t i = 0; i < best_steps; ++i)
        in_top[grown[i]->number] = 1;
    auto add_jobs = [&](kv_clique_s *c) {
        for_children(s, c, [&](kv_clique_s *child) {
            if (!in_top[child->number]) {
                s.job_root[child->number] = 1;
                s.jobs.push_back(child);
            }
        });
    };
    add_jobs(root);
    for (size_t i = 0; i < best_steps; ++i)
        add_jobs(grown[i]);
    std::stable_sort(s.jobs.begin(), s.jobs.end(), [&](const kv_clique_s *a, const kv_clique_s *b) {
        return s.work[a->number] > s.work[b->number];
    });
    return s.jobs.size() > 1;
}

bool worth_splitting(const kv_clique_s *root, int eq, int mode)
{
    const kv_junction_tree_s *jt = root->junction_tree;
    return jt->domain->concurrency_level > 1 && jt->clique_count > 2 && _kv_jt_slices(jt, eq, mode);
}

struct Pass {
    Split *split;
    int eq, mode;
    std::vector<kv_walk_frame_s> stacks;
    std::vector<size_t> offset; // of each job's stack
    std::vector<int> status;
};

void run_job(size_t k, void *context)
{
    Pass &p = *static_cast<Pass *>(context);
    const Split &s = *p.split;
    kv_clique_s *root = s.jobs[k], *parent = s.parent[root->number];
    kv_walk_frame_s *stack = p.stacks.data() + p.offset[k];
    int status;
    try {
        status = s.collect ? _kv_collect_subtree(stack, root, parent, nullptr, p.eq, p.mode)
                           : _kv_distribute_subtree(stack, root, parent, nullptr, p.eq, p.mode);
    } catch (const std::bad_alloc &) {
        status = kv_error_no_memory;
    }
    p.status[k] = status;
}

// Runs the jobs of s; the status of the first that failed, in job order.
int run_jobs(kv_domain_s *d, Split &s, int eq, int mode)
{
    Pass p{&s, eq, mode, {}, {}, {}};
    size_t frames = 0;
    for (const kv_clique_s *c : s.jobs) {
        // The walk writes a frame for a neighbour before it knows whether
        // to enter it: one beyond the depth of the cliques it enters.
        p.offset.push_back(frames);
        frames += s.count[c->number] + 1;
    }
    p.stacks.resize(frames);
    p.status.assign(s.jobs.size(), 0);
    _kv_run_jobs(d, s.jobs.size(), run_job, &p);
    for (int status : p.status)
        if (status)
            return status;
    return kv_error_none;
}

// Whether to split the pass from root, and how; the tree is marked sliced
// first, as the jobs' operations would mark it.
bool plan(Split &s, kv_clique_s *root, int eq, int mode)
{
    if (!worth_splitting(root, eq, mode) || !measure(s, root) ||
        !choose_jobs(s, root, root->domain->concurrency_level))
        return false;
    kv_junction_tree_s *jt = root->junction_tree;
    if (jt->tables.form != KV_TABLES_SLICED)
        _kv_jt_tables_sliced(jt);
    ++split_passes;
    return true;
}

} // namespace

double kv::set_minimum_split_work(double work)
{
    return minimum_work.exchange(work);
}

size_t kv::split_passes()
{
    return ::split_passes;
}

bool _kv_parallel_collect(kv_clique_s *root, int eq, int mode, int *status)
{
    Split s;
    s.collect = true;
    if (!plan(s, root, eq, mode))
        return false;
    kv_junction_tree_s *jt = root->junction_tree;
    jt->normalizers_deferred = 1;
    int result = run_jobs(root->domain, s, eq, mode);
    if (!result)
        result = _kv_collect_subtree(jt->walk_stack, root, nullptr, s.job_root.data(), eq, mode);
    jt->normalizers_deferred = 0;
    if (!result)
        _kv_jt_walk(
            jt, root, [](kv_walk_frame_s &f) { return f.clique->root_mark ? 0 : kv_walk_skip; },
            [](kv_walk_frame_s &f, kv_walk_frame_s *up) {
                if (up)
                    _kv_apply_collect_normalizer(f.clique);
                return 0;
            });
    *status = result;
    return true;
}

bool _kv_parallel_distribute(kv_clique_s *root, int eq, int mode, int *status)
{
    Split s;
    s.collect = false;
    if (!plan(s, root, eq, mode))
        return false;
    kv_junction_tree_s *jt = root->junction_tree;
    int result = _kv_distribute_subtree(jt->walk_stack, root, nullptr, s.job_root.data(), eq, mode);
    if (!result) {
        // The jobs read the cliques above them, which must not change now.
        for (const kv_clique_s *c : s.jobs)
            _kv_clique_take_ones(s.parent[c->number]);
        result = run_jobs(root->domain, s, eq, mode);
    }
    *status = result;
    return true;
}
