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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "acceptor.h"
#include "commands.h"
#include "register_commands.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/domain_socket.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/running_child.h"

namespace {

using namespace std::chrono_literals;
using velk::kit::ScopedFd;
namespace domain_socket = velk::system_commands::domain_socket;

const char* const kPath = velk::SystemCommands::kDomainSocket;
const std::string kStartLine =
    std::string("Starting elevard, using domain socket: ") + kPath + "\n";
// Generous limits that only catch a hang.
constexpr auto kHang = 30s;

// A client connection to the service, retried while the service is still setting up its
// socket; an invalid one when nobody listens.
ScopedFd connectClient() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
    const auto deadline = std::chrono::steady_clock::now() + kHang;
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

// The bytes of one buffer message header: the length in host byte order.
std::string header(int64_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

// Reads until the service closes the connection. Returns the reply bytes that came before,
// or "<still open>" when the hang guard ran out first.
std::string readUntilClosed(int fd) {
    std::string reply;
    for (;;) {
        char buffer[256];
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            reply.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno == ECONNRESET) {
            return reply;
        } else if (errno != EINTR) {
            return "<still open>";
        }
    }
}

// True while the service still holds the connection open.
bool stillOpen(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// The descriptors open in process `pid`, each with what it refers to ("socket:[...]", a path).
std::map<int, std::string> descriptorsOf(pid_t pid) {
    std::map<int, std::string> found;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ignored;  // a descriptor closed meanwhile just shows no target
        found[std::stoi(entry.path().filename().string())] =
            std::filesystem::read_symlink(entry.path(), ignored).string();
    }
    return found;
}

// The value of the "`field`:" line of a /proc file such as status or fdinfo/<n>, with the
// blanks that follow the colon.
std::string procField(const std::string& file, const std::string& field) {
    std::ifstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return line.substr(field.size() + 1);
        }
    }
    return {};
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

// The workers run shell commands. A socket they inherited would keep a client's connection
// open until the command ends; an ignored broken-pipe signal would stay ignored in them, while
// a caught one is reset on exec.
TEST_F(ServiceTest, RunsSixteenWorkersThatPassNothingToShellCommands) {
    start();
    ScopedFd stalled = connectClient();
    ASSERT_TRUE(stalled.valid());
    const std::string proc = "/proc/" + std::to_string(service_.pid());
    EXPECT_EQ(procField(proc + "/status", "Threads"), "\t17");
    const unsigned long pipeBit = 1UL << (SIGPIPE - 1);
    EXPECT_NE(std::stoul(procField(proc + "/status", "SigCgt"), nullptr, 16) & pipeBit, 0u);
    EXPECT_EQ(std::stoul(procField(proc + "/status", "SigIgn"), nullptr, 16) & pipeBit, 0u);

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
    for (int fd : sockets) {
        SCOPED_TRACE(fd);
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
// and the service goes on.
TEST_F(ServiceTest, ServesOneLinePerConnection) {
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    start();
    auto message = [](const std::string& line) {
        return header(static_cast<int64_t>(line.size())) + line;
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
        {"zero length", header(0), ""},
        {"one byte over 64 KiB", header(65537) + "nosuch " + std::string(65537 - 7, 'x'), ""},
        {"huge length", header(INT64_MAX), ""},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = service_.out().size();
        ScopedFd client = connectClient();
        ASSERT_TRUE(client.valid());
        // One blocking send queues everything, unless the service refuses and closes first.
        send(client.get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        if (c.bytes.empty()) {
            shutdown(client.get(), SHUT_WR);
        }
        // The longest outcome line is more than a pipe holds: the service finishes printing
        // it, and closes, only while it is being read.
        EXPECT_TRUE(service_.waitForOutput(c.printed, kHang));
        EXPECT_EQ(readUntilClosed(client.get()), "");
        const std::string marker = "after " + std::to_string(++round);
        expectServedMarker(marker);
        EXPECT_EQ(service_.out().substr(before),
                  c.printed + "Command nosuch " + marker + " not found\n");
    }
}

// A client that connects and never sends is dropped after the receive timeout; meanwhile
// other clients are served by the idle workers.
TEST_F(ServiceTest, ReleasesAStalledClientAfterTheTimeout) {
    start();
    ScopedFd stalled = connectClient();
    ASSERT_TRUE(stalled.valid());
    const auto connected = std::chrono::steady_clock::now();
    // The first client may be posted before the stalled connection has left its worker's
    // queue; the later ones find it executing there.
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
