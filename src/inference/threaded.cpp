// The collect and distribute passes on several threads.  Each thread takes
// the next message that may be sent: in a distribute a clique's message to
// each child once the clique has its own; in a collect a child's message to
// its parent once the child has all of its children's, with the messages
// into one clique taken in the order of the walk on one thread.  Every
// table then gets the same operations in the same order as in that walk,
// so the results are the same bit for bit; the collect normalisers, which
// the walk multiplies into the tree's constants as it goes, are applied
// afterwards in its order.  A thread with nothing to take helps with the
// table operations of the others.  The beliefs of many nodes are updated
// in chunks of nodes on several threads.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "propagate.h"
#include "table/parallel.h"

namespace {

// Below this much estimated work (table entries) a pass stays on one
// thread.  A tree of fewer than 8 times as many clique entries updates its
// beliefs and loads its potentials on one thread: their pieces are so small
// that handing them out costs what it saves.
std::atomic<double> minimum_work{double(1 << 18)};
std::atomic<size_t> split_passes{0}, other_splits{0};
// How long a thread without a message to take spins before it sleeps.
constexpr std::chrono::microseconds spin_time{500};

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

// The cliques of a pass, by number: each one's parent and children in the
// walk from the root, and the progress of the pass.
struct Pass {
    kv_clique_s *root;
    int eq, mode;
    bool collect;
    std::vector<kv_clique_s *> parent;
    std::vector<size_t> first_child; // into children, by number; one more at the end
    std::vector<kv_clique_s *> children;

    std::mutex lock;
    std::vector<kv_clique_s *> ready; // distribute: cliques whose message may go
    std::vector<unsigned char> complete; // collect: every child's message taken
    std::vector<size_t> taken;           // collect: messages taken, of the children
    std::vector<unsigned char> busy;     // collect: a thread takes the messages
    size_t next_leaf = 0;                // collect: into leaves
    std::vector<kv_clique_s *> leaves;
    size_t left = 0;  // distribute: messages still to send
    size_t working = 0; // threads with work in hand
    int status = 0;   // the first failure
    // The threads that wait, spinning or asleep on changed, and help with
    // the others' operations; generation counts the wake-ups for shares.
    kv_job_helpers_s helpers;
    std::atomic<size_t> sleepers{0};
    size_t generation = 0;
    std::condition_variable changed;
};

} // namespace

// The cliques by number with their neighbours in list order (the walk then
// reads clique records only for their marks and entries), the entries of
// the current propagation's cliques, and the arrays of the walk that
// measures a pass: a pass that stays on one thread allocates nothing.
struct kv_pass_cache_s {
    size_t n = 0; // the domain's cliques, numbered 1 .. n
    bool numbered = true;
    std::vector<kv_clique_s *> clique; // by number
    std::vector<size_t> first;         // into neighbors, by number; one more at the end
    std::vector<size_t> neighbors;     // numbers
    // entries[k] holds for this propagation when stamp[k] is epoch: a
    // collect starts an epoch, the distribute that follows it ends it.
    std::vector<double> entries;
    std::vector<size_t> stamp;
    size_t epoch = 1;
    // The last walk: each clique's parent (0 for none), the work of the
    // messages on the way from it to the root, the cliques in walk order.
    std::vector<size_t> parent;
    std::vector<double> path;
    std::vector<size_t> order;
    std::vector<std::pair<size_t, size_t>> stack; // clique, next neighbour
    // A collect of this epoch from this root that walked every clique and
    // stayed on one thread: the distribute from the same root would walk
    // the same cliques with the same entries, and stays too.
    size_t whole_collect_epoch = 0;
    const kv_clique_s *whole_collect_root = nullptr;
};

