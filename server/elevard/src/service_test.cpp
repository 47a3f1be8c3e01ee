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
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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

// The machine's group file without any "quorvath" entry, plus one with `gid` when asked.
std::string groupFile(bool withGroup, gid_t gid) {
    std::ifstream real("/etc/group");
    std::string content, line;
    while (std::getline(real, line)) {
        if (line.rfind("quorvath:", 0) != 0) {
            content += line + "\n";
        }
    }
    if (withGroup) {
        content += "quorvath:x:" + std::to_string(gid) + ":\n";
    }
    return content;
}

// A group id that the machine's group file does not use.
gid_t unusedGid() {
    std::ifstream real("/etc/group");
    std::string content((std::istreambuf_iterator<char>(real)), std::istreambuf_iterator<char>());
    gid_t gid = 4242;
    while (content.find(":x:" + std::to_string(gid) + ":") != std::string::npos) {
        ++gid;
    }
    return gid;
}

// A client connection to the service, or an invalid one when nobody listens.
ScopedFd connectOnce() {
    ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
    if (!fd.valid() ||
        connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return ScopedFd();
    }
    // Only a guard against a hang: the tests never rely on this timeout firing.
    timeval timeout{static_cast<time_t>(kHang.count()), 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Writes raw bytes; a service that already closed the connection makes this stop early.
void sendRaw(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
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

std::string procStatusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
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
        gid_ = unusedGid();
    }

    // Shows a group file with or without "quorvath" and starts elevard without arguments.
    void start(bool withGroup = true) {
        std::string error;
        ASSERT_TRUE(velk::testing::overlayFile("/etc/group", groupFile(withGroup, gid_), &error))
            << error;
        ASSERT_TRUE(service_.start({ELEVARD_BINARY}));
        ASSERT_TRUE(service_.waitForOutput(kStartLine, kHang)) << service_.err();
    }

    // Connects, retrying while the service is still setting up its socket.
    ScopedFd connectClient() {
        const auto deadline = std::chrono::steady_clock::now() + kHang;
        for (;;) {
            ScopedFd fd = connectOnce();
            if (fd.valid() || std::chrono::steady_clock::now() > deadline) {
                return fd;
            }
            std::this_thread::sleep_for(10ms);
        }
    }

    // Sends `line` as one request and returns what came back before the service closed the
    // connection.
    std::string request(const std::string& line) {
        ScopedFd client = connectClient();
        EXPECT_TRUE(client.valid());
        EXPECT_TRUE(domain_socket::sendBuffer(client.get(), line.data(), line.size()));
        return readUntilClosed(client.get());
    }

    // Sends a line that no command matches and waits for its outcome line; once it is there,
    // everything sent before on a connection that is now closed has been dealt with.
    void expectServedMarker(const std::string& name) {
        const std::string line = "nosuch " + name;
        EXPECT_EQ(request(line), "");
        EXPECT_TRUE(service_.waitForOutput("Command " + line + " not found\n", kHang))
            << service_.out();
    }

    gid_t gid_ = 0;
    velk::testing::RunningChild service_;
};

TEST_F(ServiceTest, PublishesTheSocketForTheGroupOnly) {
    // The inherited umask must not decide the mode, whether wide open or closed.
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
    }
}

// Broken pipes are caught, not ignored: an ignored signal would stay ignored in the shell
// commands the service starts.
TEST_F(ServiceTest, RunsSixteenWorkersAndCatchesBrokenPipes) {
    start();
    expectServedMarker("ready");
    EXPECT_EQ(procStatusField(service_.pid(), "Threads"), "\t17");
    const unsigned long pipeBit = 1UL << (SIGPIPE - 1);
    EXPECT_NE(std::stoul(procStatusField(service_.pid(), "SigCgt"), nullptr, 16) & pipeBit, 0u);
    EXPECT_EQ(std::stoul(procStatusField(service_.pid(), "SigIgn"), nullptr, 16) & pipeBit, 0u);
}

// The workers run shell commands; a socket inherited by one of them would keep a client's
// connection open until that command ends.
TEST_F(ServiceTest, SocketsAreCloseOnExec) {
    start();
    ScopedFd stalled = connectClient();
    ASSERT_TRUE(stalled.valid());
    const std::string fdDir = "/proc/" + std::to_string(service_.pid()) + "/fd";
    auto sockets = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(fdDir)) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(entry.path(), ignored).string().rfind("socket:", 0) ==
                0) {
                found.push_back(entry.path().filename().string());
            }
        }
        return found;
    };
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    while (sockets().size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const std::vector<std::string> found = sockets();
    ASSERT_EQ(found.size(), 2u);  // the listening socket and the stalled connection
    for (const std::string& fd : found) {
        SCOPED_TRACE(fd);
        std::ifstream info("/proc/" + std::to_string(service_.pid()) + "/fdinfo/" + fd);
        std::string key, flags;
        while (info >> key >> flags && key != "flags:") {
        }
        ASSERT_EQ(key, "flags:");
        EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u);
    }
}

