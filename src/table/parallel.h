// The table-operation driver: runs a task over a control's working loops,
// splitting the outermost loop of the first section among worker threads
// when the work is large enough.
#pragma once

#include <atomic>
#include <cstddef>

#include "control.h"

struct kv_task_s;
typedef void (*kv_task_function_t)(kv_task_s *);

// One thread's share of an operation.  The task walks `loops` (first_count
// entries of the first section, then second_count entries) inside an extra
// outermost loop of `iterations` steps that advances the big-table pointers
// by outer_stride and the small-table pointers by small_block entries.
struct kv_task_s {
    kv_control_s *control;
    double *big_data;
    const double *source;
    double *big_utility;
    double *big_cg;
    double *destination;
    double *small_cg;
    double *scratch;
    const kv_loop_s *loops;
    size_t first_count;
    size_t second_count;
    kv_task_function_t task;
    size_t iterations;
    size_t outer_stride;
    size_t small_block;
    // How far this share's pointers have been advanced from the start of the
    // operation, in big entries and in small entries.  A kernel that reaches
    // a table through anything other than its pointers (a copy of a table,
    // a context array) adds them to the offsets of its walk.
    size_t big_first;
    size_t small_first;
    const void *context; // operation-wide data of the task, if any
    // For kernels that treat every big entry on its own: this share is the
    // slice [slice_begin, slice_end) of the big table's slowest dimension
    // (empty: no slice).
    size_t slice_begin;
    size_t slice_end;
    // A share that runs several tasks in turn (chunked reductions).
    kv_task_s *group;
    size_t group_count;
};

// Runs task over the control's working loops (set up by the caller).
// source and destination point at the start of small-side arrays; scratch
// count is the number of doubles of private scratch per thread; extra cost
// weighs the work per entry.  0, or no_memory (nothing computed).
// With elementwise set (kernels that treat every big entry on its own and
// use no scratch), the shares are slices of the big table in memory order,
// which gives every thread its own stretch of memory whatever the loop
// order; the results are the same.
int _kv_do_table_operation(kv_control_s *c, kv_task_function_t task, const double *source,
                           double *destination, size_t scratch_count, size_t extra_cost,
                           const void *context = nullptr, bool elementwise = false);

// Runs a sum (max false) or max reduction task over the control's working
// loops into destination (size entries, already holding the start values).
// When the big table's slowest dimension is summed out and the result is
// small, that dimension is cut into a fixed number of chunks, each reduced
// into a partial result of its own, and the partials are combined in chunk
// order: threads then stream disjoint stretches of memory.  The chunking
// depends only on the tables, so the results are the same at every
// concurrency level.  0, or no_memory (nothing computed).
int _kv_do_table_reduction(kv_control_s *c, kv_task_function_t task, double *destination,
                           size_t size, bool max);

// Adds the partial results of `chunks` chunks, size entries each, into dest
// (with max, keeps the larger entries instead), chunk by chunk in order, so
// that the result does not depend on which thread reduced which chunk.
void _kv_add_partials(double *dest, const double *partials, size_t chunks, size_t size, bool max);

// Whether an operation over this big table could be split among threads:
// the sliced operations run on the calling thread, and over whole tables
// they leave the big ones to the threaded kernels.
bool _kv_may_split(const kv_table_s *big);

// Number of threads for an outermost loop of `count` iterations of W work
// units each.
size_t _kv_compute_number_of_threads(const kv_domain_s *d, size_t count, size_t W);

// Runs jobs 0 .. count - 1 of run on up to the domain's concurrency level of
// threads, the caller among them; each thread takes the next job in index
// order as it becomes free, so jobs given largest first balance well.  A
// job runs with its table operations unsplit (on its own thread alone) and
// with a scratch buffer of its thread's own in place of the domain's; it
// must not throw.
void _kv_run_jobs(kv_domain_s *d, size_t count, void (*run)(size_t job, void *context),
                  void *context);

// Jobs that wait for others may help with their table operations.  While
// helpers->waiting is above 0 the calling job's operations split; the
// waiting threads take shares with _kv_help_with_operations (true when they
// ran one), and a thread that queued shares calls helpers->wake (which may
// be NULL) so that sleeping helpers look for them.
struct kv_job_helpers_s {
    std::atomic<int> waiting{0};
    void (*wake)(void *context) = nullptr;
    void *context = nullptr;
};
void _kv_set_job_helpers(kv_job_helpers_s *helpers);
bool _kv_help_with_operations();
// Wakes sleeping workers (up to the domain's level less one) to spin for
// shares that come within a millisecond: a sleeping thread takes tens of
// microseconds or more to wake, which the caller's work meanwhile hides.
void _kv_wake_workers(const kv_domain_s *d);

// One step of a spinning wait: tells the core that the thread spins.
inline void _kv_spin_pause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The calling thread's scratch buffer: the domain's, or in a job of
// _kv_run_jobs the thread's own.  _kv_check_buffer makes it big enough.
struct kv_scratch_buffer_s {
    double *data;
    size_t bytes;
};
kv_scratch_buffer_s _kv_thread_scratch_buffer(kv_domain_s *d);
void _kv_set_scratch_buffer(kv_domain_s *d, kv_scratch_buffer_s b);
inline kv_scratch_buffer_s _kv_scratch_buffer(kv_domain_s *d)
{
    return d->running_jobs ? _kv_thread_scratch_buffer(d) : kv_scratch_buffer_s{d->scratch_buffer, d->scratch_buffer_size};
}
inline double *_kv_scratch(kv_domain_s *d)
{
    return d->running_jobs ? _kv_thread_scratch_buffer(d).data : d->scratch_buffer;
}

namespace kv {
// Test hook: when set, worker threads are never started, as if creating
// them failed, so every share runs on the calling thread.
void refuse_worker_threads(bool refuse);
// Number of shares of operations that the worker pool has run so far in
// this process, on its workers and their callers (for tests); shares that
// ran on the caller alone, without workers, do not count.
size_t pooled_shares();
// Sets the least work (entries) that the ranges of _kv_run_ranges get a
// thread for (and, when lower, the least for shares taken by waiting
// threads of a propagation pass); gives the previous value (for tests).
size_t set_minimum_thread_share(size_t entries);
} // namespace kv
