#pragma once

#include "velk/kit/scoped_fd.h"

// The listening Unix stream socket at velk::SystemCommands::kDomainSocket. Owns its
// descriptor, which is close-on-exec and non-blocking; every connection it accepts is
// close-on-exec too, so that the programs the workers start never inherit a client's
// connection. Used by the service's main thread only; not thread-safe.
class Acceptor {
public:
    Acceptor() = default;
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Serves on the listening socket that systemd passed (LISTEN_FDS and LISTEN_PID naming this
    // process), if it passed one, and touches nothing at the path. Otherwise creates the socket,
    // removes whatever is at the path (a socket, a file, a folder with its content; links are
    // not followed), binds, listens and publishes the socket file with mode 0660, the effective
    // user as owner and the group "quorvath". The file never has a wider mode, not even between
    // bind and chmod. Only the holder of the service lock may call it: whatever is at the path
    // is taken for left over. Returns false after printing the reason on standard error; the
    // socket file may then remain.
    bool bind();

    // The next waiting connection, non-blocking and close-on-exec; or none, with errno set
    // (EAGAIN when no connection waits). Never blocks.
    velk::kit::ScopedFd accept();

    // The listening descriptor, for watching it; -1 before bind() and after close().
    int descriptor() const { return socket_.get(); }

    // Stops listening: closes the socket and removes the socket file, so that new clients are
    // refused at once; a socket that systemd passed is only closed, its file left in place.
    // Connections already accepted are not affected.
    void close();

private:
    velk::kit::ScopedFd socket_;
    bool passed_ = false;
};
