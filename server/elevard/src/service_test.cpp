// End-to-end tests of service mode: the built elevard runs as a child process inside a private
// mount namespace made by each test (a tmpfs on /tmp, an /etc/group of the test's choosing),
// so the machine's real socket path and group file are never touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acceptor.h"
#include "commands.h"
#include "connection_task.h"
#include "register_commands.h"
#include "service.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/domain_socket.h"
#include "velk_testing/messages.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/process_status.h"
#include "velk_testing/running_child.h"
#include "velk_testing/service_in_namespace.h"

namespace {

using namespace std::chrono_literals;
using velk::kit::ScopedFd;
namespace domain_socket = velk::system_commands::domain_socket;
using velk::testing::descriptorsOf;
using velk::testing::lengthField;
using velk::testing::procField;
using velk::testing::readUntilClosed;
using velk::testing::stillOpen;

const char* const kPath = velk::SystemCommands::kDomainSocket;
const std::string kStartLine =
    std::string("Starting elevard, using domain socket: ") + kPath + "\n";
// Generous limits that only catch a hang.
constexpr auto kHang = 30s;
// ThreadSanitizer's runtime starts one thread of its own along with the program's first.
#ifdef __SANITIZE_THREAD__
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif

// A client connection to the service, retried for `patience` while the service is still
// setting up its socket; an invalid one when nobody listens.
ScopedFd connectClient(std::chrono::milliseconds patience = kHang) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.valid() &&
            connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            // Only a guard against a hang: the tests never rely on this timeout firing.
            timeval timeout{static_cast<time_t>(kHang.count()), 0};
            setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            return fd;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return ScopedFd();
        }
        std::this_thread::sleep_for(10ms);
    }
}

// The service loop run in a forked child with one command made for the tests: "slow N" prints
// "started slow N", sleeps N milliseconds, then replies with the integer N.
int serveTestCommands(std::chrono::milliseconds stopGrace) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CommandsFactory factory;
    factory.reg(
        {"slow"}, {"milliseconds"},
        [](const std::string& line, int socket) {
            std::printf("started %s\n", line.c_str());
            const long milliseconds = std::stol(line.substr(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            return domain_socket::sendInt64(socket, milliseconds) ? Result::ok
                                                                  : Result::executionFailed;
        },
        false);
    return runService(factory, stopGrace);
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        // The build tree may itself lie under /tmp, which the namespace covers with a tmpfs.
        const std::string buildTree =
            std::filesystem::path(ELEVARD_BINARY).parent_path().parent_path().string();
        ASSERT_TRUE(velk::testing::enterPrivateMountNamespace(&error, {buildTree})) << error;
        // The machine's groups without any "quorvath", and a group id none of them uses.
        std::ifstream real("/etc/group");
        for (std::string line; std::getline(real, line);) {
            if (line.rfind("quorvath:", 0) != 0) {
                groups_ += line + "\n";
            }
        }
        while (groups_.find(":" + std::to_string(gid_) + ":") != std::string::npos) {
            ++gid_;
        }
    }

    // Shows the machine's groups, plus "quorvath" when asked, as /etc/group.
    void showGroupFile(bool withGroup) {
        std::string error;
        const std::string quorvath = "quorvath:x:" + std::to_string(gid_) + ":\n";
        ASSERT_TRUE(
            velk::testing::overlayFile("/etc/group", groups_ + (withGroup ? quorvath : ""), &error))
            << error;
    }

    // Starts elevard without arguments.
    void start(bool withGroup = true) {
        ASSERT_NO_FATAL_FAILURE(showGroupFile(withGroup));
        ASSERT_TRUE(service_.start({ELEVARD_BINARY}));
        ASSERT_TRUE(service_.waitForOutput(kStartLine, kHang)) << service_.err();
    }

    // Runs serveTestCommands in a child of this process and waits until it accepts.
    void startForked(std::chrono::milliseconds stopGrace = kStopGrace) {
        ASSERT_NO_FATAL_FAILURE(showGroupFile(true));
        ASSERT_TRUE(service_.startForked([stopGrace] { return serveTestCommands(stopGrace); }));
        ASSERT_TRUE(connectClient().valid()) << service_.err();
    }

    // Sends a line that no command matches and waits for its outcome line; once it is there,
    // everything sent before on a connection that is now closed has been dealt with.
    void expectServedMarker(const std::string& name) {
        const std::string line = "nosuch " + name;
        ScopedFd client = connectClient();
        ASSERT_TRUE(client.valid());
        EXPECT_TRUE(domain_socket::sendBuffer(client.get(), line.data(), line.size()));
        EXPECT_EQ(readUntilClosed(client.get()), "");
        EXPECT_TRUE(service_.waitForOutput("Command " + line + " not found\n", kHang))
            << service_.out();
    }

    std::string groups_;
    gid_t gid_ = 4242;
    velk::testing::RunningChild service_;
};

