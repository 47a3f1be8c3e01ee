#include "service_loop.h"

#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <exception>
#include <functional>
#include <iterator>
#include <utility>

#include "front_door.h"
#include "stop_signals.h"
#include "velk/system_commands/mount_staging.h"
#include "velk/system_commands/program_run.h"
#include "worker_pool.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace domain_socket = elevard::wire;

// Descriptors kept free for everything but the connections that the loop holds: the workers'
// own, the connections they are serving, the pipes of the programs they start, the
// folders their guards walk and the files `open` passes on.
constexpr rlim_t kDescriptorReserve = 256;

constexpr int kMaxEvents = 64;

// The most memory that the lines still arriving and the replies still going out may hold
// between them; past it the oldest of those connections are closed. Slow clients can pin no
// more than this, and a single line holds at most kMaxCommandLineLength of it.
constexpr size_t kHeldBytesBudget = 64 * 1024 * 1024;

}  // namespace

bool ServiceLoop::setUp() {
    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.valid()) {
        std::perror("epoll_create1");
        return false;
    }
    if (!watch(stopSignals_.descriptor(), EPOLLIN, kStopKey) ||
        !watch(door_.wakeDescriptor(), EPOLLIN, kMailKey)) {
        std::perror("epoll_ctl");
        return false;
    }
    return true;
}

int ServiceLoop::run() {
    for (;;) {
        if (finished()) {
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
        closeExpired(now);
        // On every wake-up, not only when due: the loop is woken for it when a watcher starts
        // work unobserved, and looking costs a few atomic reads.
        lookAtWatchers_ = pool_.keepWatchers(now);
        if (stopBy_ && now >= *stopBy_ && !finished()) {
            stopAtOnce("requests still unfinished after the grace period");
        }
    }
}

bool ServiceLoop::finished() {
    if (!stopBy_) {
        return false;
    }
    // Read before the mail is taken: a request hands its reply over before it counts itself
    // done, so a count of zero means that every reply is in the mail taken next.
    const size_t unfinished = door_.unfinished();
    if (whileStopping_) {
        whileStopping_();
    }
    takeMail();
    return unfinished == 0 && draining_.empty();
}

void ServiceLoop::handle(const epoll_event& event) {
    switch (event.data.u64) {
        case kStopKey:
            takeStopSignals();
            return;
        case kMailKey:
            takeMail();
            return;
        default:
            // A connection closed earlier in the same batch of events is no longer there.
            if (Pending request = pending_.find(event.data.u64); request != pending_.end()) {
                readRequest(request);
            } else if (Out out = draining_.find(event.data.u64); out != draining_.end()) {
                drain(out);
            }
    }
}

void ServiceLoop::takeMail() {
    std::vector<PendingRequest> slow;
    std::vector<domain_socket::UnsentReply> replies;
    bool shortOfDescriptors = false;
    door_.takeMail(&slow, &replies, &shortOfDescriptors);
    if (shortOfDescriptors && !pending_.empty()) {
        // Room for a burst of new connections, at the price of the oldest idle ones.
        makeRoom(pending_.size() + draining_.size() - std::max<size_t>(1, pending_.size() / 8));
    }
    for (domain_socket::UnsentReply& reply : replies) {
        adopt(std::move(reply));
    }
    for (PendingRequest& request : slow) {
        adopt(std::move(request));
    }
}

void ServiceLoop::adopt(PendingRequest request) {
    if (stopBy_) {
        return;  // a stopping service takes no new requests; the connection closes
    }
    makeRoom(heldAtMost() - 1);
    const uint64_t key = nextKey_++;
    Pending pending;
    try {
        pending = pending_.try_emplace(key, std::move(request)).first;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot take a connection: %s\n", error.what());
        return;
    }
    held_ += pending->second.line().capacity();
    // epoll reports the bytes that arrived since the worker's read at once.
    if (!watch(pending->second.descriptor(), EPOLLIN, key)) {
        std::perror("epoll_ctl");
        release(pending);
        return;
    }
    keepWithinBudget(key);
}

void ServiceLoop::adopt(domain_socket::UnsentReply reply) {
    const uint64_t key = nextKey_++;
    const size_t held = reply.bytes.capacity();
    Out out;
    try {
        out = draining_
                  .try_emplace(key,
                               Draining{std::move(reply), Clock::now() + kConnectionTimeout, held})
                  .first;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot keep a reply: %s\n", error.what());
        return;
    }
    held_ += held;
    if (!watch(out->second.reply.socket.get(), EPOLLOUT, key)) {
        std::perror("epoll_ctl");
        held_ -= held;
        draining_.erase(out);
        return;
    }
    // The command has built it already: a reply larger than the whole budget still goes out,
    // at the price of the older connections.
    keepWithinBudget(key);
    // The socket may have drained since the worker tried; epoll reports it at once if so.
}

void ServiceLoop::readRequest(Pending request) {
    const size_t before = request->second.line().capacity();
    const PendingRequest::State state = request->second.readAvailable();
    held_ = held_ - before + request->second.line().capacity();
    switch (state) {
        case PendingRequest::State::reading:
            keepWithinBudget(request->first);
            return;
        case PendingRequest::State::refused:
            release(request);
            return;
        case PendingRequest::State::complete:
            dispatch(release(request));
            return;
    }
}

void ServiceLoop::drain(Out out) {
    if (domain_socket::sendUnsent(&out->second.reply) == domain_socket::Progress::blocked) {
        return;
    }
    // Done or failed: the reply's end of the connection closes, and the client sees the end.
    dropReply(out);
}

// Closes the connection of a reply, whether it is out or not.
void ServiceLoop::dropReply(Out out) {
    unwatch(out->second.reply.socket.get());
    held_ -= out->second.held;
    draining_.erase(out);
}

// Closes the oldest connections still sending their line or taking their reply, all but
// `spared`, until what they hold is within kHeldBytesBudget. A reply cut short this way is
// reported like a failed write.
void ServiceLoop::keepWithinBudget(uint64_t spared) {
    auto oldest = [spared](auto& connections) {
        auto first = connections.begin();
        return first != connections.end() && first->first == spared ? std::next(first) : first;
    };
    while (held_ > kHeldBytesBudget) {
        const Pending line = oldest(pending_);
        const Out out = oldest(draining_);
        if (line == pending_.end() && out == draining_.end()) {
            return;
        }
        if (out == draining_.end() || (line != pending_.end() && line->first < out->first)) {
            release(line);
            continue;
        }
        const domain_socket::UnsentReply& reply = out->second.reply;
        errno = ENOBUFS;
        std::perror(reply.written < reply.lengthBytes ? "sendData" : "write");
        dropReply(out);
    }
}

void ServiceLoop::dispatch(PendingRequest request) {
    door_.countPosted();
    try {
        std::function<void()> task = makeConnectionTask(std::move(request), factory_, door_);
        pool_.post([task, &door = door_] {
            FinishedNotice notice(door);
            task();
        });
    } catch (const std::exception& error) {
        // The task, and with it the connection, is gone.
        door_.finishPosted();
        std::fprintf(stderr, "Cannot queue a connection: %s\n", error.what());
    }
}

// Takes a connection out of the loop; it is closed when the result is dropped.
PendingRequest ServiceLoop::release(Pending request) {
    // epoll watches the open socket, not the descriptor number: a copy held for an instant by
    // a program that a worker is starting would keep a closed descriptor's events coming, and a
    // connection handed to a worker must not wake the loop at all.
    unwatch(request->second.descriptor());
    held_ -= request->second.line().capacity();
    PendingRequest released = std::move(request->second);
    pending_.erase(request);
    return released;
}

// How many connections the loop may hold before it closes the oldest idle ones. Read afresh
// each time: the limit may be changed while the service runs (setFdLimit of its own pid).
size_t ServiceLoop::heldAtMost() const {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return SIZE_MAX;  // cannot fail for RLIMIT_NOFILE; accept's EMFILE still makes room
    }
    const rlim_t soft = limit.rlim_cur;
    return soft > 2 * kDescriptorReserve ? soft - kDescriptorReserve : soft / 2 + 1;
}

