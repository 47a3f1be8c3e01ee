// End-to-end tests of the service's event loop: one line per connection, outcome lines, slow
// clients, the stop, descriptors running out and commands that block.
#include "service_test_support.h"

namespace {

using namespace service_test;

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
        long later = 0;  // added to the duration of every command after the first
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
        // The second of a pair hands the rest of its reply over while the loop, woken by the
        // first, looks whether it is done: the loop pauses there for it.
        {"replies handed over at the stop", {SIGTERM}, kStopGrace, 300, "", {"slow", "big"}, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startForked(c.grace,
                    [&c] { std::this_thread::sleep_for(std::chrono::milliseconds(3 * c.later)); });
        ScopedFd sending = connectWhenListening(kPath);
        ASSERT_EQ(send(sending.get(), lengthField(20).data(), 3, MSG_NOSIGNAL), 3);
        std::vector<ScopedFd> slow;
        std::vector<std::string> lines;
        for (size_t i = 0; i < c.commands.size(); ++i) {
            slow.push_back(connectWhenListening(kPath));
            lines.push_back(c.commands[i] + " " +
                            std::to_string(c.milliseconds + (i > 0 ? c.later : 0)));
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
        if (!c.err.empty()) {
            // Stands in for a share that a killed helper mounted: a forced stop detaches it.
            ASSERT_TRUE(mkdir(kStagingRoot, 0700) == 0 || errno == EEXIST);
            ASSERT_EQ(mount("tmpfs", kStagingRoot, "tmpfs", 0, "mode=700"), 0);
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
        EXPECT_TRUE(c.err.empty() || !isMountPoint(kStagingRoot)) << "a staging mount was left";
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