// The inherited umask must not decide the mode, whether wide open or closed. The first run,
// killed, leaves its socket file behind: the second must replace that stale file.
TEST_F(ServiceTest, PublishesTheSocketForTheGroupOnly) {
    for (mode_t mask : {0000, 0077}) {
        SCOPED_TRACE(mask);
        const mode_t previous = umask(mask);
        start();
        umask(previous);
        expectServedMarker("ready");
        struct stat info {};
        ASSERT_EQ(stat(kPath, &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0660u);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_EQ(info.st_gid, gid_);
        ASSERT_TRUE(service_.signal(SIGKILL));
        service_.wait(kHang);
        ASSERT_EQ(chmod(kPath, 0777), 0);
    }
}

// The workers run shell commands. A descriptor they inherited (a client's connection, say)
// would stay open until the command ends; an ignored signal would stay ignored in them, while
// a caught one is reset on exec.
TEST_F(ServiceTest, RunsSixteenWorkersThatPassNothingToShellCommands) {
    start();
    ScopedFd stalled = connectClient();
    ASSERT_TRUE(stalled.valid());
    const std::string proc = "/proc/" + std::to_string(service_.pid());
    EXPECT_EQ(procField(proc + "/status", "Threads"), "\t" + std::to_string(17 + kRuntimeThreads));
    // A shell command inherits the mask of the thread that starts it.
    std::vector<std::string> threadStatus;
    for (const auto& thread : std::filesystem::directory_iterator(proc + "/task")) {
        threadStatus.push_back(thread.path().string() + "/status");
    }
    // A thread runs with every signal blocked until it first gets a processor, which on a busy
    // machine may take a while after it was created; a mask that stays so is a fault. The
    // sanitizer runtime's own thread keeps them blocked.
    const unsigned long stopBits =
        (1UL << (SIGPIPE - 1)) | (1UL << (SIGTERM - 1)) | (1UL << (SIGINT - 1));
    const auto started = std::chrono::steady_clock::now();
    const size_t ours = threadStatus.size() - kRuntimeThreads;
    for (size_t settled = 0;
         settled < ours && std::chrono::steady_clock::now() - started < kHang;) {
        settled = 0;
        for (const std::string& status : threadStatus) {
            settled += (std::stoul(procField(status, "SigBlk"), nullptr, 16) & stopBits) == 0;
        }
        if (settled < ours) {
            std::this_thread::sleep_for(10ms);
        }
    }
    for (int signal : {SIGPIPE, SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        const unsigned long bit = 1UL << (signal - 1);
        EXPECT_NE(std::stoul(procField(proc + "/status", "SigCgt"), nullptr, 16) & bit, 0u);
        EXPECT_EQ(std::stoul(procField(proc + "/status", "SigIgn"), nullptr, 16) & bit, 0u);
        int blocking = 0;
        for (const std::string& status : threadStatus) {
            blocking += (std::stoul(procField(status, "SigBlk"), nullptr, 16) & bit) != 0;
        }
        EXPECT_LE(blocking, kRuntimeThreads);
    }

    // The listening socket and, once accepted, the stalled connection.
    std::vector<int> sockets;
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    while (sockets.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        sockets.clear();
        for (const auto& [fd, target] : descriptorsOf(service_.pid())) {
            if (target.rfind("socket:", 0) == 0) {
                sockets.push_back(fd);
            }
        }
    }
    ASSERT_EQ(sockets.size(), 2u);
    for (const auto& [fd, target] : descriptorsOf(service_.pid())) {
        if (fd <= STDERR_FILENO) {
            continue;
        }
        SCOPED_TRACE(target);
        const std::string flags = procField(proc + "/fdinfo/" + std::to_string(fd), "flags");
        ASSERT_FALSE(flags.empty());
        EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u);
    }
}

TEST_F(ServiceTest, EndsWhenTheGroupIsMissing) {
    start(false);
    velk::testing::ChildResult result = service_.wait(kHang);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, kStartLine);
    EXPECT_EQ(result.err.rfind("getgrnam failed: ", 0), 0u) << result.err;
}

