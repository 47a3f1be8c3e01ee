#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "connection_task.h"
#include "elevard/wire/domain_socket.h"
#include "velk/kit/scoped_fd.h"

class Acceptor;
class CommandsFactory;
class WorkerPool;

// Where the service's workers take connections in, and what they hand the event loop: an idle
// worker accepts a connection and serves it on the spot when its command line is already there,
// which it usually is; a connection whose line is still arriving, and the part of a reply that
// a connection could not take at once, go to the loop, which is woken through an eventfd.
// Shared by all workers and the loop, which it must outlive; every member is thread-safe.
class FrontDoor : public ReplyCarrier {
public:
    // `acceptor` and `factory` must outlive the front door; `wakeLoop` is a non-blocking eventfd,
    // owned from here on, that the loop watches.
    FrontDoor(Acceptor& acceptor, const CommandsFactory& factory, velk::kit::ScopedFd wakeLoop);

    // Runs on an idle worker when the listening socket is readable: accepts one connection, if
    // another worker has not taken it first, and serves or hands it on. Never waits on a client.
    void serveWaiting();

    // Requests taken and not yet done: run by a worker that accepted them, or posted by the
    // loop. Only a stopping loop waits for the count to reach zero.
    size_t unfinished() const { return unfinished_.load(); }

    // For the loop, before it posts a request it read; the request's FinishedNotice, or the
    // loop when it could not post it (finishPosted), counts it done.
    void countPosted() { unfinished_.fetch_add(1); }
    void finishPosted() { finishOne(); }

    // The one way the service stops taking connections: no worker accepts from now on, `pool`
    // stops watching the listening socket, and once no worker is inside accept (which never
    // blocks) the Acceptor closes it. For the loop's thread; safe to call more than once.
    void close(WorkerPool& pool);

    void carry(elevard::wire::UnsentReply reply) override;

    // The eventfd that the loop watches, still owned here.
    int wakeDescriptor() const { return wakeLoop_.get(); }
    void wakeLoop();

    // For the loop: everything handed over since the last call, and whether accept ran out of
    // descriptors meanwhile. Resets the eventfd.
    void takeMail(std::vector<PendingRequest>* slow,
                  std::vector<elevard::wire::UnsentReply>* replies, bool* shortOfDescriptors);

private:
    friend class FinishedNotice;

    void handOver(PendingRequest request);
    // Counts one request done and wakes a stopping loop.
    void finishOne();
    bool beginRest();
    void restWhileExhausted() const;

    Acceptor& acceptor_;
    const CommandsFactory& factory_;
    velk::kit::ScopedFd wakeLoop_;
    std::atomic<size_t> unfinished_{0};
    // Set once when the service stops; no worker accepts from then on.
    std::atomic<bool> stopping_{false};
    // Workers between deciding to accept and having counted what they accepted.
    std::atomic<int> accepting_{0};
    std::atomic<bool> short_{false};
    std::atomic<int64_t> restUntil_{0};  // steady clock ticks
    std::mutex mutex_;
    std::vector<PendingRequest> slow_;                 // guarded
    std::vector<elevard::wire::UnsentReply> replies_;  // guarded
};

// Counts one request of `door` as done when it goes out of scope, however it ended, and wakes a
// stopping loop.
class FinishedNotice {
public:
    explicit FinishedNotice(FrontDoor& door) : door_(door) {}
    ~FinishedNotice();
    FinishedNotice(const FinishedNotice&) = delete;
    FinishedNotice& operator=(const FinishedNotice&) = delete;

private:
    FrontDoor& door_;
};
