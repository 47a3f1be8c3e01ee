#pragma once

#include "velk/kit/scoped_fd.h"

// The listening Unix stream socket at velk::SystemCommands::kDomainSocket. Owns its
// descriptor, which is close-on-exec, like every connection it accepts, so that shell commands
// run by the workers never inherit a client's connection. Used by the service's main thread
// only; not thread-safe.
class Acceptor {
public:
    Acceptor() = default;
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Creates the socket, removes whatever a previous run left at the path, binds, listens and
    // publishes the socket file with mode 0660, the effective user as owner and the group
    // "quorvath". The file never has a wider mode, not even between bind and chmod. Returns
    // false after printing the reason with perror; the socket file may then remain.
    bool bind();

    // Waits for the next connection and returns its descriptor, owned by the caller and
    // close-on-exec, or -1 with errno set. An interrupted wait is resumed.
    int accept();

private:
    velk::kit::ScopedFd socket_;
};
