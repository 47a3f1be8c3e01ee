// The framing readers fed through a real socket pair: what they return agrees with the bytes
// sent, and no descriptor is left open afterwards.
//
// Input: one byte choosing the reader (and the shape of what is sent), then the bytes the peer
// sends before it stops writing.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "elevard/wire/domain_socket.h"
#include "fuzz_check.h"
#include "velk/kit/scoped_fd.h"

namespace {

namespace domain_socket = elevard::wire;
using velk::kit::ScopedFd;

// A refused or leaked descriptor takes one of the lowest free numbers, so these are enough.
int openDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 256; ++fd) {
        count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    }
    return count;
}

void sendMessage(int socket, const std::string& bytes, const std::vector<int>& fds) {
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(fds.size() * sizeof(int)));
    if (!fds.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
        std::memcpy(CMSG_DATA(header), fds.data(), fds.size() * sizeof(int));
    }
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    fuzzCheck(sent == static_cast<ssize_t>(bytes.size()), "the peer sends everything at once");
}

// The length a buffer message starting with `bytes` announces; 0 when they are too few.
int64_t announcedLength(const std::string& bytes) {
    int64_t length = 0;
    if (bytes.size() >= sizeof length) {
        std::memcpy(&length, bytes.data(), sizeof length);
    }
    return length;
}

struct Destination {
    long limit = 0;
    int calls = 0;
    long asked = 0;
    std::vector<char> bytes;
};

void* grow(void* context, long length) {
    auto* destination = static_cast<Destination*>(context);
    ++destination->calls;
    destination->asked = length;
    if (length > destination->limit) {
        return nullptr;
    }
    destination->bytes.resize(static_cast<std::size_t>(length));
    return destination->bytes.data();
}

// A buffer message arrives whole when its length is positive, the destination takes it and all
// its bytes were sent; the destination is asked for exactly once, with the length, when positive.
void checkReadBuffer(int reader, int writer, unsigned mode, const std::string& bytes) {
    sendMessage(writer, bytes, {});
    shutdown(writer, SHUT_WR);
    const int64_t length = announcedLength(bytes);
    Destination destination;
    destination.limit = (mode & 0x80) != 0 ? 16 : 65536;
    const bool ok = domain_socket::readBuffer(reader, grow, &destination);
    const std::size_t payload = bytes.size() - std::min(bytes.size(), sizeof length);
    fuzzCheck(
        destination.calls == (length > 0 ? 1 : 0) && destination.asked == std::max(length, 0L),
        "the destination is asked for once, with a positive length");
    fuzzCheck(ok == (length > 0 && length <= destination.limit &&
                     payload >= static_cast<std::size_t>(length)),
              "readBuffer succeeds exactly when the whole accepted payload arrived");
    fuzzCheck(!ok || std::memcmp(destination.bytes.data(), bytes.data() + sizeof length,
                                 static_cast<std::size_t>(length)) == 0,
              "readBuffer delivers the bytes sent");
}

// An integer message is its length 8 and eight bytes; anything else leaves the value alone.
void checkReadInt64(int reader, int writer, const std::string& bytes) {
    sendMessage(writer, bytes, {});
    shutdown(writer, SHUT_WR);
    const int64_t length = announcedLength(bytes);
    const long untouched = 0x5a5a5a5a;
    long value = untouched;
    const bool ok = domain_socket::readInt64(reader, &value);
    long expected = untouched;
    const bool whole = bytes.size() >= 16 && length == 8;
    if (whole) {
        std::memcpy(&expected, bytes.data() + 8, sizeof expected);
    }
    fuzzCheck(ok == whole && value == expected, "readInt64 takes exactly a whole integer message");
}

// One data byte with exactly one passed descriptor, and nothing before it, yields that
// descriptor; every other shape yields -1. Mode bits: 2-3 the number of descriptors passed, 4
// the receiver asks for credentials (so they arrive first), 5 a plain byte goes first.
void checkReadFd(int reader, int writer, unsigned mode, const std::string& bytes) {
    const std::size_t count = (mode >> 2) & 3;
    const bool credentials = (mode & 0x10) != 0;
    const bool plainFirst = (mode & 0x20) != 0;
    const int on = 1;
    fuzzCheck(!credentials || setsockopt(reader, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0,
              "SO_PASSCRED");
    if (plainFirst) {
        sendMessage(writer, "p", {});
    }
    // /dev/null first and /dev/zero after, so that the descriptor received can be told apart.
    std::vector<ScopedFd> passed;
    std::vector<int> fds;
    for (std::size_t i = 0; i < count; ++i) {
        passed.emplace_back(open(i == 0 ? "/dev/null" : "/dev/zero", O_RDONLY | O_CLOEXEC));
        fds.push_back(passed.back().get());
    }
    sendMessage(writer, bytes.empty() ? std::string("x") : bytes, fds);
    passed.clear();
    shutdown(writer, SHUT_WR);
    ScopedFd received(domain_socket::readFd(reader));
    const bool expected = count == 1 && !credentials && !plainFirst;
    fuzzCheck(received.valid() == expected, "readFd accepts exactly one descriptor, first");
    if (received.valid()) {
        struct stat got {
        }, null{};
        fuzzCheck(fstat(received.get(), &got) == 0 && stat("/dev/null", &null) == 0 &&
                      got.st_rdev == null.st_rdev,
                  "readFd returns the descriptor passed");
        fuzzCheck((fcntl(received.get(), F_GETFD) & FD_CLOEXEC) != 0, "close-on-exec");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int before = openDescriptors();
    {
        int pair[2];
        fuzzCheck(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
        ScopedFd reader(pair[0]), writer(pair[1]);
        const unsigned mode = data[0];
        const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
        switch (mode % 3) {
            case 0:
                checkReadBuffer(reader.get(), writer.get(), mode, bytes);
                break;
            case 1:
                checkReadInt64(reader.get(), writer.get(), bytes);
                break;
            default:
                checkReadFd(reader.get(), writer.get(), mode, bytes);
                break;
        }
    }
    fuzzCheck(openDescriptors() == before, "no descriptor is left open");
    return 0;
}
