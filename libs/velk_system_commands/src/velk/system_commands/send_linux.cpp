#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "velk/system_commands/domain_socket.h"

namespace velk::system_commands::domain_socket {
namespace {

// What sendData writes: `size` payload bytes from `source`.
struct WriteRequest {
    const void* source;
    long size;
};

// Sends all `size` bytes of `source`. MSG_NOSIGNAL turns a peer that has gone away into an
// EPIPE failure instead of a SIGPIPE that would end the process. On failure prints `what`
// with perror and returns false.
bool sendExactly(int socket, const void* source, size_t size, const char* what) {
    const auto* bytes = static_cast<const char*>(source);
    size_t done = 0;
    while (done < size) {
        ssize_t sent = ::send(socket, bytes + done, size - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            std::perror(what);
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

// Writes one buffer message: the int64 length N in host byte order, then the N payload
// bytes, no terminator; a length <= 0 is written alone. Returns N when everything went out,
// 0 for a length <= 0, -1 after a failed write ("sendData" for the length, "write" for the
// payload).
long sendData(int socket, const WriteRequest* request) {
    int64_t length = request->size;
    if (!sendExactly(socket, &length, sizeof length, "sendData")) {
        return -1;
    }
    if (length <= 0) {
        return 0;
    }
    if (!sendExactly(socket, request->source, static_cast<size_t>(length), "write")) {
        return -1;
    }
    return request->size;
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
        sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        std::perror("sendmsg");
    }
    if (fd >= 0) {
        // The descriptor is ours to close whatever happened; a failed close leaves nothing to
        // undo.
        ::close(fd);
    }
    return sent > 0;
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

}  // namespace velk::system_commands::domain_socket
