#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "elevard/wire/domain_socket.h"

namespace elevard::wire {
namespace {

// What sendData writes: `size` payload bytes from `source`.
struct WriteRequest {
    const void* source;
    long size;
};

thread_local DeferredSends* installed = nullptr;

// Moves `*parts` past the first `done` bytes; parts wholly sent leave the list.
void dropSent(iovec** parts, size_t* count, size_t done) {
    while (*count > 0 && done >= (*parts)->iov_len) {
        done -= (*parts)->iov_len;
        ++*parts;
        --*count;
    }
    if (*count > 0) {
        (*parts)->iov_base = static_cast<char*>((*parts)->iov_base) + done;
        (*parts)->iov_len -= done;
    }
}

// Sends the bytes of `parts` in order, in as few calls as the socket allows. MSG_NOSIGNAL
// turns a peer that has gone away into an EPIPE failure instead of a SIGPIPE that would end
// the process. When a non-blocking socket is full and DeferredSends is installed for it, the
// rest is kept there. `lengthBytes` leading bytes are a length field: a failure among them is
// printed as "sendData", a later one as "write". Returns false after printing the failure.
bool sendParts(int socket, iovec* parts, size_t count, size_t lengthBytes) {
    size_t sentTotal = 0;
    DeferredSends* deferred = DeferredSends::forSocket(socket);
    while (count > 0) {
        ssize_t sent = -1;
        if (deferred == nullptr || !deferred->deferred()) {
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = count;
            sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
        }
        const char* what = sentTotal < lengthBytes ? "sendData" : "write";
        if (sent < 0 && deferred != nullptr &&
            (deferred->deferred() || errno == EAGAIN || errno == EWOULDBLOCK)) {
            for (; count > 0; ++parts, --count) {
                const size_t field = lengthBytes > sentTotal ? lengthBytes - sentTotal : 0;
                if (!deferred->keepBytes(static_cast<const char*>(parts->iov_base), parts->iov_len,
                                         std::min(field, parts->iov_len), what)) {
                    return false;
                }
                sentTotal += parts->iov_len;
            }
            return true;
        }
        if (sent <= 0) {
            std::perror(what);
            return false;
        }
        sentTotal += static_cast<size_t>(sent);
        dropSent(&parts, &count, static_cast<size_t>(sent));
    }
    return true;
}

// Writes one buffer message: the int64 length N in host byte order, then the N payload
// bytes, no terminator; a length <= 0 is written alone. Returns N when everything went out,
// 0 for a length <= 0, -1 after a failed write ("sendData" for the length, "write" for the
// payload).
long sendData(int socket, const WriteRequest* request) {
    int64_t length = request->size;
    iovec parts[2] = {
        {&length, sizeof length},
        {const_cast<void*>(request->source), length > 0 ? static_cast<size_t>(length) : 0}};
    if (!sendParts(socket, parts, length > 0 ? 2 : 1, sizeof length)) {
        return -1;
    }
    return length > 0 ? request->size : 0;
}

// Sends one descriptor message carrying `fd` with `flags`; the result of sendmsg.
ssize_t sendDescriptor(int socket, int fd, int flags) {
    // One data byte (the kernel passes no control data without one) and one SCM_RIGHTS
    // control message of CMSG_LEN(sizeof(int)) = 20 bytes in a 24-byte buffer.
    char data = 0;
    iovec vector{&data, sizeof data};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_len = CMSG_LEN(sizeof(int));
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket, &message, flags);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

void closeOwned(int* fd) {
    if (*fd >= 0) {
        // A failed close leaves nothing to undo.
        ::close(*fd);
    }
    *fd = -1;
}

}  // namespace

bool sendBuffer(int socket, const void* data, long size) {
    WriteRequest request{data, size};
    return sendData(socket, &request) > 0;
}

bool sendInt64(int socket, long value) {
    int64_t payload = value;
    WriteRequest request{&payload, sizeof payload};
    return sendData(socket, &request) > 0;
}

bool sendFd(int socket, int fd) {
    DeferredSends* deferred = DeferredSends::forSocket(socket);
    if (fd >= 0 && deferred != nullptr && deferred->deferred()) {
        if (deferred->keepDescriptor(fd)) {
            return true;
        }
        closeOwned(&fd);
        return false;
    }
    const ssize_t sent = sendDescriptor(socket, fd, MSG_NOSIGNAL);
    if (sent < 0 && fd >= 0 && deferred != nullptr && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (deferred->keepDescriptor(fd)) {
            return true;
        }
    } else if (sent < 0) {
        std::perror("sendmsg");
    }
    // The descriptor is ours to close whatever happened.
    closeOwned(&fd);
    return sent > 0;
}

UnsentReply::~UnsentReply() {
    closeOwned(&socket);
    closeOwned(&descriptor);
}

UnsentReply::UnsentReply(UnsentReply&& other) noexcept
    : socket(std::exchange(other.socket, -1)),
      bytes(std::move(other.bytes)),
      written(other.written),
      lengthBytes(other.lengthBytes),
      descriptor(std::exchange(other.descriptor, -1)) {}

UnsentReply& UnsentReply::operator=(UnsentReply&& other) noexcept {
    if (this != &other) {
        closeOwned(&socket);
        closeOwned(&descriptor);
        socket = std::exchange(other.socket, -1);
        bytes = std::move(other.bytes);
        written = other.written;
        lengthBytes = other.lengthBytes;
        descriptor = std::exchange(other.descriptor, -1);
    }
    return *this;
}

DeferredSends::DeferredSends(int socket) : socket_(socket), previous_(installed) {
    installed = this;
}

DeferredSends::~DeferredSends() {
    installed = previous_;
}

DeferredSends* DeferredSends::forSocket(int socket) {
    DeferredSends* current = installed;
    return current != nullptr && current->socket_ == socket ? current : nullptr;
}

bool DeferredSends::holdSocket(const char* what) {
    if (reply_.socket >= 0) {
        return true;
    }
    // The request closes its own descriptor when the command ends; the reply keeps the
    // connection open through a duplicate until it is out.
    reply_.socket = fcntl(socket_, F_DUPFD_CLOEXEC, 0);
    if (reply_.socket < 0) {
        std::perror(what);
        return false;
    }
    return true;
}

bool DeferredSends::keepBytes(const char* data, size_t size, size_t lengthBytes, const char* what) {
    if (!holdSocket(what)) {
        return false;
    }
    if (reply_.bytes.size() == reply_.lengthBytes) {
        reply_.lengthBytes += lengthBytes;
    }
    reply_.bytes.append(data, size);
    return true;
}

bool DeferredSends::keepDescriptor(int fd) {
    if (!holdSocket("sendmsg")) {
        return false;
    }
    closeOwned(&reply_.descriptor);
    reply_.descriptor = fd;
    return true;
}

Progress sendUnsent(UnsentReply* reply) {
    while (reply->written < reply->bytes.size()) {
        const ssize_t sent =
            ::send(reply->socket, reply->bytes.data() + reply->written,
                   reply->bytes.size() - reply->written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Progress::blocked;
        }
        if (sent <= 0) {
            std::perror(reply->written < reply->lengthBytes ? "sendData" : "write");
            return Progress::failed;
        }
        reply->written += static_cast<size_t>(sent);
    }
    if (reply->descriptor >= 0) {
        const ssize_t sent =
            sendDescriptor(reply->socket, reply->descriptor, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Progress::blocked;
        }
        closeOwned(&reply->descriptor);
        if (sent < 0) {
            std::perror("sendmsg");
            return Progress::failed;
        }
    }
    return Progress::done;
}

int createConnectedSocket(const char* path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        std::perror("create socket error");
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    // The result is deliberately not examined: a socket that did not connect makes the
    // caller's first send fail, which reports "sendData".
    (void)::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

}  // namespace elevard::wire
