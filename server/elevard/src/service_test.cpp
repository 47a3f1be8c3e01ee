// End-to-end tests of service mode: the built elevard runs as a child process inside a private
// mount namespace made by each test (a tmpfs on /tmp, an /etc/group of the test's choosing),
// so the machine's real socket path and group file are never touched.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acceptor.h"
#include "commands.h"
#include "service.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/domain_socket.h"
#include "velk/system_commands/mount_staging.h"
#include "velk/system_commands/program_run.h"
#include "velk_testing/child_process.h"
#include "velk_testing/messages.h"
#include "velk_testing/process_status.h"
#include "velk_testing/running_child.h"
#include "velk_testing/service_in_namespace.h"

namespace {

using namespace std::chrono_literals;
using namespace velk::testing;
using velk::kit::ScopedFd;
namespace domain_socket = velk::system_commands::domain_socket;
using velk::system_commands::detail::kStagingRoot;

const char* const kPath = velk::SystemCommands::kDomainSocket;
// Generous limits that only catch a hang.
constexpr auto kHang = 30s;
// ThreadSanitizer's runtime starts one thread of its own along with the program's first.
#ifdef __SANITIZE_THREAD__
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif

constexpr long kBigReply = 4 << 20;

// The service loop run in a forked child with one command made for the tests: "slow N" prints
// "started slow N", sleeps N milliseconds, then replies with the integer N.
int serveTestCommands(std::chrono::milliseconds stopGrace) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CommandsFactory factory;
    factory.reg(
        {"slow"}, {"milliseconds"},
        [](const std::string& line, int) {
            std::printf("started %s\n", line.c_str());
            const long milliseconds = std::stol(line.substr(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            return CommandOutcome(Result::ok, domain_socket::integerReply(milliseconds));
        },
        false);
    // "spawn N" runs a shell for at most N milliseconds that writes its own pid and its child's
    // to /tmp/spawned and waits for that child; then it replies with N.
    factory.reg(
        {"spawn"}, {"milliseconds"},
        [](const std::string& line, int) {
            std::printf("started %s\n", line.c_str());
            const long milliseconds = std::stol(line.substr(6));
            velk::system_commands::detail::ProgramRun run;
            run.program = "/bin/sh";
            run.arguments = {"-c", "sleep 600 & echo $$ $! > /tmp/spawned; wait"};
            run.environment = {"PATH=/usr/bin:/bin"};
            run.deadline = std::chrono::milliseconds(milliseconds);
            std::string failure;
            velk::system_commands::detail::runProgram(run, {}, &failure);
            return CommandOutcome(Result::ok, domain_socket::integerReply(milliseconds));
        },
        false);
    // "big N" sleeps N milliseconds, then replies with kBigReply bytes: more than the
    // connection takes at once, so the rest is handed over to the loop.
    factory.reg(
        {"big"}, {"milliseconds"},
        [](const std::string& line, int) {
            std::printf("started %s\n", line.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(line.substr(4))));
            return CommandOutcome(Result::ok,
                                  domain_socket::bufferReply(std::string(kBigReply, 'r')));
        },
        false);
    return runService(factory, stopGrace);
}

// A datagram socket bound at `path`, standing in for systemd's notification or journal socket.
ScopedFd datagramSocket(const std::string& path) {
    ScopedFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

// The next datagram on `fd`, or "<none>" when none comes within the hang guard.
std::string receiveDatagram(int fd) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, std::chrono::milliseconds(kHang).count()) != 1) {
        return "<none>";
    }
    std::string datagram(256 * 1024, '\0');
    const ssize_t got = recv(fd, datagram.data(), datagram.size(), 0);
    datagram.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return datagram;
}

