#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "watcher_policy.h"

// Work that idle workers take up by themselves: whenever `descriptor` is readable, one of the
// workers that watch it and whose queue is empty calls `onReady` on its own thread (more than
// one may be woken for the same readiness, so `onReady` must cope with finding nothing to do).
// While `onReady` runs, it counts in the worker's load() like a task; an exception escaping it
// is reported like one escaping a task.
struct IdleWork {
    int descriptor = -1;
    std::function<void()> onReady;
    // Called on a watching worker's thread as it starts a piece of work (a task or onReady)
    // while nobody looks after the watchers, so that whoever calls WorkerPool::keepWatchers
    // does so soon. Must be quick and must not throw; may be empty.
    std::function<void()> onWatcherBusy;
};

// One thread with its own first-in, first-out task queue. The thread starts in the constructor
// and waits for work: a posted task, or the readiness of the idle work's descriptor. Tasks run
// one after another in the order they were posted, before any idle work. All members are
// thread-safe. Never copied or moved.
class Worker {
public:
    // Throws std::system_error when the thread or the descriptors it waits on cannot be had.
    Worker();
    // Stops the thread (see stop()); tasks still queued are dropped without running.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Queues a copy of `task` and wakes the thread. A task posted after stop() never runs.
    // Throws std::bad_alloc when the queue cannot grow; nothing is queued then.
    void post(const std::function<void()>& task);

    // The number of tasks waiting in the queue; a task being executed is not counted.
    size_t size() const;

    // The tasks waiting plus the one being executed, if any: how much work a new task would
    // wait behind. Takes no lock, so that choosing a worker never contends with the workers.
    size_t load() const { return load_.load(std::memory_order_relaxed); }

    // Tells the thread to stop and joins it: a task being executed finishes first, queued
    // tasks never run. Safe to call more than once; must not be called from the worker's own
    // thread.
    void stop();

    // True once stop() has been called.
    bool stopping() const;

    // Takes up `idle` (which must outlive the worker) from now on, from any thread while the
    // worker runs; again after dropIdleWork(), always with the same `idle`. Returns false,
    // after printing the reason with perror, when its descriptor cannot be watched.
    bool takeUpIdleWork(const IdleWork* idle);

    // No longer takes up the idle work; a call of onReady already under way finishes. Returns
    // at once. Calls of this and takeUpIdleWork() must not overlap.
    void dropIdleWork();

    // True between takeUpIdleWork() and dropIdleWork().
    bool watching() const { return watching_.load(); }

    // When the piece of work (task or onReady) that the thread is inside began; none while it
    // waits for work.
    std::optional<std::chrono::steady_clock::time_point> busySince() const;

    // Makes the next piece of work that starts while watching call the idle work's
    // onWatcherBusy again.
    void forgetOversight() { overseen_.store(false); }

private:
    // The thread's loop. An exception escaping a task or the idle work is reported on standard
    // error and the worker goes on.
    void run();
    // Sleeps until a task is posted, the worker stops or the idle work is ready; runs the idle
    // work in the last case, unless a task is waiting or the worker stops.
    void waitForWork();
    // True when a task is queued or the worker is stopping.
    bool hasWaitingTask() const;
    void wake();
    void beginPiece();

    std::atomic<const IdleWork*> idle_{nullptr};
    std::atomic<bool> watching_{false};
    // Steady clock ticks at the start of the current piece of work; 0 while waiting.
    std::atomic<int64_t> busySince_{0};
    // Set by the thread when it reported a piece of work to onWatcherBusy; cleared by
    // forgetOversight().
    std::atomic<bool> overseen_{false};
    velk::kit::ScopedFd events_;  // epoll: wakeUp_, and the idle work's descriptor
    velk::kit::ScopedFd wakeUp_;  // eventfd, written by post() and stop()
    std::thread thread_;
    mutable std::mutex mutex_;
    bool stop_ = false;  // guarded by mutex_
    // Tasks waiting plus the one being executed; written under mutex_, read without it.
    std::atomic<size_t> load_{0};
    std::queue<std::function<void()>> queue_;  // guarded by mutex_
};

// A fixed set of workers. post() may be called from any thread; takeUpIdleWork(),
// dropIdleWork() and keepWatchers() from one thread at a time. The pool holds no lock of its
// own and never holds two workers' locks at once.
class WorkerPool {
public:
    // Starts `count` workers at once. Throws std::invalid_argument when `count` is 0 and
    // std::system_error when a worker cannot start (the workers already started are joined).
    explicit WorkerPool(size_t count);
    // Stops and joins the workers in index order.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues `task` on the worker with the smallest load (waiting plus executing tasks); among
    // equal loads the lowest index wins. Returns the chosen worker's index. Throws
    // std::bad_alloc when the task cannot be queued; nothing is queued then.
    size_t post(const std::function<void()>& task);

    // The number of workers, fixed at construction.
    size_t count() const { return workers_.size(); }

    // Worker `index` (less than count()), for inspection.
    const Worker& worker(size_t index) const { return workers_[index]; }

    // The first kIdleWatchers workers take up `idle` (which must outlive the pool) from now on;
    // keepWatchers() moves it on to others. Returns false, after printing the reason with
    // perror, when a worker could not; dropIdleWork() then undoes it for the others.
    bool takeUpIdleWork(const IdleWork* idle);

    // No worker takes up the idle work any more once this returns, except those whose onReady
    // is already under way, and keepWatchers() does nothing from then on.
    void dropIdleWork();

    // Moves the idle work on to the workers WatcherPolicy picks. Returns when to call again,
    // while a watcher is busy; none when all watchers wait, and then the next watcher that
    // starts a piece of work calls the idle work's onWatcherBusy.
    std::optional<std::chrono::steady_clock::time_point> keepWatchers(
        std::chrono::steady_clock::time_point now);

private:
    // What the policy needs to know of each worker, in index order.
    std::vector<WatcherPolicy::Seen> look() const;

    std::deque<Worker> workers_;
    const IdleWork* idle_ = nullptr;  // taken up and not dropped
    // Since when keepWatchers() has found every watcher waiting.
    std::optional<std::chrono::steady_clock::time_point> quietSince_;
};
