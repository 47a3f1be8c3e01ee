#include "service.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "acceptor.h"
#include "connection_task.h"
#include "stop_signals.h"
#include "velk/system_commands/program_run.h"
#include "worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long accepting rests after accept failed for want of descriptors or memory: the pending
// connection stays in the backlog, so an immediate retry would fail again at once.
constexpr std::chrono::milliseconds kExhaustedPause{50};

// Connections taken per wake-up at most, so that a burst of new ones does not hold up the
// reads of those already accepted; the rest are taken on the next turn.
constexpr int kAcceptBatch = 64;
constexpr int kMaxEvents = 64;

// What an epoll event refers to: the loop's own descriptors, or a connection, numbered from
// kFirstConnection in the order of acceptance and never reused.
enum : uint64_t { kListenerKey, kStopKey, kFinishedKey, kFirstConnection };

bool isResourceExhaustion(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The tasks posted and not yet done, shared by the loop and every task, so that it outlives
// whichever lets go of it last. Only a stopping loop waits for the count to reach zero; until
// then a task that ends wakes nobody.
struct TaskTally {
    std::atomic<size_t> unfinished{0};
    std::atomic<bool> stopping{false};
    velk::kit::ScopedFd wakeLoop;  // eventfd, written by each task that ends during a stop
};

// Counts one posted task as done when it goes out of scope, however the task ended.
class FinishedNotice {
public:
    explicit FinishedNotice(std::shared_ptr<TaskTally> tally) : tally_(std::move(tally)) {}
    ~FinishedNotice() {
        // Decremented before `stopping` is read: a loop that sets `stopping` and then finds
        // tasks unfinished is sure to be woken by the last of them.
        tally_->unfinished.fetch_sub(1);
        if (!tally_->stopping.load()) {
            return;
        }
        const uint64_t one = 1;
        // Fails only when the counter would overflow, which takes 2^64 tasks.
        while (write(tally_->wakeLoop.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    FinishedNotice(const FinishedNotice&) = delete;
    FinishedNotice& operator=(const FinishedNotice&) = delete;

private:
    std::shared_ptr<TaskTally> tally_;
};

// The main thread's event loop: accepts, collects command lines, posts complete ones, closes
// late ones and carries out a stop.
class ServiceLoop {
public:
    ServiceLoop(Acceptor& acceptor, StopSignals& stopSignals, WorkerPool& pool,
                const CommandsFactory& factory, std::chrono::milliseconds stopGrace)
        : acceptor_(acceptor),
          stopSignals_(stopSignals),
          pool_(pool),
          factory_(factory),
          stopGrace_(stopGrace) {}

    // Creates the epoll instance and the eventfd and watches the listening socket and the stop
    // signals. Returns false after printing the reason with perror.
    bool setUp();

    // Serves until stopped; returns 0 once everything posted has finished after a stop. A
    // forced stop ends the process instead.
    int run();

private:
    using Pending = std::map<uint64_t, PendingRequest>::iterator;

    void handle(const epoll_event& event);
    void acceptConnections();
    void admit(velk::kit::ScopedFd connection);
    void readRequest(Pending request);
    void dispatch(PendingRequest request);
    PendingRequest release(Pending request);
    void closeExpired(Clock::time_point now);
    void setAccepting(bool accepting);
    void takeFinished();
    void takeStopSignals();
    void beginStop();
    [[noreturn]] void stopAtOnce(const char* reason);
    int waitMilliseconds(Clock::time_point now) const;
    bool watch(int fd, uint64_t key);
    void unwatch(int fd);

    Acceptor& acceptor_;
    StopSignals& stopSignals_;
    WorkerPool& pool_;
    const CommandsFactory& factory_;
    const std::chrono::milliseconds stopGrace_;
    velk::kit::ScopedFd epoll_;
    std::shared_ptr<TaskTally> tally_ = std::make_shared<TaskTally>();
    // Connections whose line is still arriving, oldest first, which is also the order of
    // their deadlines.
    std::map<uint64_t, PendingRequest> pending_;
    uint64_t nextKey_ = kFirstConnection;
    std::optional<Clock::time_point> pausedUntil_;  // accepting rests until then
    std::optional<Clock::time_point> stopBy_;       // set by the first stop signal
};

bool ServiceLoop::setUp() {
    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.valid()) {
        std::perror("epoll_create1");
        return false;
    }
    tally_->wakeLoop.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!tally_->wakeLoop.valid()) {
        std::perror("eventfd");
        return false;
    }
    if (!watch(acceptor_.descriptor(), kListenerKey) ||
        !watch(stopSignals_.descriptor(), kStopKey) ||
        !watch(tally_->wakeLoop.get(), kFinishedKey)) {
        std::perror("epoll_ctl");
        return false;
    }
    return true;
}

int ServiceLoop::run() {
    for (;;) {
        if (stopBy_ && tally_->unfinished == 0) {
            return 0;
        }
        epoll_event events[kMaxEvents];
        const int count =
            epoll_wait(epoll_.get(), events, kMaxEvents, waitMilliseconds(Clock::now()));
        if (count < 0 && errno != EINTR) {
            std::perror("epoll_wait");
            stopAtOnce("the event loop failed");
        }
        for (int i = 0; i < count; ++i) {
            handle(events[i]);
        }
        const Clock::time_point now = Clock::now();
        if (pausedUntil_ && now >= *pausedUntil_) {
            setAccepting(true);
        }
        closeExpired(now);
        if (stopBy_ && now >= *stopBy_ && tally_->unfinished > 0) {
            stopAtOnce("requests still unfinished after the grace period");
        }
    }
}

void ServiceLoop::handle(const epoll_event& event) {
    switch (event.data.u64) {
        case kListenerKey:
            acceptConnections();
            return;
        case kStopKey:
            takeStopSignals();
            return;
        case kFinishedKey:
            takeFinished();
            return;
        default:
            // A connection closed earlier in the same batch of events is no longer there.
            if (Pending request = pending_.find(event.data.u64); request != pending_.end()) {
                readRequest(request);
            }
    }
}

void ServiceLoop::acceptConnections() {
    for (int i = 0; i < kAcceptBatch && acceptor_.descriptor() >= 0 && !pausedUntil_; ++i) {
        velk::kit::ScopedFd connection = acceptor_.accept();
        if (connection.valid()) {
            admit(std::move(connection));
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return;
        }
        std::perror("accept");
        if (isResourceExhaustion(error)) {
            setAccepting(false);
        }
    }
}

void ServiceLoop::admit(velk::kit::ScopedFd connection) {
    // Without the timeout a client that never reads its reply would hold a worker for ever.
    if (!setReplyTimeout(connection.get())) {
        return;
    }
    PendingRequest request(std::move(connection), Clock::now());
    // Most clients send their line right after connecting: it is usually here already, and
    // then the connection never needs watching.
    switch (request.readAvailable()) {
        case PendingRequest::State::complete:
            dispatch(std::move(request));
            return;
        case PendingRequest::State::refused:
            return;
        case PendingRequest::State::reading:
            break;
    }
    // Keys follow the order of acceptance, and so does the order of the deadlines.
    const uint64_t key = nextKey_++;
    Pending pending;
    try {
        pending = pending_.try_emplace(key, std::move(request)).first;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot take a connection: %s\n", error.what());
        return;
    }
    // epoll reports the bytes that arrived since the read above at once.
    if (!watch(pending->second.descriptor(), key)) {
        std::perror("epoll_ctl");
        release(pending);
    }
}

void ServiceLoop::readRequest(Pending request) {
    switch (request->second.readAvailable()) {
        case PendingRequest::State::reading:
            return;
        case PendingRequest::State::refused:
            release(request);
            return;
        case PendingRequest::State::complete:
            dispatch(release(request));
            return;
    }
}

void ServiceLoop::dispatch(PendingRequest request) {
    ++tally_->unfinished;
    try {
        std::function<void()> task = makeConnectionTask(std::move(request), factory_);
        pool_.post([task, tally = tally_] {
            FinishedNotice notice(tally);
            task();
        });
    } catch (const std::exception& error) {
        // The task, and with it the connection, is gone.
        --tally_->unfinished;
        std::fprintf(stderr, "Cannot queue a connection: %s\n", error.what());
    }
}

// Takes a connection out of the loop; it is closed when the result is dropped.
PendingRequest ServiceLoop::release(Pending request) {
    // epoll watches the open socket, not the descriptor number: a copy held for an instant by
    // a shell that a worker is starting would keep a closed descriptor's events coming, and a
    // connection handed to a worker must not wake the loop at all.
    unwatch(request->second.descriptor());
    PendingRequest released = std::move(request->second);
    pending_.erase(request);
    return released;
}

void ServiceLoop::closeExpired(Clock::time_point now) {
    while (!pending_.empty() && pending_.begin()->second.deadline() <= now) {
        release(pending_.begin());
    }
}

void ServiceLoop::setAccepting(bool accepting) {
    epoll_event event{};
    event.events = accepting ? static_cast<uint32_t>(EPOLLIN) : 0U;
    event.data.u64 = kListenerKey;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, acceptor_.descriptor(), &event) != 0) {
        std::perror("epoll_ctl");
    }
    pausedUntil_.reset();
    if (!accepting) {
        pausedUntil_ = Clock::now() + kExhaustedPause;
    }
}

