// Parallel execution of table operations.  The outermost loop of a control's
// first section runs over a node shared by both tables, so its iterations
// touch disjoint parts of both tables: threads get consecutive ranges of it
// and need no locks.  When no worker thread can be started the shares run on
// the calling thread, so an operation always completes.
#include "parallel.h"

#include <pthread.h>

#include "kernels.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <mutex>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/memory.h"

namespace {
std::atomic<bool> refuse_threads{false};
// Handing a share to a worker that may be asleep and waiting for it costs
// microseconds, and on tables that sit in cache two threads gain little:
// the ranges of _kv_run_ranges each get at least this many entries of work
// (1 MB).  A thread of a propagation pass that waits for work spins and
// takes a share within a microsecond: for it, from 2^14 entries (128 KB).
constexpr size_t helper_default = size_t(1) << 14;
std::atomic<size_t> minimum_share{size_t(1) << 17}, helper_share{helper_default};
std::atomic<size_t> pooled_shares{0};
// The scratch buffer of a thread while it runs jobs of _kv_run_jobs, and
// the count of threads of those jobs that wait with nothing to do.
thread_local kv_scratch_buffer_s *job_buffer = nullptr;
thread_local kv_job_helpers_s *job_helpers = nullptr;

// A job splits its table operations only while other threads of its jobs
// are free to take the shares.
bool splits_allowed()
{
    return !job_buffer || (job_helpers && job_helpers->waiting.load(std::memory_order_relaxed) > 0);
}

// The least work of a share for the calling thread (see minimum_share).
size_t least_share()
{
    return job_buffer && job_helpers ? helper_share.load() : minimum_share.load();
}
} // namespace

void _kv_set_job_helpers(kv_job_helpers_s *helpers)
{
    job_helpers = helpers;
}

kv_scratch_buffer_s _kv_thread_scratch_buffer(kv_domain_s *d)
{
    return job_buffer ? *job_buffer : kv_scratch_buffer_s{d->scratch_buffer, d->scratch_buffer_size};
}

void _kv_set_scratch_buffer(kv_domain_s *d, kv_scratch_buffer_s b)
{
    if (job_buffer) {
        *job_buffer = b;
        return;
    }
    d->scratch_buffer = b.data;
    d->scratch_buffer_size = b.bytes;
}

void kv::refuse_worker_threads(bool refuse)
{
    refuse_threads = refuse;
}

size_t kv::pooled_shares()
{
    return ::pooled_shares;
}

size_t kv::set_minimum_thread_share(size_t entries)
{
    entries = entries ? entries : 1;
    helper_share = std::min(entries, helper_default);
    return minimum_share.exchange(entries);
}

size_t _kv_compute_number_of_threads(const kv_domain_s *d, size_t count, size_t W)
{
    if (W == 0)
        W = 1;
    size_t k = d->grain_size / W + (d->grain_size % W != 0);
    if (k == 0)
        k = 1;
    size_t T = count / k;
    if (T == 0 || !splits_allowed())
        return 1;
    return T < d->concurrency_level ? T : d->concurrency_level;
}

bool _kv_may_split(const kv_table_s *big)
{
    const kv_domain_s *d = big->domain;
    return d->concurrency_level > 1 && big->size / 2 >= d->grain_size &&
           big->size / 2 >= least_share() && splits_allowed();
}

