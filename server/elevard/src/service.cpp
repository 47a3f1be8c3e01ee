#include "service.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

#include "acceptor.h"
#include "front_door.h"
#include "service_loop.h"
#include "stop_signals.h"
#include "velk/system_commands/program_run.h"
#include "worker_pool.h"

namespace {

// Raises the soft open-file limit to the hard one, so that thousands of clients fit. A failure
// leaves the service with the limit it was given. The programs the service starts get the
// limit it was given: most of them were never meant to run with thousands of descriptors.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        std::perror("getrlimit");
        return;
    }
    velk::system_commands::detail::recordStartingFileLimit(limit.rlim_cur);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            std::perror("setrlimit");
        }
    }
}

void ignoreSignal(int) {}

// A write to a peer that has gone away then fails with EPIPE instead of ending the service.
// Sends already suppress the signal; this covers every other write (standard output to a
// closed pipe, say). A handler rather than SIG_IGN: an ignored signal would stay ignored in
// the programs the workers start, a handled one is reset to the default on exec.
void catchBrokenPipes() {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // Fails only for an invalid signal number.
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

int runService(const CommandsFactory& factory, std::chrono::milliseconds stopGrace,
               std::function<void()> whileStopping) {
    catchBrokenPipes();
    raiseDescriptorLimit();
    // Before the workers start, so that they inherit the unblocked signals.
    StopSignals stopSignals;
    if (!stopSignals.install()) {
        return -1;
    }
    velk::kit::ScopedFd wakeLoop(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeLoop.valid()) {
        std::perror("eventfd");
        return -1;
    }
    Acceptor acceptor;
    FrontDoor door(acceptor, factory, std::move(wakeLoop));
    // Declared before the pool: the workers may use it until they are joined.
    IdleWork serve{-1, [&door] { door.serveWaiting(); }, [&door] { door.wakeLoop(); }};
    std::unique_ptr<WorkerPool> pool;
    try {
        pool = std::make_unique<WorkerPool>(kServiceWorkers);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot start the workers: %s\n", error.what());
        return -1;
    }
    if (!acceptor.bind()) {
        return -1;
    }
    serve.descriptor = acceptor.descriptor();
    ServiceLoop loop(stopSignals, *pool, factory, door, stopGrace, std::move(whileStopping));
    if (!pool->takeUpIdleWork(&serve) || !loop.setUp()) {
        door.close(*pool);
        // The workers finish what they accepted before they are joined.
        return -1;
    }
    // The socket accepts: a unit of Type=notify counts as started from here.
    sd_notify(0, "READY=1");
    return loop.run();
}
