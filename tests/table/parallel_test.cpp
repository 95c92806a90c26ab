// The worker pool: callers on several threads at once, a process forked
// after workers started, a bound on the number of threads, and workers
// woken ahead of work.
#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "../compile/compile_fixture.h"
#include "inference/propagate.h"
#include "table/parallel.h"

namespace {

// A dense network whose large cliques split at level 2 with grain size 1;
// the beliefs of its nodes after each of a fixed series of cases.
struct Workload {
    kv_domain_t d = nullptr;
    std::vector<kv_node_t> nodes;
    std::vector<std::vector<size_t>> cases;

    Workload(unsigned seed, size_t level)
    {
        std::mt19937 rng(seed);
        d = kv_new_domain();
        nodes = random_network(d, rng, 14, 45);
        EXPECT_EQ(kv_domain_set_concurrency_level(d, level), 0);
        EXPECT_EQ(kv_domain_set_grain_size(d, 1), 0);
        auto flat = kv::set_flat_limits(0, 0); // small trees run flat, on one thread
        EXPECT_EQ(kv_domain_compile(d), 0);
        kv::set_flat_limits(flat.first, flat.second);
        for (int k = 0; k < 12; ++k) {
            std::vector<size_t> c;
            for (kv_node_t n : nodes)
                c.push_back(rng() % 4 == 0 ? rng() % kv_node_get_number_of_states(n) : size_t(-1));
            cases.push_back(c);
        }
    }
    ~Workload() { kv_domain_delete(d); }

    // The beliefs of every case, or an empty list when a propagation fails
    // for any reason other than impossible evidence.
    std::vector<double> run()
    {
        std::vector<double> out;
        for (const std::vector<size_t> &c : cases) {
            if (kv_domain_retract_findings(d))
                return {};
            for (size_t i = 0; i < nodes.size(); ++i)
                if (c[i] != size_t(-1) && kv_node_select_state(nodes[i], c[i]))
                    return {};
            kv_status_t status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
            if (status == kv_error_inconsistency_or_underflow) {
                out.push_back(-1.0);
                continue;
            }
            if (status)
                return {};
            for (kv_node_t n : nodes)
                for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
                    out.push_back(kv_node_get_belief(n, s));
        }
        return out;
    }
};

size_t threads_of_this_process()
{
    size_t n = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (dirent *e = readdir(dir))
            n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

} // namespace

// Two callers propagate two domains at once, both splitting their table
// operations among the pool's threads: each gets exactly what it gets alone.
TEST(WorkerPoolTest, TwoCallersAtOnce)
{
    size_t share = kv::set_minimum_thread_share(1);
    std::vector<double> alone_a = Workload(5, 2).run(), alone_b = Workload(6, 2).run();
    ASSERT_FALSE(alone_a.empty());
    ASSERT_FALSE(alone_b.empty());
    size_t pooled = kv::pooled_shares();
    for (int round = 0; round < 3; ++round) {
        Workload a(5, 2), b(6, 2);
        std::vector<double> together_a, together_b;
        std::thread other([&] { together_b = b.run(); });
        together_a = a.run();
        other.join();
        EXPECT_EQ(together_a, alone_a) << round;
        EXPECT_EQ(together_b, alone_b) << round;
    }
    EXPECT_GT(kv::pooled_shares(), pooled) << "the operations were split";
    kv::set_minimum_thread_share(share);
}

// A child process after fork() has none of the parent's workers; its
// split operations must still finish (with threads of its own).
TEST(WorkerPoolTest, ForkedChildDoesNotWaitForTheParentsWorkers)
{
    size_t share = kv::set_minimum_thread_share(1);
    std::vector<double> expected = Workload(7, 2).run();
    ASSERT_FALSE(expected.empty());
    Workload w(7, 2);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20); // a hang ends the child with SIGALRM
        size_t pooled = kv::pooled_shares();
        bool same = w.run() == expected && kv::pooled_shares() > pooled;
        _exit(same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    kv::set_minimum_thread_share(share);
}

// However high the concurrency level, the pool's threads stay bounded,
// and the results are those of level 1.
TEST(WorkerPoolTest, ThreadsAreBounded)
{
    size_t share = kv::set_minimum_thread_share(1);
    std::vector<double> expected = Workload(8, 1).run();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Workload(8, 1000).run(), expected);
    size_t cores = std::thread::hardware_concurrency();
    size_t bound = std::max<size_t>(2 * cores, 8) - 1;
    // The pool's workers, the main thread and at most a few of the test
    // framework's own.
    EXPECT_LE(threads_of_this_process(), bound + 3);
    kv::set_minimum_thread_share(share);
}

namespace {

// Jobs that each wait for all of them to have started: true when they did
// within ten seconds, so each ran on a thread of its own.
bool jobs_meet(kv_domain_t d, size_t count)
{
    struct Meeting {
        size_t count;
        std::atomic<size_t> started{0};
        std::atomic<bool> missed{false};
    } m{count};
    _kv_run_jobs(
        d, count,
        [](size_t, void *context) {
            Meeting &m = *static_cast<Meeting *>(context);
            m.started.fetch_add(1);
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (m.started.load() < m.count)
                if (std::chrono::steady_clock::now() > end) {
                    m.missed = true;
                    return;
                } else {
                    std::this_thread::yield();
                }
        },
        &m);
    return !m.missed;
}

} // namespace

// Workers woken ahead of work and gone back to sleep, or still spinning,
// take the work that comes later.
TEST(WorkerPoolTest, WorkersWokenAheadTakeLaterWork)
{
    kv_domain_t d = kv_new_domain();
    ASSERT_EQ(kv_domain_set_concurrency_level(d, 3), 0);
    ASSERT_TRUE(jobs_meet(d, 3)); // the pool has its workers
    for (int pause_ms : {5, 0, 5}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // asleep by now
        _kv_wake_workers(d);
        _kv_wake_workers(d);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        EXPECT_TRUE(jobs_meet(d, 3)) << pause_ms;
    }
    ASSERT_EQ(kv_domain_set_concurrency_level(d, 1), 0);
    _kv_wake_workers(d); // level 1 wakes nobody
    kv_domain_delete(d);
}
