#include "elevard/wire/domain_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "elevard/wire/domain_socket_test_support.h"
#include "velk/kit/scoped_fd.h"
#include "velk_testing/scratch_dir.h"

namespace ds = elevard::wire;
using velk::kit::ScopedFd;

namespace {

using namespace domain_socket_testing;

// Everything readable on `fd` until end of stream.
std::string readToEnd(int fd) {
    std::string all;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        all.append(chunk, static_cast<size_t>(got));
    }
    return all;
}

// Sends `reply` on `socket` at once; true when all of it went out.
bool sendWhole(int socket, ds::UnsentReply reply) {
    return ds::sendReply(socket, &reply, false) == ds::Progress::done;
}

TEST_F(DomainSocketTest, SendersPutExactBytesOnTheWire) {
    struct Case {
        const char* name;
        bool (*send)(int);
        bool sent;
        std::string wire;
    };
    const Case cases[] = {
        {"int 1", [](int s) { return ds::sendInt64(s, 1); }, true, int64Bytes(8) + int64Bytes(1)},
        {"int -2", [](int s) { return ds::sendInt64(s, -2); }, true,
         int64Bytes(8) + int64Bytes(-2)},
        {"int max", [](int s) { return ds::sendInt64(s, LONG_MAX); }, true,
         int64Bytes(8) + int64Bytes(LONG_MAX)},
        {"binary", [](int s) { return ds::sendBuffer(s, "a\0b", 3); }, true,
         int64Bytes(3) + std::string("a\0b", 3)},
        {"empty buffer", [](int s) { return ds::sendBuffer(s, "", 0); }, false, int64Bytes(0)},
        {"negative size", [](int s) { return ds::sendBuffer(s, "abc", -3); }, false,
         int64Bytes(-3)},
        // A reply as a value puts the same bytes on the wire as the sender of its kind.
        {"integer reply", [](int s) { return sendWhole(s, ds::integerReply(-2)); }, true,
         int64Bytes(8) + int64Bytes(-2)},
        {"buffer reply",
         [](int s) { return sendWhole(s, ds::bufferReply(std::string("a\0b", 3))); }, true,
         int64Bytes(3) + std::string("a\0b", 3)},
        {"empty buffer reply", [](int s) { return sendWhole(s, ds::bufferReply("")); }, true,
         int64Bytes(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        EXPECT_EQ(c.send(pair.near.get()), c.sent);
        pair.near.reset();
        EXPECT_EQ(readToEnd(pair.far.get()), c.wire);
    }
}

TEST_F(DomainSocketTest, SendFdPutsOneByteAndOneRightsMessageAndClosesTheDescriptor) {
    SocketPair pair;
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    ScopedFd keep(pipeFds[0]);
    int passed = pipeFds[1];

    ASSERT_TRUE(ds::sendFd(pair.near.get(), passed));
    EXPECT_EQ(fcntl(passed, F_GETFD), -1) << "sendFd must close the passed descriptor";
    EXPECT_EQ(errno, EBADF);

    char data[4];
    iovec vector{data, sizeof data};
    alignas(cmsghdr) char control[64];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ASSERT_EQ(recvmsg(pair.far.get(), &message, MSG_CMSG_CLOEXEC), 1);
    ASSERT_EQ(message.msg_controllen, CMSG_SPACE(sizeof(int)));
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->cmsg_len, 20u);
    EXPECT_EQ(header->cmsg_level, SOL_SOCKET);
    EXPECT_EQ(header->cmsg_type, SCM_RIGHTS);
    int received;
    std::memcpy(&received, CMSG_DATA(header), sizeof received);
    ScopedFd owned(received);
    EXPECT_EQ(CMSG_NXTHDR(&message, header), nullptr);
    EXPECT_TRUE(sameFile(owned.get(), keep.get())) << "not the pipe that was passed";
}

TEST_F(DomainSocketTest, WritingToAGonePeerFailsWithoutEndingTheProcess) {
    struct Case {
        const char* name;
        bool (*send)(int);
        const char* diagnostic;
    };
    const Case cases[] = {
        {"int", [](int s) { return ds::sendInt64(s, 1); }, "sendData: Broken pipe\n"},
        {"buffer", [](int s) { return ds::sendBuffer(s, "x", 1); }, "sendData: Broken pipe\n"},
        {"descriptor", [](int s) { return ds::sendFd(s, open("/dev/null", O_RDONLY | O_CLOEXEC)); },
         "sendmsg: Broken pipe\n"},
        {"no socket", [](int) { return ds::sendInt64(-1, 1); }, "sendData: Bad file descriptor\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        pair.far.reset();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(c.send(pair.near.get()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.diagnostic);
    }
}

TEST_F(DomainSocketTest, PayloadWriteFailureIsReportedAsWrite) {
    SocketPair pair;
    // The peer takes the length and goes away while the payload, larger than any socket
    // buffer, is still being written.
    std::thread peer([&] {
        int64_t length = 0;
        EXPECT_EQ(read(pair.far.get(), &length, sizeof length), 8);
        EXPECT_EQ(length, 8 << 20);
        pair.far.reset();
    });
    std::string payload(8 << 20, 'p');
    testing::internal::CaptureStderr();
    bool sent = ds::sendBuffer(pair.near.get(), payload.data(), static_cast<long>(payload.size()));
    std::string err = testing::internal::GetCapturedStderr();
    peer.join();
    EXPECT_FALSE(sent);
    EXPECT_EQ(err.rfind("write: ", 0), 0u) << err;
}

// A non-blocking connection that cannot take a whole reply: sendReply stops where the socket
// is full, and sendUnsent, called on a duplicate as the socket drains, puts on the wire exactly
// what blocking sends would have; a peer that goes away fails it with the senders' diagnostic.
TEST_F(DomainSocketTest, UnsentRepliesDeliverTheRestAsTheSocketDrains) {
    const std::string big(1 << 20, 'b');
    struct Case {
        const char* name;
        bool withDescriptor;  // a descriptor message follows the buffer
        bool peerGoes;        // the peer reads nothing and closes
        ds::Progress last;
        const char* diagnostic;
    };
    const Case cases[] = {
        {"buffer", false, false, ds::Progress::done, ""},
        {"descriptor behind a full socket", true, false, ds::Progress::done, ""},
        {"peer gone", false, true, ds::Progress::failed, "write: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        ASSERT_EQ(fcntl(pair.near.get(), F_SETFL, O_NONBLOCK), 0);
        ds::UnsentReply rest = ds::bufferReply(big);
        if (c.withDescriptor) {
            ds::UnsentReply passing =
                ds::descriptorReply(ScopedFd(open("/dev/null", O_RDONLY | O_CLOEXEC)));
            rest.passesDescriptor = passing.passesDescriptor;
            rest.descriptor = std::move(passing.descriptor);
        }
        ASSERT_EQ(ds::sendReply(pair.near.get(), &rest, true), ds::Progress::blocked);
        EXPECT_EQ(rest.descriptor.valid(), c.withDescriptor);
        rest.socket.reset(fcntl(pair.near.get(), F_DUPFD_CLOEXEC, 0));
        pair.near.reset();  // the reply's own duplicate keeps the connection open
        std::string received;
        ScopedFd passed;
        std::thread reader([&] {
            if (c.peerGoes) {
                pair.far.reset();
                return;
            }
            std::string field(8, '\0');
            ASSERT_EQ(recv(pair.far.get(), field.data(), 8, MSG_WAITALL), 8);
            received.resize(big.size());
            ASSERT_EQ(recv(pair.far.get(), received.data(), big.size(), MSG_WAITALL),
                      static_cast<ssize_t>(big.size()));
            received = field + received;
            if (c.withDescriptor) {
                passed.reset(ds::readFd(pair.far.get()));
            }
        });
        testing::internal::CaptureStderr();
        ds::Progress progress;
        while ((progress = ds::sendUnsent(&rest)) == ds::Progress::blocked) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::string err = testing::internal::GetCapturedStderr();
        reader.join();
        EXPECT_EQ(progress, c.last);
        EXPECT_EQ(err.rfind(c.diagnostic, 0), 0u) << err;
        if (!c.peerGoes) {
            EXPECT_TRUE(received == int64Bytes(static_cast<int64_t>(big.size())) + big);
            EXPECT_EQ(passed.valid(), c.withDescriptor);
        }
        EXPECT_FALSE(rest.descriptor.valid()) << "passed or closed";
    }
}

TEST_F(DomainSocketTest, SendFdOfMinusOneSendsNothingAndClosesNothing) {
    SocketPair pair;
    int before = openDescriptorCount();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ds::sendFd(pair.near.get(), -1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "sendmsg: Bad file descriptor\n");
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_NE(fcntl(pair.near.get(), F_GETFD), -1) << "the socket must stay open";
    pair.near.reset();
    EXPECT_EQ(ds::readFd(pair.far.get()), -1);
}

TEST_F(DomainSocketTest, CreateConnectedSocketReachesAListener) {
    velk::testing::ScratchDir scratch;
    std::string path = scratch.file("sock");
    ScopedFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);

    ScopedFd client(ds::createConnectedSocket(path.c_str()));
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(fcntl(client.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ScopedFd served(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(served.valid());
    EXPECT_TRUE(ds::sendBuffer(client.get(), "exists /tmp", 11));
    GrowTarget target;
    EXPECT_TRUE(ds::readBuffer(served.get(), growString, &target));
    EXPECT_EQ(target.text, "exists /tmp");
}

TEST_F(DomainSocketTest, ConnectFailureShowsOnTheFirstSend) {
    velk::testing::ScratchDir scratch;
    ScopedFd client(ds::createConnectedSocket(scratch.file("nobody-listens").c_str()));
    ASSERT_TRUE(client.valid());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ds::sendBuffer(client.get(), "help", 4));
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("sendData: ", 0), 0u);
}

}  // namespace