// Each connection carries one line, taken as sent (a trailing newline included); the client
// never gets a reply, only the close. A request without a usable line runs and prints nothing,
// and the service goes on with no descriptor left behind.
TEST_F(ServiceTest, ServesOneLinePerConnection) {
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    start();
    expectServedMarker("ready");
    const size_t idleDescriptors = descriptorsOf(service_.pid()).size();
    auto message = [](const std::string& line) {
        return lengthField(static_cast<int64_t>(line.size())) + line;
    };
    const std::string longest = "nosuch " + std::string(65536 - 7, 'y');
    struct Case {
        const char* name;
        std::string bytes;
        std::string printed;
    };
    const Case cases[] = {
        {"unknown command", message("nosuch"), "Command nosuch not found\n"},
        {"trailing newline", message("nosuch arg\n"), "Command nosuch arg\n not found\n"},
        // help is direct: its text, and no outcome line after it.
        {"help", message("help"), factory.help() + "\n"},
        {"longest line", message(longest), "Command " + longest + " not found\n"},
        {"closes without sending", "", ""},
        {"zero length", lengthField(0), ""},
        {"negative length", lengthField(-6) + "nosuch", ""},
        {"length cut short", lengthField(6).substr(0, 3), ""},
        {"line cut short", lengthField(6) + "nos", ""},
        {"one byte over 64 KiB", lengthField(65537) + "nosuch " + std::string(65537 - 7, 'x'), ""},
        {"huge length", lengthField(INT64_MAX), ""},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = service_.out().size();
        ScopedFd client = connectClient();
        ASSERT_TRUE(client.valid());
        // One blocking send queues everything, unless the service refuses and closes first.
        send(client.get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        shutdown(client.get(), SHUT_WR);
        // The longest outcome line is more than a pipe holds: the service finishes printing
        // it, and closes, only while it is being read.
        EXPECT_TRUE(service_.waitForOutput(c.printed, kHang));
        EXPECT_EQ(readUntilClosed(client.get()), "");
        const std::string marker = "after " + std::to_string(++round);
        expectServedMarker(marker);
        EXPECT_EQ(service_.out().substr(before),
                  c.printed + "Command nosuch " + marker + " not found\n");
    }
    EXPECT_EQ(descriptorsOf(service_.pid()).size(), idleDescriptors);
}

// A client that connects and never sends is dropped 10 s after it was accepted; meanwhile
// other clients are served.
TEST_F(ServiceTest, ReleasesAStalledClientAfterTheTimeout) {
    start();
    ScopedFd stalled = connectClient();
    ASSERT_TRUE(stalled.valid());
    const auto connected = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        expectServedMarker("while stalled " + std::to_string(i));
        EXPECT_TRUE(stillOpen(stalled.get()));
    }
    EXPECT_EQ(readUntilClosed(stalled.get()), "");
    // Well below the 10 s timeout, so only an early close can fail this.
    EXPECT_GE(std::chrono::steady_clock::now() - connected, 8s);
    expectServedMarker("after the stalled client");
    EXPECT_EQ(service_.err(), "");
}

// Twenty clients trickle their lines a byte every half second, fast enough that no single
// read ever waits long, far too slowly to finish within 10 s. They must not keep anyone else
// waiting, and each is closed 10 s after it was accepted, its line never run.
TEST_F(ServiceTest, TricklingClientsNeitherDelayOthersNorOutliveTheirDeadline) {
    start();
    expectServedMarker("ready");
    const size_t idleDescriptors = descriptorsOf(service_.pid()).size();
    const std::string line = "nosuch " + std::string(37, 't');
    const std::string message = lengthField(static_cast<int64_t>(line.size())) + line;
    struct Trickler {
        ScopedFd fd;
        std::chrono::steady_clock::time_point connected;
        size_t sent = 0;
        std::optional<std::chrono::steady_clock::duration> closedAfter;
    };
    std::vector<Trickler> tricklers(20);
    for (Trickler& t : tricklers) {
        t.fd = connectClient();
        ASSERT_TRUE(t.fd.valid());
        t.connected = std::chrono::steady_clock::now();
        t.sent = send(t.fd.get(), message.data(), 1, MSG_NOSIGNAL) == 1 ? 1 : 0;
    }
    for (int i = 0; i < 3; ++i) {
        expectServedMarker("beside the tricklers " + std::to_string(i));
    }
    for (Trickler& t : tricklers) {
        EXPECT_TRUE(stillOpen(t.fd.get()));
    }
    const auto giveUp = std::chrono::steady_clock::now() + kHang;
    size_t open = tricklers.size();
    while (open > 0 && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(500ms);
        for (Trickler& t : tricklers) {
            if (t.closedAfter) {
                continue;
            }
            if (!stillOpen(t.fd.get())) {
                t.closedAfter = std::chrono::steady_clock::now() - t.connected;
                --open;
            } else if (send(t.fd.get(), message.data() + t.sent, 1, MSG_NOSIGNAL) == 1) {
                ++t.sent;
            }
        }
    }
    for (const Trickler& t : tricklers) {
        ASSERT_TRUE(t.closedAfter.has_value());
        // Only an early close can fail this: the deadline counts from the accept, which
        // follows the connect.
        EXPECT_GE(*t.closedAfter, 9500ms);
        EXPECT_LT(t.sent, message.size());
    }
    EXPECT_EQ(descriptorsOf(service_.pid()).size(), idleDescriptors);
}