void ServiceLoop::takeFinished() {
    // Only resets the eventfd: the count is in the tally. Nothing to take (EAGAIN) is fine.
    uint64_t done = 0;
    while (read(tally_->wakeLoop.get(), &done, sizeof done) < 0 && errno == EINTR) {
    }
}

void ServiceLoop::takeStopSignals() {
    for (int signals = stopSignals_.take(); signals > 0; --signals) {
        if (stopBy_) {
            stopAtOnce("a second stop signal");
        }
        beginStop();
    }
}

void ServiceLoop::beginStop() {
    tally_->stopping = true;
    stopBy_ = Clock::now() + stopGrace_;
    unwatch(acceptor_.descriptor());
    acceptor_.close();
    pausedUntil_.reset();
    while (!pending_.empty()) {
        release(pending_.begin());
    }
}

void ServiceLoop::stopAtOnce(const char* reason) {
    std::fprintf(stderr, "Stopping at once, %zu requests unfinished: %s\n",
                 tally_->unfinished.load(), reason);
    acceptor_.close();
    // Programs the workers started run in process groups of their own and would outlive us.
    velk::system_commands::detail::killRunningPrograms();
    // The workers may be in the middle of commands: nothing may be torn down under them.
    _exit(kForcedStopStatus);
}

int ServiceLoop::waitMilliseconds(Clock::time_point now) const {
    std::optional<Clock::time_point> wake;
    auto consider = [&wake](Clock::time_point moment) {
        if (!wake || moment < *wake) {
            wake = moment;
        }
    };
    if (stopBy_) {
        consider(*stopBy_);
    }
    if (pausedUntil_) {
        consider(*pausedUntil_);
    }
    if (!pending_.empty()) {
        consider(pending_.begin()->second.deadline());
    }
    if (!wake) {
        return -1;
    }
    // Rounded up, so that the loop does not wake just before the moment it waits for.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

bool ServiceLoop::watch(int fd, uint64_t key) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void ServiceLoop::unwatch(int fd) {
    // Fails only for a descriptor that is not watched, which leaves nothing to undo.
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void ignoreSignal(int) {}

// A write to a peer that has gone away then fails with EPIPE instead of ending the service.
// Sends already suppress the signal; this covers every other write (standard output to a
// closed pipe, say). A handler rather than SIG_IGN: an ignored signal would stay ignored in
// the shell commands the workers start, a handled one is reset to the default on exec.
void catchBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // Fails only for an invalid signal number.
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

int runService(const CommandsFactory& factory, std::chrono::milliseconds stopGrace) {
    catchBrokenPipes();
    // Before the workers start, so that they inherit the unblocked signals.
    StopSignals stopSignals;
    if (!stopSignals.install()) {
        return -1;
    }
    std::unique_ptr<WorkerPool> pool;
    try {
        pool = std::make_unique<WorkerPool>(kServiceWorkers);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot start the workers: %s\n", error.what());
        return -1;
    }
    Acceptor acceptor;
    if (!acceptor.bind()) {
        return -1;
    }
    ServiceLoop loop(acceptor, stopSignals, *pool, factory, stopGrace);
    if (!loop.setUp()) {
        acceptor.close();
        return -1;
    }
    return loop.run();
}
