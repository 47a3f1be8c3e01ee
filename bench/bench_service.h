#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>

#include "velk_testing/running_child.h"

namespace elevard_bench {

// The built elevard as the benchmarks run it: inside a private mount namespace of this process,
// so that its socket lives on the namespace's own /tmp and the machine's is never touched, and
// with its output read by a thread of its own, so that its outcome lines cost what a write to a
// pipe costs. Used by the main thread only; neither copied nor moved.
class BenchService {
public:
    BenchService() = default;
    // Stops the service (SIGTERM) and waits for it.
    ~BenchService();
    BenchService(const BenchService&) = delete;
    BenchService& operator=(const BenchService&) = delete;

    // Moves this process into a private mount namespace with a "quorvath" group (call while
    // the process has a single thread) and starts the service there without arguments: the
    // program named by $ELEVARD_BENCH_SERVICE when set (to compare another build under the
    // same load), else the elevard built beside the benchmarks. Returns false after printing
    // the reason on standard error, also when this process does not run as root.
    bool start();

    // The service's process id; -1 before start().
    pid_t pid() const { return pid_; }

    // Resident memory of the service in KiB: in all, and its anonymous and file-backed parts
    // (-1 when unreadable).
    long residentKiB() const;
    long anonymousKiB() const;
    long fileKiB() const;
    // The proportional set size (Pss of smaps_rollup): shared library pages count divided by
    // the number of processes that map them. -1 when unreadable.
    long proportionalKiB() const;

    // The processor time all threads of the service have used so far, in seconds (from
    // /proc/<pid>/task/*/schedstat); -1 when unreadable.
    double cpuSeconds() const;

private:
    velk::testing::RunningChild child_;
    pid_t pid_ = -1;
    std::atomic<bool> stopDraining_{false};
    std::thread drain_;
};

// The socket path of the service.
const char* servicePath();

}  // namespace elevard_bench
