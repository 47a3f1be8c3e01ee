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

#include "elevard/wire/descriptor_message.h"
#include "elevard/wire/domain_socket.h"

namespace elevard::wire {
namespace {

// What sendData writes: `size` payload bytes from `source`.
struct WriteRequest {
    const void* source;
    long size;
};

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
// the process. `lengthBytes` leading bytes are a length field: a failure among them is
// printed as "sendData", a later one as "write". Returns false after printing the failure.
bool sendParts(int socket, iovec* parts, size_t count, size_t lengthBytes) {
    size_t sentTotal = 0;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            std::perror(sentTotal < lengthBytes ? "sendData" : "write");
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
    detail::DescriptorMessage sending;
    cmsghdr* header = CMSG_FIRSTHDR(&sending.message);
    header->cmsg_len = CMSG_LEN(sizeof(int));
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket, &sending.message, flags);
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
    const ssize_t sent = sendDescriptor(socket, fd, MSG_NOSIGNAL);
    if (sent < 0) {
        std::perror("sendmsg");
    }
    // The descriptor is ours to close whatever happened.
    closeOwned(&fd);
    return sent > 0;
}

UnsentReply integerReply(long value) {
    const int64_t payload = value;
    return bufferReply(std::string(reinterpret_cast<const char*>(&payload), sizeof payload));
}

UnsentReply bufferReply(std::string payload) {
    const int64_t length = static_cast<int64_t>(payload.size());
    UnsentReply reply;
    // The field goes apart from the payload, so that a large reply is never copied to be sent.
    reply.head.assign(reinterpret_cast<const char*>(&length), sizeof length);
    reply.lengthBytes = sizeof length;
    reply.bytes = std::move(payload);
    return reply;
}

UnsentReply descriptorReply(velk::kit::ScopedFd fd) {
    UnsentReply reply;
    reply.passesDescriptor = true;
    reply.descriptor = std::move(fd);
    return reply;
}

namespace {

// sendReply with `flags` added to MSG_NOSIGNAL on every call.
Progress sendReplyWith(int socket, UnsentReply* reply, bool keepWhenFull, int extraFlags) {
    const int flags = MSG_NOSIGNAL | extraFlags;
    auto full = [keepWhenFull] {
        return keepWhenFull && (errno == EAGAIN || errno == EWOULDBLOCK);
    };
    const size_t total = reply->head.size() + reply->bytes.size();
    while (reply->written < total) {
        iovec parts[2];
        size_t count = 0;
        const size_t written = reply->written;
        if (written < reply->head.size()) {
            parts[count++] = {reply->head.data() + written, reply->head.size() - written};
        }
        const size_t intoBytes = written > reply->head.size() ? written - reply->head.size() : 0;
        if (intoBytes < reply->bytes.size()) {
            parts[count++] = {reply->bytes.data() + intoBytes, reply->bytes.size() - intoBytes};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(socket, &message, flags);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && full()) {
            return Progress::blocked;
        }
        if (sent <= 0) {
            std::perror(written < reply->lengthBytes ? "sendData" : "write");
            return Progress::failed;
        }
        reply->written += static_cast<size_t>(sent);
    }
    if (reply->passesDescriptor) {
        // A reply without a descriptor still tries the message, which the kernel refuses: the
        // client then sees the connection close without one.
        const ssize_t sent = sendDescriptor(socket, reply->descriptor.get(), flags);
        if (sent < 0 && reply->descriptor.valid() && full()) {
            return Progress::blocked;
        }
        reply->passesDescriptor = false;
        reply->descriptor.reset();
        if (sent < 0) {
            std::perror("sendmsg");
            return Progress::failed;
        }
    }
    return Progress::done;
}

}  // namespace

Progress sendReply(int socket, UnsentReply* reply, bool keepWhenFull) {
    return sendReplyWith(socket, reply, keepWhenFull, 0);
}

Progress sendUnsent(UnsentReply* reply) {
    return sendReplyWith(reply->socket.get(), reply, true, MSG_DONTWAIT);
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