// Closes the oldest connections still sending their line until the loop holds at most
// `wanted` connections in all, or none is left to close.
void ServiceLoop::makeRoom(size_t wanted) {
    while (!pending_.empty() && pending_.size() + draining_.size() > wanted) {
        release(pending_.begin());
    }
}

void ServiceLoop::closeExpired(Clock::time_point now) {
    while (!pending_.empty() && pending_.begin()->second.deadline() <= now) {
        release(pending_.begin());
    }
    while (!draining_.empty() && draining_.begin()->second.deadline <= now) {
        auto out = draining_.begin();
        const domain_socket::UnsentReply& reply = out->second.reply;
        errno = ETIMEDOUT;
        std::perror(reply.written < reply.lengthBytes ? "sendData" : "write");
        dropReply(out);
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
    // Tells systemd, when it started us (NOTIFY_SOCKET), that the stop has begun; nothing
    // otherwise, and a failure changes nothing here.
    sd_notify(0, "STOPPING=1");
    stopBy_ = Clock::now() + stopGrace_;
    closeListener();
    while (!pending_.empty()) {
        release(pending_.begin());
    }
}

void ServiceLoop::closeListener() {
    door_.close(pool_);
}

void ServiceLoop::stopAtOnce(const char* reason) {
    std::fprintf(stderr, "Stopping at once, %zu requests unfinished: %s\n", door_.unfinished(),
                 reason);
    closeListener();
    // Programs the workers started run in process groups of their own and would outlive us.
    velk::system_commands::detail::killRunningPrograms();
    // A share that a killed helper mounted on a staging folder would stay there until the next
    // start.
    velk::system_commands::detail::detachStaleStagingMounts();
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
    if (lookAtWatchers_) {
        consider(*lookAtWatchers_);
    }
    if (!pending_.empty()) {
        consider(pending_.begin()->second.deadline());
    }
    if (!draining_.empty()) {
        consider(draining_.begin()->second.deadline);
    }
    if (!wake) {
        return -1;
    }
    // Rounded up, so that the loop does not wake just before the moment it waits for.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

bool ServiceLoop::watch(int fd, uint32_t events, uint64_t key) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void ServiceLoop::unwatch(int fd) {
    // Fails only for a descriptor that is not watched, which leaves nothing to undo.
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}