// The fields of a journal entry whose values hold no newline: "NAME=value" lines.
std::map<std::string, std::string> journalFields(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    std::istringstream lines(datagram);
    for (std::string line; std::getline(lines, line);) {
        fields[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return fields;
}

// Whether `path` is the root of a mount of its own: it then lies on another device than its
// parent folder.
bool isMountPoint(const std::string& path) {
    struct stat self {};
    struct stat parent {};
    return stat(path.c_str(), &self) == 0 && stat((path + "/..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(enterServiceNamespace(ELEVARD_BINARY, &error)) << error;
    }

    // Starts elevard without arguments.
    void start() {
        std::string error;
        ASSERT_TRUE(startService(ELEVARD_BINARY, {}, &service_, &error)) << error;
    }

    // Runs serveTestCommands in a child of this process and waits until it accepts.
    void startForked(std::chrono::milliseconds stopGrace) {
        ASSERT_TRUE(service_.startForked([stopGrace] { return serveTestCommands(stopGrace); }));
        ASSERT_TRUE(connectWhenListening(kPath).valid()) << service_.err();
    }

    // Sends a line that no command matches and waits for its outcome line; once it is there,
    // everything sent before on a connection that is now closed has been dealt with.
    void expectServedMarker(const std::string& name) {
        EXPECT_NE(awaitMarker(&service_, kPath, name), "") << service_.out();
    }

    RunningChild service_;
};

// The inherited umask must not decide the mode, whether wide open or closed. The first run,
// killed, leaves its socket file behind: the second must replace that stale file.
TEST_F(ServiceTest, PublishesTheSocketForTheGroupOnly) {
    const group* quorvath = getgrnam("quorvath");
    ASSERT_NE(quorvath, nullptr);
    const gid_t gid = quorvath->gr_gid;
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
        EXPECT_EQ(info.st_gid, gid);
        ASSERT_TRUE(service_.signal(SIGKILL));
        service_.wait(kHang);
        ASSERT_EQ(chmod(kPath, 0777), 0);
    }
}

// A second service started beside a running one leaves its socket file and the staging mounts
// of the first's mounts in progress alone, and ends; the first goes on serving on it.
TEST_F(ServiceTest, LeavesTheSocketOfARunningServiceAlone) {
    start();
    expectServedMarker("ready");
    struct stat before {};
    ASSERT_EQ(stat(kPath, &before), 0);
    ASSERT_EQ(mkdir(kStagingRoot, 0700), 0);
    ASSERT_EQ(mount("tmpfs", kStagingRoot, "tmpfs", 0, "mode=700"), 0) << std::strerror(errno);
    const ChildResult second = runChild({ELEVARD_BINARY}, {}, 30);
    EXPECT_EQ(second.exitStatus, 255);
    EXPECT_EQ(second.err, std::string("A service already listens on ") + kPath + "\n");
    struct stat after {};
    ASSERT_EQ(stat(kPath, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_TRUE(isMountPoint(kStagingRoot)) << "a mount in progress must stay whole";
    expectServedMarker("still");
}

// Two services started at the same moment: one serves, the other ends at once.
TEST_F(ServiceTest, OfTwoStartedAtOnceOneServes) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        RunningChild services[2];
        for (RunningChild& service : services) {
            ASSERT_TRUE(service.start({ELEVARD_BINARY}));
        }
        const std::string refused = std::string("A service already listens on ") + kPath + "\n";
        ASSERT_TRUE(eventually([&] {
            return services[0].waitForError(refused, 0ms) || services[1].waitForError(refused, 0ms);
        }));
        RunningChild& loser = services[0].err() == refused ? services[0] : services[1];
        RunningChild& winner = &loser == &services[0] ? services[1] : services[0];
        EXPECT_EQ(loser.wait(kHang).exitStatus, 255);
        EXPECT_NE(awaitMarker(&winner, kPath, "one"), "") << winner.err();
    }
}

// Whatever a local user left at the path, a listener of theirs included, the starting service
// takes the path: root's socket for the group only, and the old listener hears nothing.
TEST_F(ServiceTest, TakesThePathFromWhateverIsThere) {
    const group* quorvath = getgrnam("quorvath");
    ASSERT_NE(quorvath, nullptr);
    const gid_t gid = quorvath->gr_gid;
    for (const char* left : {"listener", "folder"}) {
        SCOPED_TRACE(left);
        ScopedFd squatter;
        if (std::string(left) == "listener") {
            squatter = listenAs(kPath, 65534);
            ASSERT_TRUE(squatter.valid());
        } else {
            ASSERT_EQ(mkdir(kPath, 0777), 0);
            ASSERT_EQ(mkdir((std::string(kPath) + "/inner").c_str(), 0777), 0);
            ASSERT_EQ(symlink("/etc", (std::string(kPath) + "/inner/etc").c_str()), 0);
            ASSERT_EQ(chown(kPath, 65534, 65534), 0);
        }
        start();
        // Until the service has bound, a client would reach the squatter.
        struct stat info {};
        EXPECT_TRUE(eventually([&] { return lstat(kPath, &info) == 0 && info.st_uid == 0; }));
        expectServedMarker("ready");
        ASSERT_EQ(lstat(kPath, &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0660u);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_gid, gid);
        EXPECT_EQ(access("/etc/group", F_OK), 0);
        if (squatter.valid()) {
            pollfd waiting{squatter.get(), POLLIN, 0};
            EXPECT_EQ(poll(&waiting, 1, 0), 0) << "the squatter got a connection";
        }
        ASSERT_TRUE(service_.signal(SIGTERM));
        EXPECT_EQ(service_.wait(kHang).exitStatus, 0);
    }
}

// Started by systemd with a socket of its own (LISTEN_FDS, LISTEN_PID), the service serves on
// it, never replaces it and leaves it in place when it stops; it tells NOTIFY_SOCKET when it is
// ready and when it begins to stop.
TEST_F(ServiceTest, ServesOnThePassedSocketAndNotifiesSystemd) {
    ScopedFd notify = datagramSocket("/tmp/notify");
    ASSERT_TRUE(notify.valid());
    ASSERT_TRUE(service_.startForked([] {
        // Made here, the socket is this process's descriptor 3: the child keeps no other.
        int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, kPath, sizeof address.sun_path - 1);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            chmod(kPath, 0606) != 0 || listen(listener, 16) != 0 ||
            (listener != 3 && dup2(listener, 3) != 3)) {
            return 126;
        }
        setenv("LISTEN_FDS", "1", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("NOTIFY_SOCKET", "/tmp/notify", 1);
        execl(ELEVARD_BINARY, ELEVARD_BINARY, nullptr);
        return 127;
    }));
    EXPECT_EQ(receiveDatagram(notify.get()), "READY=1");
    expectServedMarker("on the passed socket");
    ASSERT_TRUE(service_.signal(SIGTERM));
    EXPECT_EQ(receiveDatagram(notify.get()), "STOPPING=1");
    const ChildResult result = service_.wait(kHang);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    struct stat info {};
    ASSERT_EQ(lstat(kPath, &info), 0) << "the socket must stay for the next start";
    EXPECT_EQ(info.st_mode & 07777, 0606u) << "the socket must be the one passed";
}

// When standard output is the journal's stream (JOURNAL_STREAM), each request becomes one entry
// naming its caller instead of a line; when the journal cannot take it, the line is printed.
TEST_F(ServiceTest, WritesAJournalEntryNamingTheCaller) {
    ASSERT_EQ(mkdir("/run/systemd", 0755), 0);
    ASSERT_EQ(mkdir("/run/systemd/journal", 0755), 0);
    const char* const journalPath = "/run/systemd/journal/socket";
    ScopedFd journal = datagramSocket(journalPath);
    ASSERT_TRUE(journal.valid());
    ASSERT_TRUE(service_.startForked([] {
        struct stat output {};
        if (fstat(STDOUT_FILENO, &output) != 0) {
            return 126;
        }
        const std::string stream =
            std::to_string(output.st_dev) + ":" + std::to_string(output.st_ino);
        setenv("JOURNAL_STREAM", stream.c_str(), 1);
        execl(ELEVARD_BINARY, ELEVARD_BINARY, nullptr);
        return 127;
    }));
    ASSERT_TRUE(service_.waitForOutput("Starting elevard", kHang));
    ASSERT_TRUE(connectWhenListening(kPath).valid());
    struct Case {
        std::string line;
        std::string message;
        std::string command;
        std::string result;
    };
    const Case cases[] = {
        {"exists /tmp", "exists /tmp --> ok", "exists", "ok"},
        {"mount //srv/share /etc user s3cret",
         "mount //srv/share /etc user **** --> execution failed", "mount", "execution failed"},
        {"nosuch\x01 x", "Command nosuch\\x01 x not found", "nosuch\\x01", "not found"},
        // Prints nothing on standard output, but is never silent in the journal.
        {"install relative.deb", "install relative.deb --> execution failed", "install",
         "execution failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        exchangeLine(kPath, c.line);
        const std::string datagram = receiveDatagram(journal.get());
        EXPECT_EQ(datagram.find("s3cret"), std::string::npos);
        std::map<std::string, std::string> fields = journalFields(datagram);
        EXPECT_EQ(fields["MESSAGE"], c.message);
        EXPECT_EQ(fields["PRIORITY"], c.result == "ok" ? "6" : "5");
        EXPECT_EQ(fields["OBJECT_PID"], std::to_string(getpid()));
        EXPECT_EQ(fields["ELEVARD_CALLER_UID"], std::to_string(getuid()));
        EXPECT_EQ(fields["ELEVARD_CALLER_GID"], std::to_string(getgid()));
        EXPECT_EQ(fields["ELEVARD_COMMAND"], c.command);
        EXPECT_EQ(fields["ELEVARD_RESULT"], c.result);
        EXPECT_FALSE(fields["ELEVARD_DURATION_USEC"].empty());
    }
    // A request refused before it runs prints nothing, but is an entry all the same.
    ScopedFd refused = connectWhenListening(kPath);
    const std::string tooLong = lengthField(70000);
    ASSERT_EQ(send(refused.get(), tooLong.data(), tooLong.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(tooLong.size()));
    EXPECT_EQ(readUntilClosed(refused.get()), "");
    std::map<std::string, std::string> fields = journalFields(receiveDatagram(journal.get()));
    EXPECT_EQ(fields["MESSAGE"], "Request refused: a command line of 70000 bytes");
    EXPECT_EQ(fields["ELEVARD_RESULT"], "refused");
    EXPECT_EQ(fields["OBJECT_PID"], std::to_string(getpid()));
    // Without the journal the line goes to standard output, and only then.
    ASSERT_EQ(unlink(journalPath), 0);
    const std::string marker = awaitMarker(&service_, kPath, "journal gone");
    EXPECT_NE(marker, "");
    EXPECT_EQ(service_.out(),
              std::string("Starting elevard, using domain socket: ") + kPath + "\n" + marker);
}

// The workers run shell commands. A descriptor they inherited (a client's connection, say)
// would stay open until the command ends; an ignored signal would stay ignored in them, while
// a caught one is reset on exec; a blocked one would stay blocked.
TEST_F(ServiceTest, RunsSixteenWorkersThatPassNothingToThePrograms) {
    start();
    ScopedFd stalled = connectWhenListening(kPath);
    ASSERT_TRUE(stalled.valid());
    const std::string proc = "/proc/" + std::to_string(service_.pid());
    EXPECT_EQ(procField(proc + "/status", "Threads"), "\t" + std::to_string(17 + kRuntimeThreads));
    auto mask = [](const std::string& status, const char* field) {
        return std::stoul(procField(status, field), nullptr, 16);
    };
    const unsigned long stopBits =
        (1UL << (SIGPIPE - 1)) | (1UL << (SIGTERM - 1)) | (1UL << (SIGINT - 1));
    EXPECT_EQ(mask(proc + "/status", "SigCgt") & stopBits, stopBits);
    EXPECT_EQ(mask(proc + "/status", "SigIgn") & stopBits, 0u);
    // A thread runs with every signal blocked until it first gets a processor, which on a busy
    // machine may take a while after it was created; a mask that stays so is a fault. The
    // sanitizer runtime's own thread keeps them blocked.
    EXPECT_TRUE(eventually([&] {
        int blocking = 0;
        for (const auto& thread : std::filesystem::directory_iterator(proc + "/task")) {
            blocking += (mask(thread.path().string() + "/status", "SigBlk") & stopBits) != 0;
        }
        return blocking <= kRuntimeThreads;
    }));
    // The listening socket and, once accepted, the stalled connection.
    EXPECT_TRUE(eventually([&] {
        int sockets = 0;
        for (const auto& [fd, target] : descriptorsOf(service_.pid())) {
            sockets += target.rfind("socket:", 0) == 0;
        }
        return sockets == 2;
    }));
    for (const auto& [fd, target] : descriptorsOf(service_.pid())) {
        if (fd > STDERR_FILENO) {
            SCOPED_TRACE(target);
            const std::string flags = procField(proc + "/fdinfo/" + std::to_string(fd), "flags");
            ASSERT_FALSE(flags.empty());
            EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u);
        }
    }
}

TEST(ServiceStartTest, EndsWhenTheGroupIsMissing) {
    std::string error;
    ASSERT_TRUE(enterServiceNamespace(ELEVARD_BINARY, &error, false)) << error;
    const ChildResult result = runChild({ELEVARD_BINARY}, {}, 30);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.out, std::string("Starting elevard, using domain socket: ") + kPath + "\n");
    EXPECT_EQ(result.err, "getgrnam failed: no group named quorvath\n");
}

// Each connection carries one line, taken as sent (a trailing newline included); the client
// never gets a reply, only the close. A request without a usable line runs and prints nothing,
// and the service goes on with no descriptor left behind.
TEST_F(ServiceTest, ServesOneLinePerConnection) {
    start();
    expectServedMarker("ready");
    const size_t idleDescriptors = requestDescriptorCount(service_.pid());
    const std::string longest = "nosuch " + std::string(65536 - 7, 'y');
    struct Case {
        const char* name;
        std::string bytes;
        std::string printed;
    };
    const Case cases[] = {
        {"unknown command", bufferMessage("nosuch"), "Command nosuch not found\n"},
        {"trailing newline", bufferMessage("nosuch arg\n"), "Command nosuch arg\n not found\n"},
        {"longest line", bufferMessage(longest), "Command " + longest + " not found\n"},
        {"closes without sending", "", ""},
        {"zero length", lengthField(0), ""},
        {"negative length", lengthField(-6) + "nosuch", ""},
        {"length cut short", lengthField(6).substr(0, 3), ""},
        {"line cut short", lengthField(6) + "nos", ""},
        {"one byte over 64 KiB", bufferMessage("nosuch " + std::string(65537 - 7, 'x')), ""},
        {"huge length", lengthField(INT64_MAX), ""},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = service_.out().size();
        ScopedFd client = connectWhenListening(kPath);
        ASSERT_TRUE(client.valid());
        // One blocking send queues everything, unless the service refuses and closes first.
        send(client.get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        shutdown(client.get(), SHUT_WR);
        // The longest outcome line is more than a pipe holds: the service finishes printing
        // it, and closes, only while it is being read.
        EXPECT_TRUE(service_.waitForOutput(c.printed, kHang));
        EXPECT_EQ(readUntilClosed(client.get()), "");
        const std::string marker = awaitMarker(&service_, kPath, std::to_string(++round));
        EXPECT_EQ(service_.out().substr(before), c.printed + marker);
    }
    EXPECT_EQ(requestDescriptorCount(service_.pid()), idleDescriptors);
}

// Outcome lines of any length from many workers at once reach standard output each whole: a
// short line never lands inside a long one that a full pipe made the service write in parts.
TEST_F(ServiceTest, PrintsEachOutcomeLineWhole) {
    start();
    expectServedMarker("ready");
    const std::string longLine = "nosuch " + std::string(20000, 'l');
    const std::string lines[] = {longLine, "nosuch s"};
    constexpr int kClients = 4;
    constexpr int kRequests = 40;
    std::atomic<int> running{kClients};
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&lines, &running] {
            for (int request = 0; request < kRequests; ++request) {
                exchangeLine(kPath, lines[request % 2]);
            }
            --running;
        });
    }
    // Standard output is read in bursts, so that the pipe fills now and then and long lines go
    // out in parts.
    while (running > 0) {
        service_.collectFor(2ms);
        std::this_thread::sleep_for(20ms);
    }
    for (std::thread& client : clients) {
        client.join();
    }
    const std::string marker = awaitMarker(&service_, kPath, "all printed");
    ASSERT_NE(marker, "");
    std::istringstream printed(service_.out());
    int whole = 0;
    for (std::string line; std::getline(printed, line);) {
        whole +=
            line == "Command nosuch s not found" || line == "Command " + longLine + " not found";
    }
    // All but the start-up line and the two markers.
    EXPECT_EQ(whole, std::count(service_.out().begin(), service_.out().end(), '\n') - 3);
    EXPECT_EQ(whole, kClients * kRequests);
}

