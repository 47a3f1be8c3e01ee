#include "worker_pool.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

Worker::Worker() {
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
    // Woken after the lock is free, the thread does not block on it straight away. It looks at
    // the queue under the lock before it sleeps, so the task is never missed.
    condition_.notify_one();
}

size_t Worker::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void Worker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        condition_.notify_one();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Worker::stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

void Worker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        condition_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) {
            return;
        }
        // The task stays in load() on its way from the queue to the thread, until it is done.
        std::function<void()> task = std::move(queue_.front());
        queue_.pop();
        lock.unlock();
        try {
            task();
        } catch (const std::exception& error) {
            // An exception leaving a thread would end the whole service.
            std::fprintf(stderr, "Worker task failed: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "Worker task failed with an unknown exception\n");
        }
        task = nullptr;
        lock.lock();
        load_.fetch_sub(1, std::memory_order_relaxed);
    }
}

namespace {

size_t checkedCount(size_t count) {
    if (count == 0) {
        throw std::invalid_argument("a worker pool needs at least one worker");
    }
    return count;
}

}  // namespace

WorkerPool::WorkerPool(size_t count) : workers_(checkedCount(count)) {}

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
