#include "worker_pool.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

// The keys of a worker's epoll events.
enum : uint64_t { kWakeUpKey, kIdleWorkKey };

velk::kit::ScopedFd checked(int fd, const char* what) {
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), what);
    }
    return velk::kit::ScopedFd(fd);
}

// Runs `work`; an exception leaving a thread would end the whole service, so one that escapes
// `work` is reported on standard error instead.
void runGuarded(const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Worker task failed: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "Worker task failed with an unknown exception\n");
    }
}

}  // namespace

Worker::Worker()
    : events_(checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      wakeUp_(checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeUpKey;
    if (epoll_ctl(events_.get(), EPOLL_CTL_ADD, wakeUp_.get(), &event) != 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    }
    // Started last so that the loop never sees a member before its construction.
    thread_ = std::thread(&Worker::run, this);
}

Worker::~Worker() {
    stop();
}

void Worker::post(const std::function<void()>& task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push(task);
        load_.fetch_add(1, std::memory_order_relaxed);
    }
    // The thread looks at the queue before it sleeps, and the eventfd stays readable until it
    // has slept on it, so the task is never missed.
    wake();
}

size_t Worker::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void Worker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Worker::hasWaitingTask() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_ || !queue_.empty();
}

bool Worker::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

bool Worker::takeUpIdleWork(const IdleWork* idle) {
    // Stored before the descriptor is watched: the thread reads them only for its events.
    idle_.store(idle);
    watching_.store(true);
    epoll_event event{};
    // Exclusive: a readiness wakes one waiting worker (or a few), not all of them.
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.u64 = kIdleWorkKey;
    if (epoll_ctl(events_.get(), EPOLL_CTL_ADD, idle->descriptor, &event) != 0) {
        std::perror("epoll_ctl");
        watching_.store(false);
        return false;
    }
    return true;
}

void Worker::dropIdleWork() {
    if (const IdleWork* idle = idle_.load(); idle != nullptr) {
        watching_.store(false);
        // Fails only when it was not watched, which leaves nothing to undo.
        epoll_ctl(events_.get(), EPOLL_CTL_DEL, idle->descriptor, nullptr);
    }
}

std::optional<Clock::time_point> Worker::busySince() const {
    const int64_t since = busySince_.load();
    if (since == 0) {
        return std::nullopt;
    }
    return Clock::time_point(Clock::duration(since));
}

void Worker::beginPiece() {
    // Stored before `overseen_` is read, as keepWatchers() clears `overseen_` before it reads
    // the start: one of the two sees the other, so a busy watcher is never overlooked.
    busySince_.store(Clock::now().time_since_epoch().count());
    if (watching_.load() && !overseen_.load() && !overseen_.exchange(true)) {
        if (const IdleWork* idle = idle_.load(); idle != nullptr && idle->onWatcherBusy) {
            idle->onWatcherBusy();
        }
    }
}

void Worker::wake() {
    const uint64_t one = 1;
    // Fails only when the counter would overflow, which takes 2^64 posts without a wake-up.
    while (write(wakeUp_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Worker::run() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
            if (!queue_.empty()) {
                // The task stays in load() on its way from the queue to the thread, until done.
                task = std::move(queue_.front());
                queue_.pop();
            }
        }
        if (!task) {
            waitForWork();
            continue;
        }
        beginPiece();
        runGuarded(task);
        task = nullptr;
        busySince_.store(0);
        load_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void Worker::waitForWork() {
    epoll_event events[2];
    const int count = epoll_wait(events_.get(), events, 2, -1);
    // EINTR: the caller looks at the queue and comes back.
    bool idleReady = false;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 != kWakeUpKey) {
            idleReady = true;
            continue;
        }
        uint64_t posted = 0;
        // Only resets the eventfd; EAGAIN when another wake-up took it first is fine.
        while (read(wakeUp_.get(), &posted, sizeof posted) < 0 && errno == EINTR) {
        }
    }
    const IdleWork* idle = idle_.load();
    // A task posted meanwhile runs first, whatever order the events came in: it may have waited
    // already, while the idle work may be new. The descriptor stays readable, so its readiness
    // is not lost: this worker finds it again after the task, or the pool moves the watching on
    // to another worker if the task takes long.
    if (!idleReady || idle == nullptr || hasWaitingTask()) {
        return;
    }
    load_.fetch_add(1, std::memory_order_relaxed);
    beginPiece();
    runGuarded(idle->onReady);
    busySince_.store(0);
    load_.fetch_sub(1, std::memory_order_relaxed);
}

namespace {

size_t checkedCount(size_t count) {
    if (count == 0) {
        throw std::invalid_argument("a worker pool needs at least one worker");
    }
    return count;
}

}  // namespace

WorkerPool::WorkerPool(size_t count) {
    for (size_t built = 0; built < checkedCount(count); ++built) {
        workers_.emplace_back();
    }
}

bool WorkerPool::takeUpIdleWork(const IdleWork* idle) {
    idle_ = idle;
    for (size_t index = 0; index < workers_.size() && index < kIdleWatchers; ++index) {
        if (!workers_[index].takeUpIdleWork(idle)) {
            return false;
        }
    }
    return true;
}

void WorkerPool::dropIdleWork() {
    idle_ = nullptr;
    for (Worker& worker : workers_) {
        worker.dropIdleWork();
    }
}

std::vector<WatcherPolicy::Seen> WorkerPool::look() const {
    std::vector<WatcherPolicy::Seen> seen;
    seen.reserve(workers_.size());
    for (const Worker& worker : workers_) {
        seen.push_back({worker.watching(), worker.load(), worker.busySince()});
    }
    return seen;
}

std::optional<Clock::time_point> WorkerPool::keepWatchers(Clock::time_point now) {
    if (idle_ == nullptr) {
        return std::nullopt;
    }
    std::vector<WatcherPolicy::Seen> seen = look();
    WatcherPolicy::Decision decision;
    for (bool refused = true; refused;) {
        decision = WatcherPolicy::decide(seen, now, quietSince_);
        refused = false;
        for (size_t index : decision.takeUp) {
            // A failure was printed; another worker is asked instead, and this one again at the
            // next look.
            const bool taken = workers_[index].takeUpIdleWork(idle_);
            seen[index].watching = taken;
            seen[index].refused = !taken;
            refused = refused || !taken;
        }
    }
    for (size_t index : decision.drop) {
        workers_[index].dropIdleWork();
    }
    quietSince_ = decision.quietSince;
    if (!decision.forgetOversight) {
        return decision.nextLook;
    }
    // Cleared before the starts are read again, as a watcher stores its start before it reads
    // its flag: a piece of work begun meanwhile is either seen here or reported.
    for (Worker& worker : workers_) {
        worker.forgetOversight();
    }
    return WatcherPolicy::nextLookAt(look(), now);
}

WorkerPool::~WorkerPool() {
    for (Worker& worker : workers_) {
        worker.stop();
    }
}

size_t WorkerPool::post(const std::function<void()>& task) {
    size_t chosen = 0;
    size_t smallest = 0;
    for (size_t index = 0; index < workers_.size(); ++index) {
        size_t load = workers_[index].load();
        if (index == 0 || load < smallest) {
            chosen = index;
            smallest = load;
        }
    }
    workers_[chosen].post(task);
    return chosen;
}
