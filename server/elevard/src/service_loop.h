#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "connection_task.h"
#include "elevard/wire/domain_socket.h"
#include "velk/kit/scoped_fd.h"

class CommandsFactory;
class FrontDoor;
class StopSignals;
class WorkerPool;

// The exit status of a service stopped at once: by a second SIGTERM or SIGINT, or by commands
// still unfinished the grace period after the first. Their clients see their connections close
// without a reply.
inline constexpr int kForcedStopStatus = 2;

// The main thread's event loop: collects the lines of slow senders and posts them, writes the
// replies that connections could not take at once, closes late connections, makes room when
// descriptors run short, moves the listening socket on from workers stuck in a command and
// carries out a stop. The workers accept and serve the rest.
class ServiceLoop {
public:
    using Clock = std::chrono::steady_clock;

    // The front door closes the listening socket; all must outlive the loop. `whileStopping`
    // is as for runService.
    ServiceLoop(StopSignals& stopSignals, WorkerPool& pool, const CommandsFactory& factory,
                FrontDoor& door, std::chrono::milliseconds stopGrace,
                std::function<void()> whileStopping = {})
        : stopSignals_(stopSignals),
          pool_(pool),
          factory_(factory),
          door_(door),
          stopGrace_(stopGrace),
          whileStopping_(std::move(whileStopping)) {}

    // Creates the epoll instance and watches the stop signals and the hand-overs. Returns false
    // after printing the reason with perror.
    bool setUp();

    // Serves until stopped; returns 0 once everything taken has finished after a stop. A
    // forced stop ends the process instead.
    int run();

private:
    // What an epoll event of the loop refers to: its own descriptors, or a connection, numbered
    // from kFirstConnection in the order the loop took them and never reused.
    enum : uint64_t { kStopKey, kMailKey, kFirstConnection };

    // A reply on its way out, written by the loop as its connection drains.
    struct Draining {
        elevard::wire::UnsentReply reply;
        Clock::time_point deadline;
        size_t held;  // the memory its bytes hold, counted in the loop's budget
    };

    using Pending = std::map<uint64_t, PendingRequest>::iterator;
    using Out = std::map<uint64_t, Draining>::iterator;

    void handle(const epoll_event& event);
    void takeMail();
    void adopt(PendingRequest request);
    void adopt(elevard::wire::UnsentReply reply);
    void readRequest(Pending request);
    void drain(Out out);
    void dispatch(PendingRequest request);
    PendingRequest release(Pending request);
    void dropReply(Out out);
    void keepWithinBudget(uint64_t spared);
    size_t heldAtMost() const;
    void makeRoom(size_t wanted);
    void closeExpired(Clock::time_point now);
    void takeStopSignals();
    void beginStop();
    // Stops the workers accepting, then closes the listening socket.
    void closeListener();
    [[noreturn]] void stopAtOnce(const char* reason);
    bool finished();
    int waitMilliseconds(Clock::time_point now) const;
    bool watch(int fd, uint32_t events, uint64_t key);
    void unwatch(int fd);

    StopSignals& stopSignals_;
    WorkerPool& pool_;
    const CommandsFactory& factory_;
    FrontDoor& door_;
    const std::chrono::milliseconds stopGrace_;
    const std::function<void()> whileStopping_;
    velk::kit::ScopedFd epoll_;
    // Connections whose line is still arriving, and replies still going out: each oldest
    // first, which is also the order of their deadlines.
    std::map<uint64_t, PendingRequest> pending_;
    std::map<uint64_t, Draining> draining_;
    size_t held_ = 0;  // the memory of the lines in pending_ and the replies in draining_
    uint64_t nextKey_ = kFirstConnection;
    std::optional<Clock::time_point> stopBy_;  // set by the first stop signal
    // When to look at the workers watching the listening socket again; none while they wait.
    std::optional<Clock::time_point> lookAtWatchers_;
};