namespace {

kv_pass_cache_s *make_cache(kv_junction_tree_s *jt)
{
    kv_pass_cache_s *m = new (std::nothrow) kv_pass_cache_s;
    if (!m)
        return nullptr;
    try {
        size_t n = jt->domain->number_of_cliques;
        auto numbered = [n](const kv_clique_s *c) { return c->number != 0 && c->number <= n; };
        m->n = n;
        m->clique.assign(n + 1, nullptr);
        m->first.assign(n + 2, 0);
        for (kv_clique_s **c = jt->cliques; *c; ++c) {
            if (!numbered(*c)) {
                m->numbered = false;
                continue;
            }
            m->clique[(*c)->number] = *c;
            for (kv_neighbor_s *cell = (*c)->neighbors; cell; cell = cell->next)
                ++m->first[(*c)->number + 1];
        }
        for (size_t k = 1; k <= n; ++k)
            m->first[k + 1] += m->first[k];
        m->neighbors.resize(m->first[n + 1]);
        for (kv_clique_s **c = jt->cliques; *c; ++c) {
            size_t i = numbered(*c) ? m->first[(*c)->number] : 0;
            for (kv_neighbor_s *cell = (*c)->neighbors; cell && numbered(*c); cell = cell->next) {
                m->numbered = m->numbered && numbered(cell->clique);
                m->neighbors[i++] = cell->clique->number;
            }
        }
        m->entries.assign(n + 1, 0.0);
        m->stamp.assign(n + 1, 0);
        m->parent.assign(n + 1, 0);
        m->path.assign(n + 1, 0.0);
        m->order.reserve(n);
        m->stack.resize(n + 1);
    } catch (const std::bad_alloc &) {
        delete m;
        return nullptr;
    }
    return m;
}

double cached_entries(kv_pass_cache_s &m, size_t k)
{
    if (m.stamp[k] != m.epoch) {
        m.entries[k] = entries(m.clique[k]);
        m.stamp[k] = m.epoch;
    }
    return m.entries[k];
}

// The pass's cliques, children and leaves; false when the tree is too small
// or its cliques are numbered otherwise than by the compilation.
bool measure(Pass &p)
{
    kv_junction_tree_s *jt = p.root->junction_tree;
    if (!jt->pass_cache)
        jt->pass_cache = make_cache(jt);
    kv_pass_cache_s *m = jt->pass_cache;
    size_t n = jt->domain->number_of_cliques;
    if (!m || !m->numbered || m->n != n || (p.collect && !p.root->root_mark))
        return false;
    if (!p.collect && m->whole_collect_epoch == m->epoch && m->whole_collect_root == p.root)
        return false;
    // The walk of _kv_jt_walk from the root (neighbours in list order, the
    // subtrees of unmarked cliques left out of a collect), on numbers: the
    // cliques themselves are read only for their marks and entries.
    double work = 0.0;
    m->order.clear();
    auto enter = [&](size_t k, size_t up) {
        m->parent[k] = up;
        double e = cached_entries(*m, k);
        m->path[k] = up ? m->path[up] + e + m->entries[up] : 0.0;
        m->order.push_back(k);
        work += e * (up ? 2.0 : 1.0);
    };
    size_t root = p.root->number;
    enter(root, 0);
    m->stack[0] = {root, m->first[root]};
    for (size_t top = 0;;) {
        auto &[k, next] = m->stack[top];
        size_t up = m->parent[k], end = m->first[k + 1];
        while (next < end && m->neighbors[next] == up)
            ++next;
        if (next < end) {
            size_t below = m->neighbors[next++];
            if (p.collect && !m->clique[below]->root_mark)
                continue;
            enter(below, k);
            m->stack[++top] = {below, m->first[below]};
            continue;
        }
        if (top == 0)
            break;
        --top;
    }
    const std::vector<size_t> &order = m->order;
    // The longest way to the root bounds the time on any number of
    // threads.  A tree whose work lies mostly along one way is split only
    // when its messages are large, for the waiting threads to take shares
    // of their operations: many small messages on one way cost more on two
    // threads than on one (pigs: 600 cliques, most under 100 entries, and
    // a few of 177,000 on one way ran 11% slower).
    double longest = 0.0, threads = double(jt->domain->concurrency_level);
    for (size_t k : order)
        longest = std::max(longest, m->path[k]);
    double least = minimum_work;
    bool branches = work >= 1.25 * std::max(longest, work / threads);
    bool large = work >= double(order.size() - 1) * least / 16.0;
    if (order.size() < 3 || work < least || !(branches || large)) {
        if (p.collect && order.size() == jt->clique_count) {
            m->whole_collect_epoch = m->epoch;
            m->whole_collect_root = p.root;
        }
        return false;
    }
    p.parent.assign(n + 1, nullptr);
    std::vector<size_t> count(n + 1, 0);
    for (size_t k : order)
        if (size_t up = m->parent[k]) {
            p.parent[k] = m->clique[up];
            count[up] += 1;
        }
    p.first_child.assign(n + 2, 0);
    for (size_t k = 1; k <= n; ++k)
        p.first_child[k + 1] = p.first_child[k] + count[k];
    p.children.resize(p.first_child[n + 1]);
    std::vector<size_t> filled(n + 1, 0);
    // In walk order, so each clique's children come in the walk's order.
    for (size_t k : order)
        if (size_t up = m->parent[k])
            p.children[p.first_child[up] + filled[up]++] = m->clique[k];
    for (size_t k : order)
        if (count[k] == 0)
            p.leaves.push_back(m->clique[k]);
    // A collect starts from the leaves farthest from the root: the last
    // messages then come along short ways, and no thread waits long for a
    // long way taken late.
    std::stable_sort(p.leaves.begin(), p.leaves.end(), [&](const kv_clique_s *a, const kv_clique_s *b) {
        return m->path[a->number] > m->path[b->number];
    });
    return true;
}

size_t child_count(const Pass &p, const kv_clique_s *c)
{
    return p.first_child[c->number + 1] - p.first_child[c->number];
}

kv_clique_s *child(const Pass &p, const kv_clique_s *c, size_t i)
{
    return p.children[p.first_child[c->number] + i];
}

int absorb(Pass &p, kv_clique_s *from, kv_clique_s *into)
{
    try {
        return _kv_absorb(from, into, p.eq, p.mode, p.collect);
    } catch (const std::bad_alloc &) {
        return kv_error_no_memory;
    }
}

// Under the lock: records the first failure.
void fail(Pass &p, int status)
{
    if (!p.status)
        p.status = status;
}

// Waits until done() holds (checked under the lock), helping with the
// other threads' table operations: spinning for a while, since waits are
// often short, then asleep until the pass changes or shares are queued, as
// the thread that makes done() hold may need this core.
template <class Done> void wait_helping(Pass &p, Done &&done)
{
    p.helpers.waiting.fetch_add(1, std::memory_order_relaxed);
    for (;;) {
        std::chrono::steady_clock::time_point end = std::chrono::steady_clock::now() + spin_time;
        for (unsigned i = 0;; ++i) {
            if (i % 16 == 0) {
                std::lock_guard<std::mutex> hold(p.lock);
                if (done()) {
                    p.helpers.waiting.fetch_sub(1, std::memory_order_relaxed);
                    return;
                }
            }
            if (_kv_help_with_operations())
                continue;
            _kv_spin_pause();
            if (i % 64 == 63 && std::chrono::steady_clock::now() > end)
                break;
        }
        std::unique_lock<std::mutex> hold(p.lock);
        size_t seen = p.generation;
        hold.unlock();
        if (_kv_help_with_operations())
            continue;
        hold.lock();
        ++p.sleepers;
        p.changed.wait(hold, [&] { return done() || p.generation != seen; });
        --p.sleepers;
        if (done()) {
            p.helpers.waiting.fetch_sub(1, std::memory_order_relaxed);
            return;
        }
    }
}

// Under the lock: wakes the sleeping threads, whose done() may now hold.
void wake(Pass &p)
{
    if (p.sleepers)
        p.changed.notify_all();
}

// A thread of the pass queued shares of an operation: sleeping helpers
// look for them (a wake-up missed here costs speed only).
void wake_for_shares(void *context)
{
    Pass &p = *static_cast<Pass *>(context);
    if (p.sleepers.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard<std::mutex> hold(p.lock);
    ++p.generation;
    p.changed.notify_all();
}

// Collect: c has taken every child's message.  Sends the messages that are
// now in order into its parent, and on up the tree while the parents
// complete; leaves it to the thread that takes an earlier message when
// there is one still to come.
void completed(Pass &p, kv_clique_s *c)
{
    std::unique_lock<std::mutex> hold(p.lock);
    while (c != p.root && !p.status) {
        p.complete[c->number] = 1;
        kv_clique_s *up = p.parent[c->number];
        size_t k = up->number, n = child_count(p, up);
        if (p.busy[k])
            return;
        p.busy[k] = 1;
        while (p.taken[k] < n && p.complete[child(p, up, p.taken[k])->number] && !p.status) {
            kv_clique_s *from = child(p, up, p.taken[k]);
            hold.unlock();
            int status = absorb(p, from, up);
            hold.lock();
            ++p.taken[k];
            if (status)
                fail(p, status);
        }
        p.busy[k] = 0;
        if (p.taken[k] < n)
            return;
        c = up;
    }
}

void collect_thread(size_t, void *context)
{
    Pass &p = *static_cast<Pass *>(context);
    _kv_set_job_helpers(&p.helpers);
    std::unique_lock<std::mutex> hold(p.lock);
    ++p.working;
    while (p.next_leaf < p.leaves.size() && !p.status) {
        kv_clique_s *leaf = p.leaves[p.next_leaf++];
        hold.unlock();
        completed(p, leaf);
        hold.lock();
    }
    if (--p.working == 0)
        wake(p);
    hold.unlock();
    // No leaf is left: the threads still sending messages get help.
    wait_helping(p, [&] { return p.working == 0; });
}

void distribute_thread(size_t, void *context)
{
    Pass &p = *static_cast<Pass *>(context);
    _kv_set_job_helpers(&p.helpers);
    std::unique_lock<std::mutex> hold(p.lock);
    for (;;) {
        if (!p.ready.empty() && !p.status) {
            kv_clique_s *c = p.ready.back();
            p.ready.pop_back();
            ++p.working;
            hold.unlock();
            int status = absorb(p, p.parent[c->number], c);
            hold.lock();
            --p.working;
            --p.left;
            if (status)
                fail(p, status);
            // The first child on top, to be taken first.
            for (size_t i = child_count(p, c); i-- > 0;)
                p.ready.push_back(child(p, c, i));
            wake(p);
            continue;
        }
        if (p.left == 0 || (p.status && p.working == 0))
            return;
        hold.unlock();
        wait_helping(p, [&] { return !p.ready.empty() || p.left == 0 || (p.status && p.working == 0); });
        hold.lock();
    }
}

// Whether a pass from root may be worth splitting, from the tree's entries
// (no evidence slice is larger than its table), without walking it.
bool may_be_worth_it(kv_clique_s *root, int eq, int mode)
{
    kv_junction_tree_s *jt = root->junction_tree;
    return _kv_jt_slices(jt, eq, mode) && 2.0 * _kv_jt_clique_entries(jt) >= minimum_work;
}

bool start(Pass &p, kv_clique_s *root, int eq, int mode, bool collect)
{
    p.root = root;
    p.helpers.wake = wake_for_shares;
    p.helpers.context = &p;
    p.eq = eq;
    p.mode = mode;
    p.collect = collect;
    kv_junction_tree_s *jt = root->junction_tree;
    if (!_kv_jt_slices(jt, eq, mode) || !measure(p))
        return false;
    // The jobs' operations would mark the tree sliced, all at once.
    if (jt->tables.form != KV_TABLES_SLICED)
        _kv_jt_tables_sliced(jt);
    ++split_passes;
    return true;
}

} // namespace

void _kv_jt_wake_workers(kv_junction_tree_s *jt, int eq, int mode)
{
    if (jt->domain->concurrency_level > 1 && jt->collect_split && _kv_jt_slices(jt, eq, mode))
        _kv_wake_workers(jt->domain);
}

bool _kv_parallel_collect(kv_clique_s *root, int eq, int mode, int *status)
{
    kv_junction_tree_s *jt = root->junction_tree;
    jt->collect_split = 0;
    if (jt->pass_cache)
        ++jt->pass_cache->epoch;
    if (!may_be_worth_it(root, eq, mode))
        return false;
    Pass p;
    if (!start(p, root, eq, mode, true))
        return false;
    jt->collect_split = 1;
    size_t n = p.parent.size();
    p.complete.assign(n, 0);
    p.taken.assign(n, 0);
    p.busy.assign(n, 0);
    jt->normalizers_deferred = 1;
    _kv_run_jobs(root->domain, root->domain->concurrency_level, collect_thread, &p);
    jt->normalizers_deferred = 0;
    if (!p.status)
        _kv_jt_walk(
            jt, root, [](kv_walk_frame_s &f) { return f.clique->root_mark ? 0 : kv_walk_skip; },
            [](kv_walk_frame_s &f, kv_walk_frame_s *up) {
                if (up)
                    _kv_apply_collect_normalizer(f.clique);
                return 0;
            });
    *status = p.status;
    return true;
}

bool _kv_parallel_distribute(kv_clique_s *root, int eq, int mode, int *status)
{
    kv_junction_tree_s *jt = root->junction_tree;
    if (!may_be_worth_it(root, eq, mode))
        return false;
    Pass p;
    bool split = start(p, root, eq, mode, false);
    if (jt->pass_cache) // the entries of this propagation are used up
        ++jt->pass_cache->epoch;
    if (!split)
        return false;
    p.left = p.children.size();
    for (size_t i = child_count(p, root); i-- > 0;)
        p.ready.push_back(child(p, root, i));
    _kv_clique_take_ones(root); // read by every child's message
    _kv_run_jobs(root->domain, root->domain->concurrency_level, distribute_thread, &p);
    *status = p.status;
    return true;
}

namespace {

// A tree of fewer nodes updates its beliefs, and loads its potentials,
// faster on one thread.
std::atomic<size_t> fewest_nodes{256};

struct Beliefs {
    kv_node_s **nodes;
    size_t count, chunks;
    int eq, mode;
    std::vector<int> status; // of each chunk
};

void update_chunk(size_t k, void *context)
{
    Beliefs &b = *static_cast<Beliefs *>(context);
    size_t from = _kv_share_bound(b.count, k, b.chunks), to = _kv_share_bound(b.count, k + 1, b.chunks);
    for (size_t i = from; i < to; ++i) {
        int status;
        try {
            status = _kv_node_update_beliefs(b.nodes[i], b.eq, b.mode);
        } catch (const std::bad_alloc &) {
            status = kv_error_no_memory;
        }
        if (status) {
            b.status[k] = status;
            return;
        }
    }
}

} // namespace

bool _kv_parallel_beliefs(kv_junction_tree_s *jt, int eq, int mode, int *status)
{
    // Sliced: no continuous nodes, whose beliefs the distribute updates.
    if (!_kv_jt_slices(jt, eq, mode))
        return false;
    size_t count = 0;
    while (jt->nodes[count])
        ++count;
    if (!_kv_many_nodes_to_split(jt, count))
        return false;
    ++other_splits;
    size_t chunks = 4 * jt->domain->concurrency_level;
    Beliefs b{jt->nodes, count, chunks, eq, mode, std::vector<int>(chunks, 0)};
    _kv_run_jobs(jt->domain, chunks, update_chunk, &b);
    *status = kv_error_none;
    for (int s : b.status)
        if (s) {
            *status = s;
            break;
        }
    return true;
}

double kv::set_minimum_split_work(double work)
{
    return minimum_work.exchange(work);
}

size_t kv::set_fewest_split_nodes(size_t nodes)
{
    return fewest_nodes.exchange(nodes);
}

void _kv_jt_free_pass_cache(kv_junction_tree_s *jt)
{
    delete jt->pass_cache;
    jt->pass_cache = nullptr;
}

double _kv_jt_clique_entries(kv_junction_tree_s *jt)
{
    if (!jt->clique_entries)
        for (kv_clique_s **c = jt->cliques; *c; ++c)
            jt->clique_entries += double((*c)->probability_table->size);
    return jt->clique_entries;
}

bool _kv_many_nodes_to_split(kv_junction_tree_s *jt, size_t nodes)
{
    return jt->domain->concurrency_level > 1 && nodes >= fewest_nodes &&
           _kv_jt_clique_entries(jt) >= 8.0 * minimum_work;
}

double _kv_minimum_split_work()
{
    return minimum_work;
}

void _kv_count_split_load()
{
    ++other_splits;
}

size_t kv::split_passes()
{
    return ::split_passes + ::other_splits;
}