// Twenty clients trickle their lines a byte every half second, fast enough that no single read
// ever waits long, far too slowly to finish within 10 s; one more never sends anything. Others
// are served while they all hold their connections, and each is closed 10 s after it was
// accepted, its line never run.
TEST_F(ServiceTest, SlowClientsNeitherDelayOthersNorOutliveTheirDeadline) {
    start();
    expectServedMarker("ready");
    const size_t idleDescriptors = requestDescriptorCount(service_.pid());
    std::vector<std::string> messages(20, bufferMessage("nosuch " + std::string(37, 't')));
    messages.push_back("");
    EXPECT_EQ(trickleUntilClosed(kPath, messages, 500ms,
                                 [this] {
                                     for (int i = 0; i < 3; ++i) {
                                         expectServedMarker("beside " + std::to_string(i));
                                     }
                                 }),
              "");
    expectServedMarker("after the slow clients");
    EXPECT_EQ(requestDescriptorCount(service_.pid()), idleDescriptors);
    EXPECT_EQ(service_.err(), "");
}

// The first SIGTERM or SIGINT removes the socket at once and closes a connection still sending
// its line; the command already running finishes and replies, its reply whole even when the
// loop has to write the rest, and the service exits with 0. A second signal, or a command that
// outlasts the grace period, ends it at once without a reply.
TEST_F(ServiceTest, StopsCleanlyOnASignalAndAtOnceOnASecond) {
    const std::string forced = "Stopping at once, 1 requests unfinished: ";
    const std::string late = forced + "requests still unfinished after the grace period\n";
    struct Case {
        const char* name;
        std::vector<int> signals;
        std::chrono::milliseconds grace;
        long milliseconds;                             // how long the running command takes
        std::string err;                               // empty for a clean stop
        std::vector<std::string> commands = {"slow"};  // run at once, one request each
    };
    const Case cases[] = {
        {"one signal", {SIGTERM}, kStopGrace, 3000, ""},
        // A grace period beyond the hang guard: only the second signal can end it in time.
        {"second signal", {SIGTERM, SIGINT}, 10min, 600000, forced + "a second stop signal\n"},
        {"grace period", {SIGINT}, 1s, 600000, late},
        // The program runs in a process group of its own, out of reach of signals to ours.
        {"program running",
         {SIGTERM, SIGINT},
         10min,
         600000,
         forced + "a second stop signal\n",
         {"spawn"}},
        // A pair that ends together: the loop looks whether it is done as one request ends,
        // while the other hands the rest of its reply over.
        {"replies handed over at the stop", {SIGTERM}, kStopGrace, 300, "", {"slow", "big"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startForked(c.grace);
        ScopedFd sending = connectWhenListening(kPath);
        ASSERT_EQ(send(sending.get(), lengthField(20).data(), 3, MSG_NOSIGNAL), 3);
        std::vector<ScopedFd> slow;
        std::vector<std::string> lines;
        for (size_t i = 0; i < c.commands.size(); ++i) {
            slow.push_back(connectWhenListening(kPath));
            lines.push_back(c.commands[i] + " " + std::to_string(c.milliseconds));
            ASSERT_TRUE(domain_socket::sendBuffer(slow[i].get(), lines[i].data(), lines[i].size()));
        }
        for (const std::string& line : lines) {
            ASSERT_TRUE(service_.waitForOutput("started " + line + "\n", kHang));
        }
        std::string spawned;  // the pids of the program and of its child
        if (c.commands[0] == "spawn") {
            ASSERT_TRUE(eventually([&] {
                std::ifstream in("/tmp/spawned");
                return std::getline(in, spawned) && !spawned.empty();
            }));
        }
        for (int signal : c.signals) {
            ASSERT_TRUE(service_.signal(signal));
        }
        EXPECT_EQ(readUntilClosed(sending.get()), "");
        if (c.signals.size() == 1) {
            EXPECT_TRUE(stillOpen(slow[0].get()))
                << "the sender must go at the signal, not at exit";
            EXPECT_NE(access(kPath, F_OK), 0) << "the socket must go at the signal, not at exit";
        }
        std::vector<std::string> replies;
        for (size_t i = 0; i < slow.size(); ++i) {
            // The reply is complete, and what the connection could not take handed over, before
            // the client starts to read.
            EXPECT_TRUE(!c.err.empty() || service_.waitForOutput(lines[i] + " --> ok\n", kHang));
            replies.push_back(readUntilClosed(slow[i].get()));
        }
        const ChildResult result = service_.wait(kHang);
        EXPECT_EQ(result.exitStatus, c.err.empty() ? 0 : kForcedStopStatus);
        EXPECT_EQ(result.err, c.err);
        for (size_t i = 0; i < slow.size(); ++i) {
            const std::string expected = !c.err.empty() ? ""
                                         : c.commands[i] == "big"
                                             ? bufferMessage(std::string(kBigReply, 'r'))
                                             : integerMessage(c.milliseconds);
            EXPECT_TRUE(replies[i] == expected)
                << lines[i] << ": " << replies[i].size() << " bytes";
        }
        EXPECT_NE(access(kPath, F_OK), 0);
        // Neither the program nor its own child outlive a forced stop.
        std::istringstream pids(spawned);
        for (pid_t pid; pids >> pid;) {
            const std::string status = "/proc/" + std::to_string(pid) + "/status";
            EXPECT_TRUE(eventually([&] {
                const std::string state = procField(status, "State");
                return state.empty() || state.find("Z (") != std::string::npos;
            })) << pid;
        }
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

    ScopedFd waiting = connectWhenListening(kPath);
    const std::string line = "nosuch waited";
    ASSERT_TRUE(domain_socket::sendBuffer(waiting.get(), line.data(), line.size()));
    const std::string failure = "accept: Too many open files\n";
    ASSERT_TRUE(service_.waitForError(failure, kHang));
    service_.collectFor(1s);
    size_t failures = 0;
    for (size_t at = 0; (at = service_.err().find(failure, at)) != std::string::npos; ++at) {
        ++failures;
    }
    // About 20 a second with the pause; a loop without one makes tens of thousands.
    EXPECT_LE(failures, 100u);

    ASSERT_EQ(prlimit(service_.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
    EXPECT_EQ(readUntilClosed(waiting.get()), "");
    EXPECT_TRUE(service_.waitForOutput("Command " + line + " not found\n", kHang));
}

// Commands that block hold the workers that took them, the watchers of the listening socket
// first; idle workers must take over watching, so that nobody waits while a worker is free.
TEST_F(ServiceTest, CommandsThatBlockHoldUpNobodyWhileAWorkerIsFree) {
    startForked(1s);
    std::vector<ScopedFd> blocked;
    for (int i = 0; i < kServiceWorkers - 1; ++i) {
        blocked.push_back(connectWhenListening(kPath));
        const std::string line = "slow " + std::to_string(600000 + i);
        ASSERT_TRUE(domain_socket::sendBuffer(blocked.back().get(), line.data(), line.size()));
        ASSERT_TRUE(service_.waitForOutput("started " + line + "\n", kHang)) << line;
    }
    expectServedMarker("beside the blocked commands");
    ASSERT_TRUE(service_.signal(SIGTERM));
    EXPECT_EQ(service_.wait(kHang).exitStatus, kForcedStopStatus);
}

// Run in this process: binding does not leave the process umask changed. (Close-on-exec of
// the listening socket and of connections is checked on the running service.)
TEST_F(ServiceTest, AcceptorRestoresTheUmask) {
    const mode_t previous = umask(0022);
    Acceptor acceptor;
    const bool bound = acceptor.bind();
    EXPECT_EQ(umask(previous), 0022u);
    EXPECT_TRUE(bound);
}

}  // namespace
