// End-to-end tests of service mode as a whole: the socket it publishes, its start, systemd and
// the journal, and the programs its workers start.
#include "service_test_support.h"

namespace {

using namespace service_test;

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

}  // namespace
