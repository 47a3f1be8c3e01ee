#include "stop_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT};

// The write end for the handler; -1 while no handler is installed.
volatile sig_atomic_t gWriteEnd = -1;

void noteStopSignal(int signal) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // The write end is non-blocking: a full pipe already holds more signals than anyone reads,
    // so a failed write loses nothing that matters.
    while (write(gWriteEnd, &number, 1) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
}

void setDisposition(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) {
        // Fails only for an invalid signal number.
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace

StopSignals::~StopSignals() {
    if (writeEnd_.valid()) {
        setDisposition(SIG_DFL);
        gWriteEnd = -1;
    }
}

bool StopSignals::install() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe2");
        return false;
    }
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    gWriteEnd = writeEnd_.get();
    setDisposition(noteStopSignal);
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : kStopSignals) {
        sigaddset(&signals, signal);
    }
    // Whoever started the service may have left them blocked; fails only for a bad argument.
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    return true;
}

int StopSignals::take() {
    int count = 0;
    unsigned char numbers[64];
    for (;;) {
        const ssize_t got = read(readEnd_.get(), numbers, sizeof numbers);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return count;
        }
        count += static_cast<int>(got);
    }
}
