#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "elevard/wire/descriptor_message.h"
#include "elevard/wire/domain_socket.h"

namespace elevard::wire {
namespace {

// Where readData puts a payload: either a fixed destination of `capacity` bytes, or one that
// `grow` supplies once the announced length is known.
struct ReadRequest {
    void* destination;
    void* (*grow)(void*, long);
    void* context;
    long capacity;
};

// Reads exactly `size` bytes into `destination`. False on end of stream or a read error;
// the bytes read so far are then lost to the caller.
bool readExactly(int socket, void* destination, size_t size) {
    auto* bytes = static_cast<char*>(destination);
    size_t done = 0;
    while (done < size) {
        ssize_t got = ::read(socket, bytes + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

// One buffer message on the wire:
//   offset 0: int64 length N, host byte order
//   offset 8: N payload bytes, no terminator (none at all when N <= 0)
// Returns N when the whole payload arrived, 0 when N <= 0 (nothing more is read), and -1 on
// end of stream, a read error or a destination that cannot hold N bytes.
long readData(int socket, ReadRequest* request) {
    unsigned char field[kLengthFieldSize];
    if (!readExactly(socket, field, sizeof field)) {
        return -1;
    }
    const long length = announcedLength(field);
    if (length == 0) {
        return 0;
    }
    if (request->capacity < length) {
        if (request->grow == nullptr) {
            return -1;
        }
        request->destination = request->grow(request->context, static_cast<long>(length));
        if (request->destination == nullptr) {
            return -1;
        }
    }
    if (!readExactly(socket, request->destination, static_cast<size_t>(length))) {
        return -1;
    }
    return length;
}

// Closes every descriptor that arrived in SCM_RIGHTS control messages of `message`, so that a
// refused message leaves nothing open in this process.
void closeReceivedDescriptors(msghdr* message) {
    for (cmsghdr* header = CMSG_FIRSTHDR(message); header != nullptr;
         header = CMSG_NXTHDR(message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS ||
            header->cmsg_len < CMSG_LEN(0)) {
            continue;
        }
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            // Nothing useful can be done about a failed close of a descriptor we refuse.
            ::close(fd);
        }
    }
}

// Applies the checks of a descriptor message in their fixed order (length, level, type) to
// the first control message. Returns the descriptor it carries, or -1 after printing the
// reason where one is printed.
int acceptedDescriptor(msghdr* message) {
    cmsghdr* header = CMSG_FIRSTHDR(message);
    if (message->msg_controllen < sizeof(cmsghdr) || header == nullptr) {
        return -1;
    }
    if (header->cmsg_len != CMSG_LEN(sizeof(int))) {
        return -1;
    }
    if (header->cmsg_level != SOL_SOCKET) {
        std::perror("control level != SOL_SOCKET");
        return -1;
    }
    if (header->cmsg_type != SCM_RIGHTS) {
        std::perror("control type != SCM_RIGHTS");
        return -1;
    }
    // Control data cut short by the kernel means more arrived than one descriptor.
    if ((message->msg_flags & MSG_CTRUNC) != 0) {
        return -1;
    }
    int fd;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

}  // namespace

long announcedLength(const unsigned char* field) {
    int64_t length = 0;
    static_assert(sizeof length == kLengthFieldSize);
    std::memcpy(&length, field, sizeof length);
    return length > 0 ? static_cast<long>(length) : 0;
}

bool readBuffer(int socket, void* (*grow)(void*, long), void* context) {
    ReadRequest request{nullptr, grow, context, 0};
    return readData(socket, &request) > 0;
}

bool readInt64(int socket, long* value) {
    // The payload lands in a local first so that a refused message leaves *value unchanged.
    // A length of 1 to 7 would fill only part of the value; no sender produces one, so it is
    // refused like any other length but 8.
    int64_t received = 0;
    ReadRequest request{&received, nullptr, nullptr, sizeof received};
    if (readData(socket, &request) != static_cast<long>(sizeof received)) {
        return false;
    }
    *value = static_cast<long>(received);
    return true;
}

int readFd(int socket) {
    detail::DescriptorMessage received;
    ssize_t got;
    do {
        got = ::recvmsg(socket, &received.message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return -1;
    }
    int fd = acceptedDescriptor(&received.message);
    if (fd < 0) {
        closeReceivedDescriptors(&received.message);
    }
    return fd;
}

}  // namespace elevard::wire