// The first SIGTERM or SIGINT removes the socket at once and closes a connection still sending
// its line; the command already running finishes and replies, and the service exits with 0. A
// second signal, or a command that outlasts the grace period, ends it at once without a reply.
TEST_F(ServiceTest, StopsCleanlyOnASignalAndAtOnceOnASecond) {
    const std::string forced = "Stopping at once, 1 requests unfinished: ";
    struct Case {
        const char* name;
        std::vector<int> signals;
        std::chrono::milliseconds grace;
        long milliseconds;  // how long the running command takes
        std::string err;    // empty for a clean stop
    };
    const Case cases[] = {
        {"one signal", {SIGTERM}, kStopGrace, 3000, ""},
        // A grace period beyond the hang guard: only the second signal can end it in time.
        {"second signal", {SIGTERM, SIGINT}, 10min, 600000, forced + "a second stop signal\n"},
        {"grace period",
         {SIGINT},
         1s,
         600000,
         forced + "requests still unfinished after the grace period\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startForked(c.grace);
        ScopedFd sending = connectClient();
        ASSERT_TRUE(sending.valid());
        ASSERT_EQ(send(sending.get(), lengthField(20).data(), 3, MSG_NOSIGNAL), 3);
        ScopedFd slow = connectClient();
        ASSERT_TRUE(slow.valid());
        const std::string line = "slow " + std::to_string(c.milliseconds);
        ASSERT_TRUE(domain_socket::sendBuffer(slow.get(), line.data(), line.size()));
        ASSERT_TRUE(service_.waitForOutput("started " + line + "\n", kHang));
        for (int signal : c.signals) {
            ASSERT_TRUE(service_.signal(signal));
        }
        EXPECT_EQ(readUntilClosed(sending.get()), "");
        if (c.signals.size() == 1) {
            EXPECT_TRUE(stillOpen(slow.get())) << "the sender must go at the signal, not at exit";
            EXPECT_FALSE(connectClient(0ms).valid());
        }
        long value = 0;
        EXPECT_EQ(domain_socket::readInt64(slow.get(), &value), c.err.empty());
        EXPECT_EQ(readUntilClosed(slow.get()), "");
        const velk::testing::ChildResult result = service_.wait(kHang);
        EXPECT_EQ(result.exitStatus, c.err.empty() ? 0 : kForcedStopStatus);
        EXPECT_EQ(result.err, c.err);
        if (c.err.empty()) {
            EXPECT_EQ(value, c.milliseconds);
            EXPECT_NE(result.out.find(line + " --> ok\n"), std::string::npos) << result.out;
        }
        struct stat info {};
        EXPECT_EQ(stat(kPath, &info), -1);
    }
}

// With no descriptor left for a new connection, accept fails at once for as long as the
// connection waits; the loop must pause between attempts instead of flooding standard error.
TEST_F(ServiceTest, PausesWhileDescriptorsRunOut) {
    start();
    expectServedMarker("ready");
    // A new descriptor takes the lowest free number; a limit at that number leaves none.
    const std::map<int, std::string> used = descriptorsOf(service_.pid());
    int lowestFree = 0;
    while (used.count(lowestFree) != 0) {
        ++lowestFree;
    }
    rlimit original{};
    ASSERT_EQ(prlimit(service_.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    const rlimit exhausted{static_cast<rlim_t>(lowestFree), original.rlim_max};
    ASSERT_EQ(prlimit(service_.pid(), RLIMIT_NOFILE, &exhausted, nullptr), 0);

    ScopedFd waiting = connectClient();
    ASSERT_TRUE(waiting.valid());
    const std::string line = "nosuch waited";
    ASSERT_TRUE(domain_socket::sendBuffer(waiting.get(), line.data(), line.size()));
    const std::string failure = "accept: Too many open files\n";
    ASSERT_TRUE(service_.waitForError(failure, kHang));
    service_.collectFor(1s);
    size_t failures = 0;
    for (size_t at = service_.err().find(failure); at != std::string::npos;
         at = service_.err().find(failure, at + 1)) {
        ++failures;
    }
    // About 20 a second with the pause; a loop without one makes tens of thousands.
    EXPECT_LE(failures, 100u);

    ASSERT_EQ(prlimit(service_.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
    EXPECT_EQ(readUntilClosed(waiting.get()), "");
    EXPECT_TRUE(service_.waitForOutput("Command " + line + " not found\n", kHang));
}

// Run in this process: binding does not leave the process umask changed. (Close-on-exec of
// the listening socket and of connections is checked on the running service.)
TEST_F(ServiceTest, AcceptorRestoresTheUmask) {
    showGroupFile(true);
    const mode_t previous = umask(0022);
    Acceptor acceptor;
    const bool bound = acceptor.bind();
    const mode_t after = umask(previous);
    EXPECT_TRUE(bound);
    EXPECT_EQ(after, 0022u);
}

}  // namespace
