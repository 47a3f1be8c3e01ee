#include "elevard/exchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>

#include "elevard/wire/domain_socket.h"

namespace elevard::detail {
namespace {

namespace ds = elevard::wire;
using std::chrono::steady_clock;
using velk::kit::ScopedFd;

template <typename T>
Reply<T> fail(ClientError error, const std::string& message) {
    return Reply<T>::failure(error, message);
}

const char* const kClosed =
    "the service closed the connection without a reply: usually an unknown command or a "
    "missing or malformed argument; the service's output says which";
const char* const kTimedOut = "no whole reply before the timeout";
const char* const kMalformed = "malformed reply: cut short or of an impossible length";

// Milliseconds left until `deadline`, at least 0 and at most what poll takes.
int remainingMs(Deadline deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT32_MAX));
}

// Bounds each blocking call on `socket` in `direction` (SO_RCVTIMEO or SO_SNDTIMEO) by the time
// left; a call cut off by it fails with EAGAIN. Returns false when no time is left.
bool boundBy(int socket, int direction, Deadline deadline) {
    int left = remainingMs(deadline);
    if (left == 0) {
        return false;
    }
    timeval timeout{left / 1000, (left % 1000) * 1000};
    // Without the bound a call could only wait longer; poll still watches the deadline.
    (void)setsockopt(socket, SOL_SOCKET, direction, &timeout, sizeof timeout);
    return true;
}

// Waits until `socket` has `events` or the deadline passes. Returns false on the deadline; a
// failing poll counts as ready, so that the read that follows reports the failure.
bool waitFor(int socket, short events, Deadline deadline) {
    for (;;) {
        pollfd watch{socket, events, 0};
        int ready = ::poll(&watch, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready != 0;
    }
}

// How the next message begins.
enum class Arrival { none, complete, malformed, timedOut };

// Looks at the 8-byte length of the coming message without taking it off the stream. none:
// the stream ended before its first byte; malformed: it ended inside the length, reading
// failed or the length is negative.
Arrival peekLength(int socket, Deadline deadline, std::int64_t* length) {
    char bytes[sizeof *length];
    bool peerDone = false;
    for (;;) {
        if (!waitFor(socket, POLLIN, deadline)) {
            return Arrival::timedOut;
        }
        ssize_t got = ::recv(socket, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got == static_cast<ssize_t>(sizeof bytes)) {
            std::memcpy(length, bytes, sizeof bytes);
            return *length < 0 ? Arrival::malformed : Arrival::complete;
        }
        if (got <= 0 || peerDone) {
            return got == 0 ? Arrival::none : Arrival::malformed;
        }
        // Part of the length is there, and a peek returns what is queued without waiting for
        // more. The service closes the connection after its reply, so wait for that and look
        // again; POLLRDHUP alone is not raised by the arrival of more data.
        if (!waitFor(socket, POLLRDHUP, deadline)) {
            return Arrival::timedOut;
        }
        peerDone = true;
    }
}

template <typename T>
Reply<T> failedArrival(Arrival arrival) {
    switch (arrival) {
        case Arrival::none:
            return fail<T>(ClientError::closedWithoutReply, kClosed);
        case Arrival::timedOut:
            return fail<T>(ClientError::timedOut, kTimedOut);
        default:
            return fail<T>(ClientError::malformedReply, kMalformed);
    }
}

// A read that failed after the reply had begun: cut off by the deadline, or cut short.
template <typename T>
Reply<T> failedRead(Deadline deadline) {
    return failedArrival<T>(steady_clock::now() >= deadline ? Arrival::timedOut
                                                            : Arrival::malformed);
}

void* growString(void* context, long length) {
    auto* text = static_cast<std::string*>(context);
    try {
        text->resize(static_cast<size_t>(length));
    } catch (const std::exception&) {
        return nullptr;  // a length no string can hold: readBuffer reports a failed read
    }
    return text->data();
}

}  // namespace