static void *run_share(void *record)
{
    kv_task_s *r = static_cast<kv_task_s *>(record);
    r->task(r);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Worker pool.  Threads are started once, as operations first need them,
// and then wait for shares: starting a thread per share cost tens of
// microseconds, more than many shares take.  The caller of an operation
// takes shares of it too, so a concurrency level of T keeps T threads
// busy, the caller included; when no worker can be started it runs them
// all.  Several callers (on different domains) may use the pool at once.

namespace {
struct Batch {
    void *(*run)(void *);
    char *records;
    size_t record_size;
    size_t count;
    bool operation; // shares of one table operation, which any thread may help with
    size_t taken = 0; // under the pool's lock
    std::atomic<size_t> done{0};
    Batch *next = nullptr;
};

// However high a concurrency level asks, the pool keeps at most this many
// workers: shares beyond them wait for a free thread.
size_t most_workers()
{
    size_t cores = std::thread::hardware_concurrency();
    return std::max<size_t>(2 * cores, 8) - 1;
}

// Operations of one propagation follow each other within microseconds, and
// a sleeping thread takes longer than that to wake up: an idle worker, and
// a caller waiting for the last shares, first spin for a while.  Only as
// many workers spin as there are other cores.
using SpinClock = std::chrono::steady_clock;
constexpr std::chrono::microseconds spin_time{100};

// A worker woken ahead of work (see _kv_wake_workers) spins this long for
// it: the serial work of a propagation before its passes takes about as
// long as a sleeping thread to wake.
constexpr std::chrono::microseconds woken_spin_time{1000};

template <class Ready> bool spin_until(Ready &&ready, SpinClock::duration time = spin_time)
{
    SpinClock::time_point end = SpinClock::now() + time;
    for (unsigned i = 1;; ++i) {
        if (ready())
            return true;
        _kv_spin_pause();
        if (i % 64 == 0 && SpinClock::now() > end)
            return false;
    }
}

class Pool {
  public:
    void run(Batch &b)
    {
        std::unique_lock<std::mutex> lock(m);
        if (refuse_threads || !grow(std::min(b.count - 1, most_workers()))) {
            lock.unlock();
            for (size_t i = 0; i < b.count; ++i)
                b.run(b.records + i * b.record_size);
            return;
        }
        ::pooled_shares += b.count;
        *tail = &b;
        tail = &b.next;
        queued.store(true, std::memory_order_release);
        if (sleepers)
            wake.notify_all();
        if (job_helpers && job_helpers->wake && b.operation) {
            lock.unlock();
            job_helpers->wake(job_helpers->context);
            lock.lock();
        }
        while (b.taken < b.count)
            run_one(b, lock);
        auto all_done = [&] { return b.done.load(std::memory_order_acquire) == b.count; };
        if (all_done())
            return;
        lock.unlock();
        if (spin_until(all_done))
            return;
        lock.lock();
        ++waiting;
        finished.wait(lock, all_done);
        --waiting;
    }

    // Wakes the sleeping workers, up to want, to spin for work that comes
    // soon.
    void wake_ahead(size_t want)
    {
        if (sleepers_now.load(std::memory_order_relaxed) == 0)
            return;
        std::lock_guard<std::mutex> lock(m);
        if (head || sleepers == 0)
            return;
        ++ahead;
        for (size_t i = 0; i < want && i < sleepers; ++i)
            wake.notify_one();
    }

    // Runs one share of a queued table operation, if there is one.
    bool help()
    {
        if (!queued.load(std::memory_order_acquire))
            return false;
        std::unique_lock<std::mutex> lock(m);
        for (Batch *b = head; b; b = b->next)
            if (b->operation) {
                run_one(*b, lock);
                return true;
            }
        return false;
    }

  private:
    // Workers up to want; false when there are none at all.
    bool grow(size_t want)
    {
        while (workers < want) {
            pthread_t thread;
            if (pthread_create(&thread, nullptr, work, this) != 0)
                break;
            pthread_detach(thread);
            ++workers;
        }
        return workers > 0;
    }

    // Takes the next share of b and runs it outside the lock.
    void run_one(Batch &b, std::unique_lock<std::mutex> &lock)
    {
        size_t i = b.taken++;
        if (b.taken == b.count)
            unlink(b);
        lock.unlock();
        b.run(b.records + i * b.record_size);
        lock.lock();
        // Once the last share counts as done, the caller may be gone with b.
        size_t count = b.count;
        if (b.done.fetch_add(1, std::memory_order_acq_rel) + 1 == count && waiting)
            finished.notify_all();
    }

    void unlink(Batch &b)
    {
        Batch **p = &head;
        while (*p != &b)
            p = &(*p)->next;
        *p = b.next;
        if (tail == &b.next)
            tail = p;
        b.next = nullptr;
        queued.store(head != nullptr, std::memory_order_release);
    }

    // Spins while work may come soon, when no more than the other cores'
    // worth of workers already do.
    void wait_for_work(SpinClock::duration time)
    {
        static const unsigned others = std::max(1u, std::thread::hardware_concurrency()) - 1;
        if (spinners.fetch_add(1, std::memory_order_relaxed) < others)
            spin_until([&] { return queued.load(std::memory_order_acquire); }, time);
        spinners.fetch_sub(1, std::memory_order_relaxed);
    }

    static void *work(void *self)
    {
        Pool &p = *static_cast<Pool *>(self);
        SpinClock::duration time = spin_time;
        for (;;) {
            p.wait_for_work(time);
            time = spin_time;
            std::unique_lock<std::mutex> lock(p.m);
            size_t seen = p.ahead;
            while (!p.head && p.ahead == seen) {
                ++p.sleepers;
                p.sleepers_now.fetch_add(1, std::memory_order_relaxed);
                p.wake.wait(lock);
                p.sleepers_now.fetch_sub(1, std::memory_order_relaxed);
                --p.sleepers;
            }
            if (!p.head) {
                time = woken_spin_time;
                continue;
            }
            p.run_one(*p.head, lock);
        }
        return nullptr;
    }

    std::mutex m;
    std::condition_variable wake, finished;
    Batch *head = nullptr, **tail = &head;
    std::atomic<bool> queued{false}; // head != nullptr, readable without the lock
    std::atomic<unsigned> spinners{0};
    size_t workers = 0;
    size_t sleepers = 0; // workers waiting on wake
    std::atomic<size_t> sleepers_now{0}; // the same, readable without the lock
    size_t ahead = 0;    // wake-ups ahead of work
    size_t waiting = 0;  // callers waiting on finished
};

// Never destroyed: workers may still wait on it when the process exits.
// A child process after fork() has none of the workers: it starts afresh
// with a new pool (the old one, whose lock a worker may have held, is
// left alone).
std::atomic<Pool *> the_pool{nullptr};

void forget_pool_in_child()
{
    the_pool.store(nullptr, std::memory_order_relaxed);
}

const int fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child);

Pool &pool()
{
    Pool *p = the_pool.load(std::memory_order_acquire);
    if (!p) {
        Pool *fresh = new Pool;
        if (the_pool.compare_exchange_strong(p, fresh, std::memory_order_acq_rel))
            p = fresh;
        else
            delete fresh;
    }
    return *p;
}
} // namespace

