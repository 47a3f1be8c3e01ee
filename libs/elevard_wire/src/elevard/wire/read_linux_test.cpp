#include "elevard/wire/domain_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "elevard/wire/domain_socket_test_support.h"
#include "velk/kit/scoped_fd.h"

namespace ds = elevard::wire;
using velk::kit::ScopedFd;

namespace {

using namespace domain_socket_testing;

void writeAll(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The reading end of a connection whose peer wrote `wire` and closed.
ScopedFd peerWrote(const std::string& wire) {
    SocketPair pair;
    writeAll(pair.far.get(), wire);
    return std::move(pair.near);
}

// Sends `fds` in one SCM_RIGHTS message with one data byte, bypassing sendFd.
bool sendRawDescriptors(int socket, const std::vector<int>& fds) {
    char data = 'x';
    iovec vector{&data, 1};
    std::vector<char> control(CMSG_SPACE(fds.size() * sizeof(int)));
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    std::memcpy(CMSG_DATA(header), fds.data(), fds.size() * sizeof(int));
    return sendmsg(socket, &message, 0) == 1;
}

TEST_F(DomainSocketTest, ReadBufferTakesWhatSendBufferWrites) {
    for (const std::string& text :
         {std::string("x"), std::string(3 << 20, 'q'), std::string("\0\1\2", 3)}) {
        SCOPED_TRACE(text.size());
        SocketPair pair;
        // Large payloads outgrow the socket buffer, so the sender runs beside the reader.
        std::thread sender([&] {
            EXPECT_TRUE(
                ds::sendBuffer(pair.far.get(), text.data(), static_cast<long>(text.size())));
        });
        GrowTarget target;
        EXPECT_TRUE(ds::readBuffer(pair.near.get(), growString, &target));
        sender.join();
        EXPECT_EQ(target.calls, 1);
        EXPECT_EQ(target.lastLength, static_cast<long>(text.size()));
        EXPECT_TRUE(target.text == text);
    }
}

TEST_F(DomainSocketTest, ReadersCollectMessagesThatArriveInPieces) {
    SocketPair pair;
    std::string wire = int64Bytes(5) + "hello" + int64Bytes(8) + int64Bytes(77);
    std::thread sender([&] {
        for (char c : wire) {
            ASSERT_EQ(write(pair.far.get(), &c, 1), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    GrowTarget target;
    EXPECT_TRUE(ds::readBuffer(pair.near.get(), growString, &target));
    EXPECT_EQ(target.text, "hello");
    long value = 0;
    EXPECT_TRUE(ds::readInt64(pair.near.get(), &value));
    EXPECT_EQ(value, 77);
    sender.join();
}

TEST_F(DomainSocketTest, ReadersRefuseBrokenOrEmptyMessages) {
    struct Case {
        const char* name;
        std::string wire;  // written by the peer, which then closes
        bool callbackCalled;
    };
    const Case cases[] = {
        {"nothing", "", false},
        {"3 of 8 length bytes", int64Bytes(5).substr(0, 3), false},
        {"length 0", int64Bytes(0), false},
        {"length 0 then more", int64Bytes(0) + "junk", false},
        {"negative length", int64Bytes(-4), false},
        {"payload cut short", int64Bytes(10) + "abcd", true},
        {"length 8, no payload", int64Bytes(8), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GrowTarget target;
        EXPECT_FALSE(ds::readBuffer(peerWrote(c.wire).get(), growString, &target));
        EXPECT_EQ(target.calls, c.callbackCalled ? 1 : 0);
        long value = 99;
        EXPECT_FALSE(ds::readInt64(peerWrote(c.wire).get(), &value));
        EXPECT_EQ(value, 99);
    }
}

TEST_F(DomainSocketTest, ReadInt64AcceptsOnlyLengthEight) {
    const long kOdd = 0x0102030405060708L;  // no two bytes alike: a wrong byte order shows
    struct Case {
        int64_t length;
        bool accepted;
    };
    const Case cases[] = {{8, true}, {9, false}, {16, false}, {7, false}, {1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        long value = 99;
        ScopedFd reader = peerWrote(int64Bytes(c.length) + int64Bytes(kOdd) + int64Bytes(kOdd));
        EXPECT_EQ(ds::readInt64(reader.get(), &value), c.accepted);
        EXPECT_EQ(value, c.accepted ? kOdd : 99);
    }
}

TEST_F(DomainSocketTest, ReadBufferFailsWithoutADestination) {
    GrowTarget target;
    target.refuse = true;
    EXPECT_FALSE(ds::readBuffer(peerWrote(int64Bytes(3) + "abc").get(), growString, &target));
    EXPECT_EQ(target.calls, 1);
    EXPECT_EQ(target.lastLength, 3);
    EXPECT_FALSE(ds::readBuffer(peerWrote(int64Bytes(3) + "abc").get(), nullptr, nullptr));
}

TEST_F(DomainSocketTest, ReadFdAcceptsExactlyOneDescriptorAndClosesRefusedOnes) {
    struct Case {
        const char* name;
        int count;  // copies of a pipe end in the one message; 0 sends a plain data byte
        bool accepted;
    };
    const Case cases[] = {
        {"one", 1, true},
        {"two", 2, false},
        {"plain byte", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        ScopedFd pipeRead(ends[0]);
        {
            ScopedFd pipeWrite(ends[1]);
            if (c.count == 0) {
                ASSERT_EQ(write(pair.far.get(), "x", 1), 1);
            } else {
                ASSERT_TRUE(sendRawDescriptors(pair.far.get(), std::vector(c.count, ends[1])));
            }
        }
        int before = openDescriptorCount();
        testing::internal::CaptureStderr();
        ScopedFd got(ds::readFd(pair.near.get()));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(got.valid(), c.accepted);
        EXPECT_EQ(openDescriptorCount(), before + (c.accepted ? 1 : 0));
        if (got.valid()) {
            EXPECT_TRUE(sameFile(got.get(), pipeRead.get())) << "not the pipe that was sent";
            EXPECT_EQ(fcntl(got.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        }
    }
}

void ignoreSignal(int) {}

TEST_F(DomainSocketTest, InterruptedReadsAreResumed) {
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: blocked calls fail with EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    SocketPair pair;
    long value = 0;
    int fd = -2;
    std::thread reader([&] {
        EXPECT_TRUE(ds::readInt64(pair.near.get(), &value));
        fd = ds::readFd(pair.near.get());
    });
    auto interrupt = [&] {
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pthread_kill(reader.native_handle(), SIGUSR1);
        }
    };
    interrupt();
    ASSERT_TRUE(ds::sendInt64(pair.far.get(), 42));
    interrupt();
    ASSERT_TRUE(ds::sendFd(pair.far.get(), open("/dev/null", O_RDONLY | O_CLOEXEC)));
    reader.join();
    ScopedFd received(fd);
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(received.valid());
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
