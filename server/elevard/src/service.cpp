#include "service.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>

#include "acceptor.h"
#include "connection_task.h"
#include "worker_pool.h"

namespace {

// How long the loop rests after accept failed for want of descriptors or memory: the pending
// connection stays in the backlog, so an immediate retry would fail again at once.
constexpr std::chrono::milliseconds kExhaustedPause{50};

bool isResourceExhaustion(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Hands one accepted connection to the pool, or closes it when that is not possible.
void dispatch(int connection, WorkerPool& pool, const CommandsFactory& factory) {
    if (!setConnectionTimeouts(connection)) {
        // Without timeouts one silent client could hold a worker for ever.
        close(connection);  // never retried: the descriptor is gone even on EINTR
        return;
    }
    try {
        pool.post(makeConnectionTask(connection, factory));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot queue a connection: %s\n", error.what());
        close(connection);  // never retried: the descriptor is gone even on EINTR
    }
}

[[noreturn]] void acceptForEver(Acceptor& acceptor, WorkerPool& pool,
                                const CommandsFactory& factory) {
    for (;;) {
        const int connection = acceptor.accept();
        if (connection < 0) {
            const int error = errno;
            std::perror("accept");
            if (isResourceExhaustion(error)) {
                std::this_thread::sleep_for(kExhaustedPause);
            }
            continue;
        }
        dispatch(connection, pool, factory);
    }
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

int runService(const CommandsFactory& factory) {
    catchBrokenPipes();
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
    acceptForEver(acceptor, *pool, factory);
}