// Runs run on each of count records of record_size bytes, on the workers
// and the calling thread.
static void run_on_workers(void *(*run)(void *), void *records, size_t record_size, size_t count,
                           bool operation = true)
{
    (void)fork_handler;
    Batch b{run, static_cast<char *>(records), record_size, count, operation};
    pool().run(b);
}

void _kv_wake_workers(const kv_domain_s *d)
{
    Pool *p = the_pool.load(std::memory_order_acquire);
    if (p && d->concurrency_level > 1 && !refuse_threads)
        p->wake_ahead(d->concurrency_level - 1);
}

bool _kv_help_with_operations()
{
    Pool *p = the_pool.load(std::memory_order_acquire);
    return p && p->help();
}

namespace {
// An array of n elements, in the object itself when n is at most N: the
// small operations, which are most of them, allocate nothing.
template <class T, size_t N> class LocalArray {
  public:
    LocalArray() = default;
    LocalArray(const LocalArray &) = delete;
    LocalArray &operator=(const LocalArray &) = delete;
    ~LocalArray()
    {
        if (data_ != local_)
            std::free(data_);
    }
    // NULL (no_memory) when n elements cannot be had.
    T *get(size_t n) { return data_ = n <= N ? local_ : kv::allocate_array<T>(n); }

  private:
    T local_[N];
    T *data_ = local_;
};
} // namespace

static void prepare(kv_control_s *c, kv_task_function_t task, const double *source,
                    double *destination, const void *context, kv_task_s &base)
{
    kv_table_s *bp = c->big_probability, *bu = c->big_utility;
    kv_table_s *sp = c->small_probability;
    std::memset(&base, 0, sizeof base);
    base.control = c;
    base.task = task;
    base.context = context;
    base.big_data = bp && bp->discrete_data ? bp->discrete_data + c->base_offset : nullptr;
    base.big_utility = bu && bu->discrete_data ? bu->discrete_data + c->base_offset : nullptr;
    base.big_cg = bp && bp->cg_data ? bp->cg_data + c->base_offset * bp->cg_size : nullptr;
    base.small_cg = sp ? sp->cg_data : nullptr;
    base.source = source;
    base.destination = destination;
    base.loops = c->D ? _kv_control_working(c) : nullptr;
    base.first_count = c->first_count;
    base.second_count = c->second_count;
    base.iterations = 1;
}