Reply<ScopedFd> connectToService(const std::string& path, Deadline deadline) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return fail<ScopedFd>(ClientError::notConnected,
                              "socket path is empty or longer than " +
                                  std::to_string(sizeof address.sun_path - 1) + " bytes: " + path);
    }
    ScopedFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        return fail<ScopedFd>(ClientError::notConnected,
                              std::string("cannot create a socket: ") + std::strerror(errno));
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    // A Unix socket's connect waits for room in the listener's queue as long as the send
    // timeout allows.
    int result = -1;
    if (boundBy(socket.get(), SO_SNDTIMEO, deadline)) {
        do {
            result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address),
                               sizeof address);
        } while (result != 0 && errno == EINTR);
    } else {
        errno = ETIMEDOUT;
    }
    if (result != 0) {
        return fail<ScopedFd>(ClientError::notConnected,
                              "cannot connect to " + path + ": " + std::strerror(errno));
    }
    // Any local user may listen at a path in /tmp while the service is down; such a listener
    // must not get the command line, which may hold a password.
    ucred listener{};
    socklen_t size = sizeof listener;
    if (getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &listener, &size) != 0) {
        return fail<ScopedFd>(
            ClientError::untrustedListener,
            "cannot tell who serves " + path + ": " + std::strerror(errno) + "; nothing was sent");
    }
    if (listener.uid != 0 && listener.uid != geteuid()) {
        return fail<ScopedFd>(ClientError::untrustedListener,
                              path + " is served by uid " + std::to_string(listener.uid) +
                                  ", neither root nor this user; nothing was sent");
    }
    return socket;
}

Reply<ScopedFd> connectAndSend(const std::string& path, const std::string& line,
                               Deadline deadline) {
    Reply<ScopedFd> socket = connectToService(path, deadline);
    if (socket &&
        !ds::sendBuffer(socket.value().get(), line.data(), static_cast<long>(line.size()))) {
        if (steady_clock::now() >= deadline) {
            return fail<ScopedFd>(ClientError::timedOut,
                                  "the command line could not be sent "
                                  "before the timeout");
        }
        return fail<ScopedFd>(ClientError::closedWithoutReply,
                              "the service closed the connection before taking the command "
                              "line");
    }
    return socket;
}

Reply<std::int64_t> receiveInteger(int socket, Deadline deadline) {
    std::int64_t length = 0;
    Arrival arrival = peekLength(socket, deadline, &length);
    if (arrival != Arrival::complete) {
        return failedArrival<std::int64_t>(arrival);
    }
    long value = 0;
    // readInt64 judges the length itself, and takes the message off the stream.
    if (!boundBy(socket, SO_RCVTIMEO, deadline) || !ds::readInt64(socket, &value)) {
        return failedRead<std::int64_t>(deadline);
    }
    return static_cast<std::int64_t>(value);
}

Reply<std::string> receiveBuffer(int socket, Deadline deadline) {
    std::int64_t length = 0;
    Arrival arrival = peekLength(socket, deadline, &length);
    if (arrival != Arrival::complete) {
        return failedArrival<std::string>(arrival);
    }
    std::string payload;
    // A length of 0 is a complete, empty reply; readBuffer would report it as a failure.
    if (length > 0 && (!boundBy(socket, SO_RCVTIMEO, deadline) ||
                       !ds::readBuffer(socket, growString, &payload))) {
        return failedRead<std::string>(deadline);
    }
    return payload;
}

Reply<ScopedFd> receiveDescriptor(int socket, Deadline deadline) {
    if (!waitFor(socket, POLLIN, deadline)) {
        return failedArrival<ScopedFd>(Arrival::timedOut);
    }
    char byte;
    ssize_t got;
    do {
        got = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got == 0) {
        return failedArrival<ScopedFd>(Arrival::none);
    }
    ScopedFd fd(ds::readFd(socket));
    if (!fd.valid()) {
        return failedArrival<ScopedFd>(Arrival::malformed);
    }
    return fd;
}

Reply<std::string> receiveAll(int socket, Deadline deadline) {
    std::string all;
    char chunk[65536];
    for (;;) {
        if (!waitFor(socket, POLLIN, deadline)) {
            return failedArrival<std::string>(Arrival::timedOut);
        }
        ssize_t got = ::recv(socket, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got < 0) {
            return fail<std::string>(
                ClientError::malformedReply,
                std::string("reading the reply failed: ") + std::strerror(errno));
        }
        if (got == 0) {
            return all;
        }
        all.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace elevard::detail