TEST_F(ServiceTest, ReplacesAStaleSocketFile) {
    {
        ScopedFd stale(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
        ASSERT_EQ(bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(chmod(kPath, 0777), 0);
    }
    start();
    expectServedMarker("after stale");
    struct stat info {};
    ASSERT_EQ(stat(kPath, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
}

TEST_F(ServiceTest, EndsWhenTheGroupIsMissing) {
    start(false);
    velk::testing::ChildResult result = service_.wait(kHang);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, kStartLine);
    EXPECT_EQ(result.err.rfind("getgrnam failed: ", 0), 0u) << result.err;
}

// Requests that carry no usable command line: the connection is closed, nothing runs and
// nothing is printed, and the service goes on.
TEST_F(ServiceTest, ClosesConnectionsWithoutACommandLine) {
    start();
    expectServedMarker("ready");
    struct Case {
        const char* name;
        std::string bytes;
        bool closeFirst;  // the client closes its side before looking for the service's close
    };
    const std::string tooLong = "nosuch " + std::string(65537 - 7, 'x');
    const Case cases[] = {
        {"closes without sending", "", true},
        {"zero length", header(0), false},
        {"negative length", header(-5) + "nosuch", false},
        {"length cut short", header(7).substr(0, 3), true},
        {"payload cut short", header(20) + "nosuch", true},
        {"one byte over 64 KiB", header(65537) + tooLong, false},
        {"huge length", header(INT64_MAX), false},
        {"length beyond memory", header(int64_t{1} << 40), false},
    };
    std::string expected = service_.out();
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedFd client = connectClient();
        ASSERT_TRUE(client.valid());
        sendRaw(client.get(), c.bytes);
        if (c.closeFirst) {
            shutdown(client.get(), SHUT_WR);
        }
        EXPECT_EQ(readUntilClosed(client.get()), "");
        client.reset();
        const std::string marker = "after " + std::to_string(++round);
        expectServedMarker(marker);
        expected += "Command nosuch " + marker + " not found\n";
        EXPECT_EQ(service_.out(), expected);
    }
}

TEST_F(ServiceTest, ServesTheLongestCommandLine) {
    start();
    const std::string longest = "nosuch " + std::string(65536 - 7, 'y');
    ScopedFd client = connectClient();
    ASSERT_TRUE(client.valid());
    sendRaw(client.get(), header(65536) + longest);
    // The outcome line is longer than a pipe holds: read it before the service can close.
    EXPECT_TRUE(service_.waitForOutput("Command " + longest + " not found\n", kHang));
    EXPECT_EQ(readUntilClosed(client.get()), "");
}

// A line is taken as sent: nothing is stripped, a trailing newline included.
TEST_F(ServiceTest, ReportsUnknownCommandsWithTheWholeLine) {
    start();
    const char* const lines[] = {"nosuch", "nosuch arg\n", "nosuch 'a b'  \n", "Help"};
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        EXPECT_EQ(request(line), "");
        EXPECT_TRUE(service_.waitForOutput(std::string("Command ") + line + " not found\n", kHang))
            << service_.out();
    }
}

// help is a direct command: its text goes to standard output, no outcome line follows and the
// client gets no reply.
TEST_F(ServiceTest, PrintsHelpSentThroughTheSocket) {
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    start();
    EXPECT_EQ(request("help"), "");
    expectServedMarker("after help");
    EXPECT_EQ(service_.out(),
              kStartLine + factory.help() + "\n" + "Command nosuch after help not found\n");
}

// A client that connects and never sends is dropped after the receive timeout; meanwhile
// other clients are served by the idle workers.
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

// With no descriptor left for a new connection, accept fails at once for as long as the
// connection waits; the loop must pause between attempts instead of flooding standard error.
TEST_F(ServiceTest, PausesWhileDescriptorsRunOut) {
    start();
    expectServedMarker("ready");
    // A new descriptor takes the lowest free number; a limit at that number leaves none.
    std::set<int> used;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(service_.pid()) + "/fd")) {
        used.insert(std::stoi(entry.path().filename().string()));
    }
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

// Run in this process: binding does not leave the process umask changed.
TEST_F(ServiceTest, AcceptorRestoresTheUmask) {
    std::string error;
    ASSERT_TRUE(velk::testing::overlayFile("/etc/group", groupFile(true, gid_), &error)) << error;
    const mode_t previous = umask(0022);
    Acceptor acceptor;
    const bool bound = acceptor.bind();
    const mode_t after = umask(previous);
    ASSERT_TRUE(bound);
    EXPECT_EQ(after, 0022u);
    EXPECT_NE(fcntl(acceptor.descriptor(), F_GETFD) & FD_CLOEXEC, 0);
    ScopedFd client = connectOnce();
    ASSERT_TRUE(client.valid());
    ScopedFd connection(acceptor.accept());
    ASSERT_TRUE(connection.valid());
    EXPECT_NE(fcntl(connection.get(), F_GETFD) & FD_CLOEXEC, 0);
}

}  // namespace