int _kv_do_table_operation(kv_control_s *c, kv_task_function_t task, const double *source,
                           double *destination, size_t scratch_count, size_t extra_cost,
                           const void *context, bool elementwise)
{
    kv_table_s *bp = c->big_probability, *sp = c->small_probability;
    kv_task_s base;
    prepare(c, task, source, destination, context, base);

    const kv_domain_s *d = c->domain;
    size_t T = 1;
    if (d->concurrency_level > 1 && c->first_count > 0) {
        size_t W = _kv_size_add(extra_cost, 1);
        for (size_t i = 1; i < c->first_count + c->second_count; ++i)
            W = _kv_size_multiply(base.loops[i].count, W);
        T = _kv_compute_number_of_threads(d, base.loops[0].count, W);
    }
    if (T == 1) {
        LocalArray<double, 64> scratch;
        base.scratch = scratch_count ? scratch.get(scratch_count) : nullptr;
        if (scratch_count && !base.scratch)
            return kv_error_no_memory;
        task(&base);
        return _kv_set_error_code(kv_error_none);
    }

    LocalArray<kv_task_s, 8> record_array;
    kv_task_s *records = record_array.get(T);
    if (records && elementwise && !scratch_count) {
        kv::Plan p;
        kv::big_order_plan(&base, p);
        size_t count = p.n > 0 ? p.dims[0].count : 0;
        if (count >= T) {
            for (size_t i = 0; i < T; ++i) {
                records[i] = base;
                records[i].slice_begin = _kv_share_bound(count, i, T);
                records[i].slice_end = _kv_share_bound(count, i + 1, T);
            }
            run_on_workers(run_share, records, sizeof *records, T);
            return _kv_set_error_code(kv_error_none);
        }
    }
    LocalArray<double, 256> scratch_array;
    double *scratch = records && scratch_count ? scratch_array.get(_kv_size_multiply(T, scratch_count)) : nullptr;
    if (!records || (scratch_count && !scratch))
        return kv_error_no_memory;
    const kv_loop_s &outer = base.loops[0];
    size_t small_cg_size = sp ? sp->cg_size : 0;
    size_t big_cg_size = bp ? bp->cg_size : 0;
    size_t small_size = _kv_control_small(c)->size;
    size_t small_block = small_size / outer.count;
    size_t q = outer.count / T, r = outer.count % T, done = 0;
    for (size_t i = 0; i < T; ++i) {
        kv_task_s &rec = records[i];
        rec = base;
        rec.loops = base.loops + 1;
        rec.first_count = base.first_count - 1;
        rec.iterations = q + (i < r);
        rec.outer_stride = outer.stride;
        rec.small_block = small_block;
        rec.scratch = scratch ? scratch + i * scratch_count : nullptr;
        size_t big_step = done * outer.stride, small_step = done * small_block;
        rec.big_first = big_step;
        rec.small_first = small_step;
        if (rec.big_data)
            rec.big_data += big_step;
        if (rec.big_utility)
            rec.big_utility += big_step;
        if (rec.big_cg)
            rec.big_cg += big_step * big_cg_size;
        if (rec.source)
            rec.source += small_step;
        if (rec.destination)
            rec.destination += small_step;
        if (rec.small_cg)
            rec.small_cg += small_step * small_cg_size;
        done += rec.iterations;
    }
    run_on_workers(run_share, records, sizeof *records, T);
    return _kv_set_error_code(kv_error_none);
}

void _kv_add_partials(double *dest, const double *partials, size_t chunks, size_t size, bool max)
{
    for (size_t k = 0; k < chunks; ++k) {
        const double *q = partials + k * size;
        if (max) {
            for (size_t i = 0; i < size; ++i)
                if (q[i] > dest[i])
                    dest[i] = q[i];
        } else {
            for (size_t i = 0; i < size; ++i)
                dest[i] += q[i];
        }
    }
}

static void run_group(kv_task_s *t)
{
    for (size_t i = 0; i < t->group_count; ++i)
        t->group[i].task(&t->group[i]);
}

int _kv_do_table_reduction(kv_control_s *c, kv_task_function_t task, double *destination,
                           size_t size, bool max)
{
    const kv_domain_s *d = c->domain;
    kv_task_s base;
    prepare(c, task, nullptr, destination, nullptr, base);
    kv::Plan p;
    if (base.loops)
        kv::big_order_plan(&base, p);
    size_t work = 1;
    for (int i = 0; i < p.n; ++i)
        work = _kv_size_multiply(work, p.dims[i].count);
    if (p.n < 2 || !kv::chunked_reduction(work, size, p.dims[0].small == 0))
        return _kv_do_table_operation(c, task, nullptr, destination, 0, 0);

    size_t chunks = std::min(p.dims[0].count, kv::reduction_chunks);
    size_t T = _kv_compute_number_of_threads(d, chunks, work / chunks);
    LocalArray<double, 512> partial_array;
    LocalArray<kv_task_s, 16> record_array;
    double *partial = partial_array.get(chunks * size);
    kv_task_s *records = record_array.get(chunks + T);
    if (!partial || !records)
        return kv_error_no_memory;
    double start = max ? -HUGE_VAL : 0.0;
    for (size_t i = 0; i < chunks * size; ++i)
        partial[i] = start;
    size_t count = p.dims[0].count;
    for (size_t k = 0; k < chunks; ++k) {
        kv_task_s &r = records[k];
        r = base;
        r.slice_begin = _kv_share_bound(count, k, chunks);
        r.slice_end = _kv_share_bound(count, k + 1, chunks);
        r.destination = partial + k * size;
    }
    kv_task_s *shares = records + chunks;
    for (size_t i = 0; i < T; ++i) {
        size_t from = _kv_share_bound(chunks, i, T), to = _kv_share_bound(chunks, i + 1, T);
        shares[i] = base;
        shares[i].task = run_group;
        shares[i].group = records + from;
        shares[i].group_count = to - from;
    }
    if (T == 1)
        run_group(&shares[0]);
    else
        run_on_workers(run_share, shares, sizeof *shares, T);
    _kv_add_partials(destination, partial, chunks, size, max);
    return _kv_set_error_code(kv_error_none);
}

