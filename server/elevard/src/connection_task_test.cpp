#include "connection_task.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
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

// Keeps what the connections could not take.
struct Carried : ReplyCarrier {
    void carry(elevard::wire::UnsentReply reply) override { replies.push_back(std::move(reply)); }
    std::vector<elevard::wire::UnsentReply> replies;
};

// What a client that has not read yet finds on its end, without waiting.
std::string readAvailable(int client) {
    std::string got;
    char chunk[65536];
    for (ssize_t n; (n = recv(client, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) {
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// One request collected from a socket pair as its pieces arrive, then, once complete, run as a
// connection task with a registry holding "probe", which records the line it got, and "big",
// whose reply outgrows the socket's buffer while the client does not read.
TEST(ConnectionTaskTest, RunsOneLineOrClosesTheConnection) {
    std::vector<std::string> received;
    const std::string bigReply(1 << 20, 'b');
    CommandsFactory factory;
    factory.reg(
        {"probe"}, {},
        [&received](const std::string& line, int socket) {
            EXPECT_GE(socket, 0);
            received.push_back(line);
            return Result::ok;
        },
        false);
    factory.reg(
        {"big"}, {},
        [&bigReply](const std::string&, int) {
            return CommandOutcome(Result::ok, elevard::wire::bufferReply(bigReply));
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
        {"reply the client does not read yet",
         {bufferMessage("big")},
         std::nullopt,
         "big --> ok\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        received.clear();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        ScopedFd client(pair[0]);
        // As the service accepts them: no thread may wait on the client.
        ASSERT_EQ(fcntl(pair[1], F_SETFL, O_NONBLOCK), 0);
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
        Carried carried;
        if (state == PendingRequest::State::complete) {
            makeConnectionTask(std::move(request), factory, carried)();
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
        if (c.out == "big --> ok\n") {
            // What the socket took, then the rest kept on a connection of its own.
            ASSERT_EQ(carried.replies.size(), 1u);
            const std::string early = readAvailable(client.get());
            EXPECT_FALSE(peerClosed(client.get())) << "the rest is still to come";
            EXPECT_TRUE(early + carried.replies[0].head + carried.replies[0].bytes ==
                        bufferMessage(bigReply));
            carried.replies.clear();
        }
        EXPECT_TRUE(carried.replies.empty());
        EXPECT_TRUE(peerClosed(client.get()));
    }
}

}  // namespace
