#include "worker_pool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits until `condition` holds; false after a deadline that only catches a hang.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(WorkerPoolTest, RefusesAnEmptyPool) {
    EXPECT_THROW(WorkerPool pool(0), std::invalid_argument);
}

// Tasks that block keep every worker loaded; each new task goes to the least loaded worker,
// the lowest index among equals, and each worker runs its own tasks in posting order.
TEST(WorkerPoolTest, DispatchesToTheLeastLoadedWorkerInIndexOrder) {
    WorkerPool pool(3);
    std::latch release(1);
    std::mutex mutex;
    std::vector<std::string> ranOn[3];
    const std::pair<std::string, size_t> steps[] = {{"a", 0}, {"b", 1}, {"c", 2}, {"d", 0},
                                                    {"e", 1}, {"f", 2}, {"g", 0}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.first);
        const size_t chosen = pool.post([&, step] {
            release.wait();
            std::lock_guard<std::mutex> lock(mutex);
            ranOn[step.second].push_back(step.first);
        });
        EXPECT_EQ(chosen, step.second);
    }
    release.count_down();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return ranOn[0].size() + ranOn[1].size() + ranOn[2].size() == std::size(steps);
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(ranOn[0], (std::vector<std::string>{"a", "d", "g"}));
    EXPECT_EQ(ranOn[1], (std::vector<std::string>{"b", "e"}));
    EXPECT_EQ(ranOn[2], (std::vector<std::string>{"c", "f"}));
}

// A task that has left the queue still counts: the next task goes to an idle worker and runs
// while the first one is still blocked.
TEST(WorkerPoolTest, NeverQueuesBehindARunningTaskWhileAWorkerIsIdle) {
    WorkerPool pool(2);
    std::latch started(1);
    std::latch release(1);
    std::atomic<bool> firstDone{false};
    std::atomic<bool> secondDone{false};
    pool.post([&] {
        started.count_down();
        release.wait();
        firstDone = true;
    });
    started.wait();
    EXPECT_EQ(pool.worker(0).size(), 0u);
    EXPECT_EQ(pool.post([&] { secondDone = true; }), 1u);
    const bool served = eventually([&] { return secondDone.load(); });
    const bool firstStillBlocked = !firstDone;
    release.count_down();
    EXPECT_TRUE(served);
    EXPECT_TRUE(firstStillBlocked);
}

// One task after another, each finished before the next is posted: worker 0 serves them all,
// since a worker stops counting a task once it has returned.
TEST(WorkerPoolTest, SequentialTasksAllGoToTheFirstWorker) {
    WorkerPool pool(4);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::latch done(1);
        EXPECT_EQ(pool.post([&] { done.count_down(); }), 0u);
        done.wait();
        ASSERT_TRUE(eventually([&] { return pool.worker(0).load() == 0; }));
    }
}

// Destroying the pool waits for the task being executed; queued tasks are dropped unrun and
// released.
TEST(WorkerPoolTest, DestructionFinishesTheRunningTaskAndDropsQueuedOnes) {
    auto pool = std::make_unique<WorkerPool>(1);
    const Worker& worker = pool->worker(0);
    std::latch started(1);
    std::latch release(1);
    std::atomic<bool> runningDone{false};
    std::atomic<int> queuedRan{0};
    auto token = std::make_shared<int>(0);
    pool->post([&] {
        started.count_down();
        release.wait();
        runningDone = true;
    });
    started.wait();
    for (int i = 0; i < 3; ++i) {
        pool->post([&queuedRan, token] { ++queuedRan; });
    }
    EXPECT_EQ(token.use_count(), 4);

    std::thread destroyer([&] { pool.reset(); });
    // The worker object lives until its thread is joined, which waits for `release`.
    const bool stopping = eventually([&] { return worker.stopping(); });
    release.count_down();
    destroyer.join();
    EXPECT_TRUE(stopping);
    EXPECT_TRUE(runningDone);
    EXPECT_EQ(queuedRan, 0);
    EXPECT_EQ(token.use_count(), 1);
}

// Idle workers take up the idle work while it is readable; a worker busy with it counts as
// loaded, so a task posted meanwhile runs on another worker at once; once dropped, the idle
// work is no longer taken up.
TEST(WorkerPoolTest, IdleWorkRunsOnIdleWorkersAndStopsWhenDropped) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    velk::kit::ScopedFd readEnd(ends[0]), writeEnd(ends[1]);
    std::latch release(1);
    std::atomic<int> taken{0};
    const IdleWork idle{readEnd.get(),
                        [&] {
                            char byte;
                            if (read(readEnd.get(), &byte, 1) == 1 && ++taken == 1) {
                                release.wait();  // the first one takes long
                            }
                        },
                        {}};
    WorkerPool pool(2);
    ASSERT_TRUE(pool.takeUpIdleWork(&idle));
    ASSERT_EQ(write(writeEnd.get(), "a", 1), 1);
    ASSERT_TRUE(eventually([&] { return taken == 1; }));
    EXPECT_EQ(pool.worker(0).load() + pool.worker(1).load(), 1u);
    std::atomic<bool> posted{false};
    pool.post([&] { posted = true; });
    EXPECT_TRUE(eventually([&] { return posted.load(); }));
    release.count_down();
    ASSERT_EQ(write(writeEnd.get(), "b", 1), 1);
    EXPECT_TRUE(eventually([&] { return taken == 2; }));

    pool.dropIdleWork();
    ASSERT_EQ(write(writeEnd.get(), "c", 1), 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(taken, 2) << "taken up after it was dropped";
}

// A task posted to a worker that sleeps on the idle work's descriptor, which becomes ready at
// the same moment, runs before the idle work. To make both ready before the worker can look,
// this thread shares one processor with the worker and runs at a real-time priority meanwhile.
TEST(WorkerPoolTest, APostedTaskRunsBeforeIdleWorkReadyWithIt) {
    cpu_set_t original;
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    velk::kit::ScopedFd readEnd(ends[0]), writeEnd(ends[1]);
    std::string order;  // written on the worker's thread only
    std::latch done(2);
    const IdleWork idle{readEnd.get(),
                        [&] {
                            char byte;
                            if (read(readEnd.get(), &byte, 1) == 1) {
                                order += "idle work ";
                                done.count_down();
                            }
                        },
                        {}};
    Worker worker;  // its thread shares this thread's processor
    ASSERT_TRUE(worker.takeUpIdleWork(&idle));
    std::this_thread::sleep_for(50ms);  // until it sleeps
    const sched_param realTime{1}, normal{0};
    const int raised = pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
    worker.post([&] {
        order += "task ";
        done.count_down();
    });
    const bool written = write(writeEnd.get(), "a", 1) == 1;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    sched_setaffinity(0, sizeof original, &original);
    ASSERT_EQ(raised, 0) << "needs root";
    ASSERT_TRUE(written);
    done.wait();
    EXPECT_EQ(order, "task idle work ");
}

// A task that throws is reported and the worker goes on with the next one.
TEST(WorkerPoolTest, ATaskThatThrowsDoesNotEndItsWorker) {
    Worker worker;
    std::latch done(1);
    testing::internal::CaptureStderr();
    worker.post([] { throw std::runtime_error("broken task"); });
    worker.post([] { throw 7; });
    worker.post([&] { done.count_down(); });
    done.wait();
    worker.stop();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Worker task failed: broken task\n"), std::string::npos);
    EXPECT_NE(err.find("Worker task failed with an unknown exception\n"), std::string::npos);
}

}  // namespace
