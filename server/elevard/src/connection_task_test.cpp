#include "connection_task.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "velk/kit/scoped_fd.h"
#include "velk_testing/messages.h"

namespace {

using velk::kit::ScopedFd;
using velk::testing::bufferMessage;
using velk::testing::lengthField;

TEST(ReallocCallbackTest, SizesTheLineWithinTheLimit) {
    struct Case {
        long length;
        bool accepted;
    };
    const Case cases[] = {
        {0, true},         {3, true},         {10, true},  {65536, true},     {65537, false},
        {1L << 40, false}, {LONG_MAX, false}, {-1, false}, {LONG_MIN, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::string line = "abcdef";
        void* destination = reallocCallback(&line, c.length);
        if (!c.accepted) {
            EXPECT_EQ(destination, nullptr);
            EXPECT_EQ(line, "abcdef");
            continue;
        }
        ASSERT_EQ(destination, line.data());
        ASSERT_EQ(line.size(), static_cast<size_t>(c.length));
        std::string expected = std::string("abcdef").substr(0, c.length);
        expected.resize(c.length, '\0');
        EXPECT_EQ(line, expected);
    }
}

TEST(ReplyTimeoutTest, SendsMayBlockTenSeconds) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ScopedFd a(pair[0]), b(pair[1]);
    ASSERT_TRUE(setReplyTimeout(a.get()));
    timeval timeout{};
    socklen_t size = sizeof timeout;
    ASSERT_EQ(getsockopt(a.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, &size), 0);
    EXPECT_EQ(timeout.tv_sec, 10);
    EXPECT_EQ(timeout.tv_usec, 0);
    EXPECT_FALSE(setReplyTimeout(-1));
}

// True when the service end of the connection is closed: end of stream, or a reset because
// it went away with bytes unread. A connection still open gives EAGAIN.
bool peerClosed(int client) {
    char byte;
    ssize_t got = recv(client, &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

// A long text cut to its ends, so that a failure stays readable.
std::string abbreviated(const std::string& text) {
    if (text.size() <= 80) {
        return text;
    }
    return text.substr(0, 40) + "..." + text.substr(text.size() - 20) + " (" +
           std::to_string(text.size()) + " bytes)";
}

// One request collected from a socket pair as its pieces arrive, then, once complete, run as a
// connection task with a registry holding "probe", which records the line it got.
TEST(ConnectionTaskTest, RunsOneLineOrClosesTheConnection) {
    std::vector<std::string> received;
    CommandsFactory factory;
    factory.reg(
        {"probe"}, {},
        [&received](const std::string& line, int socket) {
            EXPECT_GE(socket, 0);
            received.push_back(line);
            return Result::ok;
        },
        false);
    const std::string longest = "probe " + std::string(65536 - 6, 'x');
    struct Case {
        const char* name;
        std::vector<std::string> pieces;  // sent one after another, then the client stops writing
        std::optional<std::string> line;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"line", {bufferMessage("probe x\n")}, "probe x\n", "probe x\n --> ok\n"},
        {"in pieces",
         {lengthField(7).substr(0, 3), lengthField(7).substr(3) + "pr", "o", "be y"},
         "probe y",
         "probe y --> ok\n"},
        {"junk after the line", {bufferMessage("probe"), "junk"}, "probe", "probe --> ok\n"},
        {"longest line", {bufferMessage(longest)}, longest, longest + " --> ok\n"},
        {"unknown", {bufferMessage("nosuch")}, std::nullopt, "Command nosuch not found\n"},
        {"nothing sent", {}, std::nullopt, ""},
        {"zero length", {lengthField(0) + "probe"}, std::nullopt, ""},
        {"negative length", {lengthField(-8) + "probe x\n"}, std::nullopt, ""},
        {"huge length", {lengthField(INT64_MAX) + "probe"}, std::nullopt, ""},
        {"length cut short", {lengthField(8).substr(0, 3)}, std::nullopt, ""},
        {"payload cut short", {lengthField(8) + "pro"}, std::nullopt, ""},
        {"too long", {bufferMessage(longest + "x")}, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        received.clear();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        ScopedFd client(pair[0]);
        PendingRequest request(ScopedFd(pair[1]), std::chrono::steady_clock::now());
        // The client writes beside the reader: the longest lines outgrow the socket buffer.
        std::thread sender([&] {
            for (const std::string& piece : c.pieces) {
                send(client.get(), piece.data(), piece.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            shutdown(client.get(), SHUT_WR);
        });
        PendingRequest::State state;
        while ((state = request.readAvailable()) == PendingRequest::State::reading) {
            pollfd ready{request.descriptor(), POLLIN, 0};
            if (poll(&ready, 1, 30000) != 1) {
                break;  // only a hang guard
            }
        }
        EXPECT_EQ(state, c.line || !c.out.empty() ? PendingRequest::State::complete
                                                  : PendingRequest::State::refused);
        testing::internal::CaptureStdout();
        if (state == PendingRequest::State::complete) {
            makeConnectionTask(std::move(request), factory)();
        } else {
            request.takeSocket();  // dropped: the connection closes
        }
        const std::string out = testing::internal::GetCapturedStdout();
        sender.join();
        EXPECT_TRUE(out == c.out) << abbreviated(out);
        if (c.line) {
            ASSERT_EQ(received.size(), 1u);
            EXPECT_TRUE(received[0] == *c.line) << abbreviated(received[0]);
        } else {
            EXPECT_TRUE(received.empty()) << abbreviated(received.front());
        }
        EXPECT_TRUE(peerClosed(client.get()));
    }
}

}  // namespace
