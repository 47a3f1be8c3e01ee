// The built elevard-client run against a scripted stand-in for the service listening in a
// scratch folder.

#include "run_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "elevard/protocol.h"
#include "elevard/wire/domain_socket.h"
#include "velk/kit/scoped_fd.h"
#include "velk_testing/child_process.h"
#include "velk_testing/messages.h"
#include "velk_testing/scratch_dir.h"
#include "velk_testing/service_in_namespace.h"

namespace {

namespace ds = elevard::wire;
using velk::kit::ScopedFd;
using Reply = std::function<void(int)>;
using velk::testing::bufferMessage;
using velk::testing::lengthField;

ScopedFd boundSocket(const std::string& path) {
    ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "bind " << path << ": " << std::strerror(errno);
    }
    return fd;
}

void* growString(void* context, long length) {
    auto* text = static_cast<std::string*>(context);
    text->resize(static_cast<size_t>(length));
    return text->data();
}

Reply integer(long value) {
    return [value](int s) { ds::sendInt64(s, value); };
}
Reply buffer(const std::string& payload) {
    return
        [payload](int s) { ds::sendBuffer(s, payload.data(), static_cast<long>(payload.size())); };
}
Reply raw(const std::string& bytes) {
    return [bytes](int s) {
        EXPECT_EQ(send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    };
}
Reply nothing() {
    return [](int) {};
}
// Holds the connection open until the client gives up.
Reply untilClosed() {
    return [](int s) {
        char byte;
        while (recv(s, &byte, 1, 0) > 0) {
        }
    };
}

struct ClientRun {
    velk::testing::ChildResult child;
    std::string line = "(none)";  // the command line the service received
};

// Runs the client against a stand-in service of the user `listenerUid` that accepts one
// connection, reads its command line and answers with `reply`.
ClientRun runAgainst(const std::vector<std::string>& args, const Reply& reply,
                     uid_t listenerUid = 0) {
    velk::testing::ScratchDir scratch;
    std::string path = scratch.file("sock");
    ScopedFd listener = velk::testing::listenAs(path, listenerUid);
    EXPECT_TRUE(listener.valid());
    int stop[2];
    EXPECT_EQ(pipe2(stop, O_CLOEXEC), 0);
    ScopedFd stopRead(stop[0]);
    ScopedFd stopWrite(stop[1]);
    ClientRun run;
    std::thread service([&] {
        // End of stream on stopRead means the client has ended without connecting.
        pollfd watch[2] = {{listener.get(), POLLIN, 0}, {stopRead.get(), POLLIN, 0}};
        if (poll(watch, 2, 60000) <= 0 || (watch[0].revents & POLLIN) == 0) {
            return;
        }
        ScopedFd connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        run.line.clear();
        if (!ds::readBuffer(connection.get(), growString, &run.line)) {
            run.line = "(unreadable)";
            return;
        }
        reply(connection.get());
    });
    std::vector<std::string> argv = {ELEVARD_CLIENT_BINARY, "--socket", path};
    argv.insert(argv.end(), args.begin(), args.end());
    run.child = velk::testing::runChild(argv);
    stopWrite.reset();
    service.join();
    return run;
}

TEST(ClientExchangeTest, SendsTheLineAndShowsEachReplyKind) {
    velk::testing::ScratchDir scratch;
    ASSERT_TRUE(scratch.write("movie", "frame data\n"));
    // The client names the file it received by its real path.
    const std::string movie = std::filesystem::canonical(scratch.file("movie"));
    Reply passFile = [movie](int s) {
        EXPECT_TRUE(ds::sendFd(s, open(movie.c_str(), O_RDONLY | O_CLOEXEC)));
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        Reply reply;
        std::string line;
        std::string out;
        int status;
    };
    const std::string stat = velk::testing::statRecord(true, 1, 4096);
    const std::string dmi = bufferMessage("P1P2") + bufferMessage("S1");
    // The length arrives in two pieces: the client must wait for the rest, not judge 3 bytes.
    Reply inPieces = [](int s) {
        std::string wire = bufferMessage("/d1");
        ASSERT_EQ(send(s, wire.data(), 3, MSG_NOSIGNAL), 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(send(s, wire.data() + 3, 8, MSG_NOSIGNAL), 8);
    };
    const Case cases[] = {
        {"int", {"mv", "/a b", ""}, integer(1), "mv '/a b' ''", "1\n", 0},
        {"int failed",
         {"mount", "//s", "/m"},
         integer(1),
         "mount //s /m",
         "permissionDenied (1)\n",
         1},
        {"limit", {"setFdLimit", "1", "4096"}, integer(4096), "setFdLimit 1 4096", "4096\n", 0},
        {"stat", {"stat", "/d"}, buffer(stat), "stat /d", "exists=1 type=directory size=4096\n", 0},
        {"list", {"list", "/d"}, buffer("/a,5,0,/s,0,1,"), "list /d", "/a\t5\t0\n/s\t0\t1\n", 0},
        {"list empty", {"list", "/d"}, buffer(""), "list /d", "", 0},
        {"devicePath", {"devicePath", "/"}, buffer("/dev/sda1"), "devicePath /", "/dev/sda1\n", 0},
        {"devicePath empty", {"devicePath", "/"}, buffer(""), "devicePath /", "", 1},
        {"length in pieces", {"devicePath", "/"}, inPieces, "devicePath /", "/d1\n", 0},
        {"dmiInfo", {"dmiInfo"}, buffer(dmi), "dmiInfo", "P1P2\nS1\n", 0},
        {"json",
         {"--json", "umount", "/m"},
         integer(2),
         "umount /m",
         "{\"command\":\"umount\",\"value\":2,\"result\":\"notExists\",\"success\":false}\n",
         1},
        {"help", {"help"}, nothing(), "help", "", 3},
        {"install",
         {"install", "/p.deb", "force-conflicts"},
         nothing(),
         "install /p.deb force-conflicts",
         "",
         3},
        {"raw", {"--raw", "dmiInfo"}, buffer(""), "dmiInfo", "00 00 00 00 00 00 00 00\n", 1},
        // A failed open on the service's side sends nothing: sendFd of -1 fails before any byte.
        {"open failed", {"open", "/nope", "0"}, nothing(), "open /nope 0", "", 1},
        {"open", {"open", movie, "0"}, passFile, "open " + movie + " 0", movie + "\n", 0},
        {"open with --cat",
         {"--cat", "--raw", "open", movie, "0"},
         passFile,
         "open " + movie + " 0",
         movie + "\nframe data\n",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientRun run = runAgainst(c.args, c.reply);
        EXPECT_EQ(run.line, c.line);
        EXPECT_EQ(run.child.out, c.out);
        EXPECT_EQ(run.child.exitStatus, c.status) << run.child.err;
    }
}

// A reply that is missing or broken, and a line that cannot be sent, which must never reach
// the service.
TEST(ClientExchangeTest, FailuresExitWithTwo) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        Reply reply;
        const char* message;
        uid_t listener = 0;
    };
    const Case cases[] = {
        {"closed before an int", {"exists", "/x"}, nothing(), "no reply"},
        {"closed before a buffer", {"list", "/x"}, nothing(), "no reply"},
        {"raw without reply", {"--raw", "stat", "/x"}, nothing(), "no reply"},
        {"length cut short", {"list", "/x"}, raw(lengthField(5).substr(0, 3)), "malformed"},
        {"payload cut short", {"list", "/x"}, raw(lengthField(5) + "ab"), "malformed"},
        {"negative length", {"list", "/x"}, raw(lengthField(-1)), "malformed"},
        {"int of wrong length", {"exists", "/x"}, buffer("abc"), "malformed"},
        {"short status record", {"stat", "/x"}, buffer("abc"), "malformed"},
        {"stalled", {"--timeout", "1", "exists", "/x"}, untilClosed(), "timeout"},
        {"no path", {"mkdir"}, nullptr, "missing argument"},
        {"no gid", {"chown", "/p", "1"}, nullptr, "missing argument"},
        {"quote", {"mkdir", "it's mine"}, nullptr, "single quote"},
        {"mode not a number", {"open", "/f", "rw"}, nullptr, "not a number"},
        {"option after the command", {"exists", "/x", "--timeout", "5"}, nullptr, "after the"},
        {"unknown", {"frob", "x"}, nullptr, "unknown command frob"},
        {"unknown in another case", {"Exists", "/x"}, nullptr, "did you mean exists?"},
        {"extra words", {"exists", "/tmp", "extra", "words"}, nullptr, "too many arguments"},
        {"listener of another user",
         {"mount", "//s/x", "/m", "u", "pw"},
         nothing(),
         "is served by uid 65534, neither root nor this user; nothing was sent",
         65534},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientRun run = runAgainst(c.args, c.reply ? c.reply : nothing(), c.listener);
        EXPECT_EQ(run.child.exitStatus, 2);
        EXPECT_EQ(run.child.out, "");
        EXPECT_NE(run.child.err.find(c.message), std::string::npos) << run.child.err;
        if (!c.reply) {
            EXPECT_EQ(run.line, "(none)") << "the client must not connect";
        }
        if (c.listener != 0) {
            EXPECT_EQ(run.line, "(unreadable)") << "the client must send nothing";
        }
    }
}

TEST(ClientExchangeTest, RefusedConnectionExitsWithTwo) {
    velk::testing::ScratchDir scratch;
    std::string path = scratch.file("sock");
    ScopedFd notListening = boundSocket(path);
    for (const std::string& socketPath : {path, scratch.file("absent")}) {
        SCOPED_TRACE(socketPath);
        velk::testing::ChildResult child =
            velk::testing::runChild({ELEVARD_CLIENT_BINARY, "--socket", socketPath, "help"});
        EXPECT_EQ(child.exitStatus, 2);
        EXPECT_NE(child.err.find("cannot connect to " + socketPath), std::string::npos)
            << child.err;
    }
}

TEST(ClientExchangeTest, HelpNeedsNoService) {
    velk::testing::ChildResult child = velk::testing::runChild({ELEVARD_CLIENT_BINARY, "--help"});
    EXPECT_EQ(child.exitStatus, 0);
    EXPECT_EQ(child.out.rfind("Usage: elevard-client [--socket PATH] [--timeout SECONDS]", 0), 0u);
    EXPECT_NE(child.out.find("Exit status:"), std::string::npos);
    for (const elevard::CommandInfo& command : elevard::kCommands) {
        for (const char* name : {command.name, command.alias}) {
            if (name == nullptr) {
                continue;
            }
            SCOPED_TRACE(name);
            // Each command's line is followed by an indented description of its reply.
            size_t at = child.out.find(std::string("\n  ") + name);
            ASSERT_NE(at, std::string::npos);
            EXPECT_EQ(child.out.find('\n', at + 1) + 1, child.out.find("\n      ", at + 1) + 1);
        }
    }
}

}  // namespace
