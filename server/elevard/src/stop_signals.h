#pragma once

#include "velk/kit/scoped_fd.h"

// SIGTERM and SIGINT turned into bytes on a pipe that the service's event loop watches. The
// signals are caught by a handler rather than blocked: a blocked mask would be inherited by every
// program the workers start (exec resets handlers, never the mask), while a caught signal
// reaches those programs with its default action. The handler may run on any thread; it only
// writes one byte, and the calls it interrupts are resumed. One instance at a time per process;
// used by one thread.
class StopSignals {
public:
    StopSignals() = default;
    // Gives both signals back their default action, then closes the pipe.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Creates the pipe, installs the handler for both signals and unblocks them in the calling
    // thread, which threads started afterwards inherit. Returns false after printing the reason
    // with perror; the default actions then remain.
    bool install();

    // The pipe's read end (non-blocking, close-on-exec, owned here): readable once a signal
    // has arrived.
    int descriptor() const { return readEnd_.get(); }

    // How many of the signals arrived since the last call. Never blocks.
    int take();

private:
    velk::kit::ScopedFd readEnd_;
    velk::kit::ScopedFd writeEnd_;
};
