#include "front_door.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "acceptor.h"
#include "worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace domain_socket = elevard::wire;

// How long the workers rest from accepting after accept failed for want of descriptors or
// memory.
constexpr std::chrono::milliseconds kExhaustedPause{50};

bool isResourceExhaustion(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

FrontDoor::FrontDoor(Acceptor& acceptor, const CommandsFactory& factory,
                     velk::kit::ScopedFd wakeLoop)
    : acceptor_(acceptor), factory_(factory), wakeLoop_(std::move(wakeLoop)) {}

void FrontDoor::serveWaiting() {
    restWhileExhausted();
    accepting_.fetch_add(1);
    if (stopping_.load()) {
        accepting_.fetch_sub(1);
        return;
    }
    velk::kit::ScopedFd connection = acceptor_.accept();
    const int error = errno;
    if (connection.valid()) {
        // Counted before the loop may find no accept under way and no request unfinished.
        unfinished_.fetch_add(1);
    }
    accepting_.fetch_sub(1);
    if (!connection.valid()) {
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return;  // another worker was first
        }
        if (!isResourceExhaustion(error) || beginRest()) {
            errno = error;
            std::perror("accept");
        }
        if (isResourceExhaustion(error)) {
            short_.store(true);
            wakeLoop();
        }
        return;
    }
    FinishedNotice notice(*this);
    PendingRequest request(std::move(connection), Clock::now());
    switch (request.readAvailable()) {
        case PendingRequest::State::complete:
            runRequest(std::move(request), factory_, *this);
            return;
        case PendingRequest::State::refused:
            return;
        case PendingRequest::State::reading:
            handOver(std::move(request));
            return;
    }
}

void FrontDoor::close(WorkerPool& pool) {
    stopping_.store(true);
    pool.dropIdleWork();
    // A worker may be inside accept on the listening socket: it must not find its number
    // closed, or given to another file, under it.
    while (accepting_.load() > 0) {
        std::this_thread::yield();
    }
    acceptor_.close();
}

void FrontDoor::carry(domain_socket::UnsentReply reply) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.push_back(std::move(reply));
    }
    wakeLoop();
}

void FrontDoor::handOver(PendingRequest request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slow_.push_back(std::move(request));
    }
    wakeLoop();
}

void FrontDoor::wakeLoop() {
    const uint64_t one = 1;
    // Fails only when the counter would overflow, which takes 2^64 wake-ups.
    while (write(wakeLoop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void FrontDoor::takeMail(std::vector<PendingRequest>* slow,
                         std::vector<domain_socket::UnsentReply>* replies,
                         bool* shortOfDescriptors) {
    uint64_t count = 0;
    // Only resets the eventfd; EAGAIN when there was nothing is fine.
    while (read(wakeLoop_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    *shortOfDescriptors = short_.exchange(false);
    std::lock_guard<std::mutex> lock(mutex_);
    slow->swap(slow_);
    replies->swap(replies_);
}

// Starts a rest of kExhaustedPause for all workers, unless one is under way; true when it
// started one, so that one failure is printed per rest.
bool FrontDoor::beginRest() {
    const int64_t now = Clock::now().time_since_epoch().count();
    int64_t until = restUntil_.load();
    const int64_t next = now + std::chrono::duration_cast<Clock::duration>(kExhaustedPause).count();
    return until <= now && restUntil_.compare_exchange_strong(until, next);
}

// Sleeps while a rest is under way: the listening socket stays readable while the backlog holds
// the connection that could not be accepted, so a retry at once would fail again.
void FrontDoor::restWhileExhausted() const {
    const Clock::time_point until{Clock::duration(restUntil_.load())};
    if (Clock::now() < until) {
        std::this_thread::sleep_until(until);
    }
}

void FrontDoor::finishOne() {
    // Decremented before `stopping_` is read: a loop that sets `stopping_` and then finds
    // requests unfinished is sure to be woken by the last of them.
    unfinished_.fetch_sub(1);
    if (stopping_.load()) {
        wakeLoop();
    }
}

FinishedNotice::~FinishedNotice() {
    door_.finishOne();
}