namespace {
struct Range {
    size_t begin, end;
    void (*run)(size_t, size_t, void *);
    void *context;
};
} // namespace

static void *run_range(void *record)
{
    Range *r = static_cast<Range *>(record);
    r->run(r->begin, r->end, r->context);
    return nullptr;
}

void _kv_run_ranges(const kv_domain_s *d, size_t count, size_t unit_work,
                    void (*run)(size_t, size_t, void *), void *context)
{
    if (d->concurrency_level <= 1 || !splits_allowed()) {
        run(0, count, context);
        return;
    }
    // Most operations of a propagation are too small for two shares: they
    // leave before the thread count is worked out.
    size_t most = _kv_size_multiply(count, unit_work) / least_share();
    if (most < 2) {
        run(0, count, context);
        return;
    }
    size_t T = std::min(_kv_compute_number_of_threads(d, count, unit_work), most);
    LocalArray<Range, 8> range_array;
    Range *ranges = T > 1 ? range_array.get(T) : nullptr;
    if (!ranges) {
        run(0, count, context);
        return;
    }
    for (size_t i = 0; i < T; ++i)
        ranges[i] = {_kv_share_bound(count, i, T), _kv_share_bound(count, i + 1, T), run, context};
    run_on_workers(run_range, ranges, sizeof *ranges, T);
}

namespace {
struct Jobs {
    void (*run)(size_t, void *);
    void *context;
    size_t count;
    std::atomic<size_t> next{0};
};
struct JobShare {
    Jobs *jobs;
};
} // namespace

static void *run_jobs(void *record)
{
    Jobs &jobs = *static_cast<JobShare *>(record)->jobs;
    kv_scratch_buffer_s own{nullptr, 0};
    job_buffer = &own;
    for (size_t k; (k = jobs.next.fetch_add(1, std::memory_order_relaxed)) < jobs.count;)
        jobs.run(k, jobs.context);
    job_buffer = nullptr;
    job_helpers = nullptr;
    std::free(own.data);
    return nullptr;
}

void _kv_run_jobs(kv_domain_s *d, size_t count, void (*run)(size_t, void *), void *context)
{
    Jobs jobs{run, context, count};
    size_t T = std::min(d->concurrency_level, count);
    LocalArray<JobShare, 8> share_array;
    JobShare *shares = T > 1 ? share_array.get(T) : nullptr;
    ++d->running_jobs;
    if (!shares) {
        JobShare one{&jobs};
        run_jobs(&one);
    } else {
        for (size_t i = 0; i < T; ++i)
            shares[i].jobs = &jobs;
        run_on_workers(run_jobs, shares, sizeof *shares, T, false);
    }
    --d->running_jobs;
}

// ---------------------------------------------------------------------------
// Settings.

kv_status_t kv_domain_set_grain_size(kv_domain_t d, size_t size)
{
    if (_kv_set_error_code(!d || size == 0))
        return kv_error_usage;
    d->grain_size = size;
    return kv_error_none;
}

size_t kv_domain_get_grain_size(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return static_cast<size_t>(-1);
    return d->grain_size;
}

kv_status_t kv_domain_set_concurrency_level(kv_domain_t d, size_t level)
{
    if (_kv_set_error_code(!d || level == 0))
        return kv_error_usage;
    d->concurrency_level = level;
    return kv_error_none;
}

size_t kv_domain_get_concurrency_level(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return static_cast<size_t>(-1);
    return d->concurrency_level;
}
