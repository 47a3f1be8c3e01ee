// The command table end to end: the built elevard serves each line through its real socket in
// a private mount namespace (testing/velk_testing/service_in_namespace.h), and runs some lines
// directly. A stand-in dpkg on the service's PATH records how install calls it.
#include "register_commands.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "commands.h"
#include "elevard/wire/domain_socket.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk_testing/child_process.h"
#include "velk_testing/messages.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"
#include "velk_testing/service_in_namespace.h"

namespace {

using namespace std::chrono_literals;
using namespace velk::testing;
namespace domain_socket = elevard::wire;

const char* const kPath = velk::SystemCommands::kDomainSocket;
// dpkg's first arguments for "force-conflicts", one a line as the stand-in dpkg logs them.
const std::string kForced = "-i\n--auto-deconfigure\n--force-conflicts\n";
// Short names for the rows below.
const auto integer = integerMessage;
const auto buffer = bufferMessage;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

// "uid:gid" of `path`, or "<missing>".
std::string ownerOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return "<missing>";
    }
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid);
}

// Whether a file system is mounted on `path`: it then lies on another device than its folder.
std::string mountState(const std::string& path) {
    struct stat self {};
    struct stat parent {};
    if (stat(path.c_str(), &self) != 0 || stat((path + "/..").c_str(), &parent) != 0) {
        return "<missing>";
    }
    return self.st_dev != parent.st_dev ? "mounted" : "not mounted";
}

// The soft and hard open-file limits of process `pid` as "soft hard".
std::string openFileLimits(pid_t pid) {
    rlimit limit{};
    return prlimit(pid, RLIMIT_NOFILE, nullptr, &limit) == 0
               ? std::to_string(limit.rlim_cur) + " " + std::to_string(limit.rlim_max)
               : "<none>";
}

// Writes `text` to `path` as a program anyone may run; false on failure.
bool writeScript(const std::string& path, const std::string& text) {
    return (std::ofstream(path) << text) && chmod(path.c_str(), 0755) == 0;
}

class CommandTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(enterServiceNamespace(ELEVARD_BINARY, &error)) << error;
        scratch_ = std::make_unique<ScratchDir>();
        // The stand-in dpkg writes one argument a line to dpkg.log and fails for bad.deb.
        ASSERT_EQ(mkdir(path("bin").c_str(), 0755), 0);
        ASSERT_TRUE(writeScript(path("bin/dpkg"),
                                "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + path("dpkg.log") +
                                    "'\ncase \"$*\" in *bad.deb) exit 1;; esac\n"));
        // The stand-in mount plays a server that takes the password "good" only and then mounts
        // a tmpfs; its arguments are: -t cifs SOURCE MOUNT_POINT -o OPTIONS, the password is in
        // PASSWD.
        ASSERT_TRUE(writeScript(path("bin/mount"),
                                "#!/bin/sh\ncase \"$PASSWD\" in good)\n"
                                "  exec /usr/bin/mount -t tmpfs tmpfs \"$4\";;\nesac\n"
                                "echo 'mount error(13): Permission denied'\nexit 32\n"));
        // Diagnostic lines on: setFdLimit tells a refusal from a failed prlimit only there.
        ASSERT_TRUE(scratch_->write("velk_system_commands.ini", "enableOutput=true\n"));
        env_ = {"PATH=" + path("bin") + ":" + std::getenv("PATH"), "VELK_INI_DIR=" + path("")};
    }

    std::string path(const std::string& name) const { return scratch_->file(name); }

    // What the stand-in dpkg was called with since the last look.
    std::string takeDpkgLog() {
        std::string log = readFile(path("dpkg.log"));
        std::remove(path("dpkg.log").c_str());
        return log == "<missing>" ? "" : log;
    }

    std::unique_ptr<ScratchDir> scratch_;
    std::vector<std::string> env_;
};

struct Row {
    std::string line;
    std::string reply;    // the bytes before the close; "<descriptor>" for one received
    std::string printed;  // the service's output for the line
    std::function<std::string()> effect = {};
    std::string expectedEffect = {};
    uid_t caller = 0;  // who connects: another uid than root is a member of the group
};

// A socket command's row: its reply and its outcome line.
Row row(const std::string& line, const std::string& reply, const std::string& outcome,
        std::function<std::string()> effect = {}, const std::string& expectedEffect = "",
        uid_t caller = 0) {
    return {line,           reply, line + " --> " + outcome + "\n", std::move(effect),
            expectedEffect, caller};
}

// A process that sleeps for a minute as the user `uid`.
bool startSleeperAs(RunningChild* sleeper, uid_t uid) {
    return sleeper->startForked([uid] {
        if (setgid(uid) != 0 || setuid(uid) != 0) {
            return 126;
        }
        execl("/bin/sleep", "sleep", "60", nullptr);
        return 127;
    });
}

// Sends `line` as the user `uid`, a member of the group quorvath, and returns the reply's bytes.
std::string exchangeAs(uid_t uid, const std::string& line) {
    const group* quorvath = getgrnam("quorvath");
    const gid_t gid = quorvath != nullptr ? quorvath->gr_gid : 0;
    return runForked([=] {
               if (setgroups(1, &gid) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
                   return std::string("<cannot become the caller>");
               }
               return exchangeLine(kPath, line);
           })
        .text;
}

TEST_F(CommandTableTest, EveryRowThroughTheSocket) {
    ASSERT_EQ(mkdir(path("listed").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("tree").c_str(), 0755), 0);
    ASSERT_TRUE(scratch_->write("f", "hello"));
    ASSERT_TRUE(scratch_->write("listed/a", "abc"));
    for (const char* name : {"tree/inner", "victim", "moved"}) {
        ASSERT_TRUE(scratch_->write(name, ""));
    }
    RunningChild sleeper;
    ASSERT_TRUE(sleeper.start({"/bin/sleep", "60"}));
    const std::string pid = std::to_string(sleeper.pid());
    // A caller's own process, and another user's.
    constexpr uid_t kCaller = 65533;
    RunningChild callers;
    RunningChild others;
    ASSERT_TRUE(startSleeperAs(&callers, kCaller));
    ASSERT_TRUE(startSleeperAs(&others, 65534));

    // The memory inventory comes from a stand-in dmidecode on a tmpfs over /usr/sbin, inside this
    // test's own mount namespace.
    ASSERT_EQ(mount("tmpfs", "/usr/sbin", "tmpfs", 0, "mode=755"), 0) << std::strerror(errno);
    ASSERT_TRUE(
        writeScript("/usr/sbin/dmidecode",
                    "#!/bin/sh\necho 'Memory Device'\nprintf '\\tPart Number: P-2 \\n\\t"
                    "Serial Number: S1\\n\\tPart Number: P-1\\n\\tSerial Number: S2\\n'\n"));
    const std::string share = "/tmp/table_temp_folder_";
    ASSERT_EQ(mkdir(share.c_str(), 0755), 0);

    RunningChild service;
    std::string error;
    ASSERT_TRUE(startService(ELEVARD_BINARY, env_, &service, &error)) << error;
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    // Measured before any row writes to the scratch file system.
    struct statvfs fs {};
    ASSERT_EQ(statvfs(path("").c_str(), &fs), 0);
    const std::string S = path("");
    const std::string ownLimit = openFileLimits(service.pid());
    auto owner = [this](const char* name) { return [this, name] { return ownerOf(path(name)); }; };
    auto present = [this](const char* name) {
        return
            [this, name] { return access(path(name).c_str(), F_OK) == 0 ? "present" : "absent"; };
    };
    auto dpkg = [this] { return takeDpkgLog(); };
    auto limits = [](pid_t pid) { return [pid] { return openFileLimits(pid); }; };
    auto mounted = [&share] { return mountState(share); };
    auto judgedAs = [&service, kCaller](pid_t pid) {
        return [&service, pid, kCaller] {
            const std::string refusal = "setFdLimit refused. pid: " + std::to_string(pid) +
                                        " caller uid: " + std::to_string(kCaller) + " ";
            return service.err().find(refusal) != std::string::npos ? "refused" : "not refused";
        };
    };
    rlimit othersLimit{};
    const bool mayLimitOthers = prlimit(others.pid(), RLIMIT_NOFILE, nullptr, &othersLimit) == 0;
    const std::string quoted = S + "x';touch${IFS}" + S + "pwned;'.deb";

    const Row rows[] = {
        row("freeSpace " + S, integer(int64_t(fs.f_bavail * fs.f_bsize)), "ok"),
        row("freeSpace " + S + "missing", integer(-1), "execution failed"),
        row("freeSpace", "", "invalid argument"),
        row("totalSpace " + S, integer(int64_t(fs.f_blocks * fs.f_frsize)), "ok"),
        row("totalSpace", "", "invalid argument"),
        row("mkdir " + S + "made/deep", integer(1), "ok", present("made/deep"), "present"),
        row("mkdir /usr/elevard-test", integer(0), "execution failed"),
        row("mkdir", "", "invalid argument"),
        row("rm " + S + "victim", integer(1), "ok", present("victim"), "absent"),
        row("rm", "", "invalid argument"),
        row("chown " + S + "f 1000 1001", integer(1), "ok", owner("f"), "1000:1001"),
        row("chown " + S + "tree 1000 1001", integer(1), "ok", owner("tree/inner"), "0:0"),
        row("chown " + S + "tree 1002 1003 no", integer(1), "ok", owner("tree/inner"), "1002:1003"),
        row("chown " + S + "f 12abc 7", integer(1), "ok", owner("f"), "12:7"),
        row("chown " + S + "f abc 7", "", "invalid argument", owner("f"), "12:7"),
        row("chown " + S + "f 1 2147483648", "", "invalid argument", owner("f"), "12:7"),
        row("chown " + S + "f 1", "", "invalid argument"),
        {"mount //srv/share " + share + " user good", integer(0),
         "mount //srv/share " + share + " user **** --> ok\n", mounted, "mounted"},
        {"mount //srv/share " + share + " 'a user' 'not good'", integer(1),
         "mount //srv/share " + share + " 'a user' **** --> execution failed\n"},
        row("mount //srv/share /etc", integer(2), "execution failed"),
        row("mount //srv/share", "", "invalid argument"),
        row("mv " + S + "moved " + S + "renamed", integer(1), "ok", present("renamed"), "present"),
        row("mv " + S + "moved " + S + "again", integer(0), "execution failed"),
        row("mv " + S + "renamed", "", "invalid argument"),
        row(
            "open " + S + "opened 66", "<descriptor>", "ok", [&] { return readFile(S + "opened"); },
            "through"),
        row("open " + S + "missing 0", "", "execution failed"),
        row("open " + S + "f x", "", "invalid argument"),
        row("open " + S + "f", "", "invalid argument"),
        row("exists " + S + "f", integer(1), "ok"),
        row("exists " + S + "missing", integer(0), "execution failed"),
        row("exists", "", "invalid argument"),
        row("stat " + S + "f", buffer(statRecord(true, 0, 5)), "ok"),
        row("stat " + S + "missing", buffer(statRecord(false, 2, -1)), "ok"),
        row("stat", "", "invalid argument"),
        row("list " + S + "listed", buffer(S + "listed/a,3,0,"), "ok"),
        row("list " + S + "missing", buffer(""), "ok"),
        row("list", "", "invalid argument"),
        // tmpfs is no block device.
        row("devicePath " + S, buffer(""), "execution failed"),
        row("devicePath", "", "invalid argument"),
        row("size " + S + "f", integer(5), "ok"),
        row("size " + S + "missing", integer(-1), "execution failed"),
        row("size", "", "invalid argument"),
        row("setFdLimit " + pid + " 2048abc", integer(2048), "ok", limits(sleeper.pid()),
            "2048 2048"),
        // No such process: the service answers its own soft limit, which is no success.
        row("setFdLimit 0 64", integer(std::stoll(ownLimit)), "execution failed",
            limits(service.pid()), ownLimit),
        // A failed prlimit is a failure, whatever number the service answers.
        row("setFdLimit 0 " + std::to_string(std::stoll(ownLimit)), integer(std::stoll(ownLimit)),
            "execution failed"),
        // A member of the group may change the limits of its own processes only. Without
        // CAP_SYS_RESOURCE (in some containers) even root's prlimit fails on another user's
        // process; the diagnostic line tells a refusal from that.
        row("setFdLimit " + std::to_string(others.pid()) + " 256", integer(std::stoll(ownLimit)),
            "execution failed", judgedAs(others.pid()), "refused", kCaller),
        row("setFdLimit " + std::to_string(callers.pid()) + " 256",
            integer(mayLimitOthers ? 256 : std::stoll(ownLimit)),
            mayLimitOthers ? "ok" : "execution failed", judgedAs(callers.pid()), "not refused",
            kCaller),
        row("setFdLimit " + pid + " x", "", "invalid argument"),
        row("setFdLimit " + pid, "", "invalid argument"),
        row("dmiInfo extra words", buffer(lengthField(6) + "P-1P-2" + lengthField(4) + "S1S2"),
            "ok"),
        row("umount " + share, integer(0), "ok", mounted, "not mounted"),
        row("unmount " + share, integer(4), "execution failed"),
        row("umount /tmp/missing_temp_folder_", integer(2), "execution failed"),
        row("unmount /usr", integer(3), "execution failed"),
        row("umount", "", "invalid argument"),
        // Direct commands run through the socket too, but answer nothing and print no outcome.
        {"install " + S + "p.deb force-conflicts", "", "", dpkg, kForced + S + "p.deb\n"},
        {"install " + S + "p.deb force", "", "", dpkg, "-i\n" + S + "p.deb\n"},
        {"install " + S + "p.deb", "", "", dpkg, "-i\n" + S + "p.deb\n"},
        {"install " + quoted, "", "", [=] { return dpkg() + present("pwned")(); },
         "-i\n" + quoted + "\nabsent"},
        // dpkg would read it as its option: nothing runs.
        {"install --admindir=" + S + "p.deb", "", "", dpkg, ""},
        // dpkg would print the path in a line of its own: nothing runs.
        {"install " + S + "p\x1b.deb", "", "", dpkg, ""},
        {"install", "", "", dpkg, ""},
        {"help", "", factory.help() + "\n"},
    };
    int round = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        const size_t before = service.out().size();
        if (r.caller != 0) {
            EXPECT_EQ(exchangeAs(r.caller, r.line), r.reply);
        } else {
            velk::kit::ScopedFd client = connectWhenListening(kPath);
            ASSERT_TRUE(domain_socket::sendBuffer(client.get(), r.line.data(), r.line.size()));
            std::string reply;
            if (r.reply == "<descriptor>") {
                velk::kit::ScopedFd file(domain_socket::readFd(client.get()));
                ASSERT_TRUE(file.valid());
                ASSERT_EQ(write(file.get(), "through", 7), 7);
                reply = "<descriptor>";
            }
            EXPECT_EQ(reply + readUntilClosed(client.get()), r.reply);
        }
        // The outcome line follows the close; the marker after it shows that nothing else was
        // printed for the row.
        EXPECT_TRUE(service.waitForOutput(r.printed, 30s));
        const std::string marker = awaitMarker(&service, kPath, std::to_string(++round));
        EXPECT_EQ(service.out().substr(before), r.printed + marker);
        if (r.effect) {
            EXPECT_EQ(r.effect(), r.expectedEffect);
        }
    }
}

// Direct mode reaches the same handlers; its exit status carries the outcome, which is all
// that shows of a direct command.
TEST_F(CommandTableTest, DirectModeRunsTheSameCommands) {
    ASSERT_TRUE(scratch_->write("f", "hello"));
    const std::string S = path("");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string printed;
        std::string dpkgCalls;
    };
    const Case cases[] = {
        {{"exists", S + "f"}, 0, "exists " + S + "f  --> ok\n", ""},
        {{"exists", S + "missing"}, 255, "exists " + S + "missing  --> execution failed\n", ""},
        {{"chown", S + "f", "x", "1"}, 255, "chown " + S + "f x 1  --> invalid argument\n", ""},
        {{"install", S + "good.deb"}, 0, "", "-i\n" + S + "good.deb\n"},
        {{"install", S + "bad.deb", "force-conflicts"}, 255, "", kForced + S + "bad.deb\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        std::vector<std::string> argv = {ELEVARD_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ChildResult result = runChild(argv, env_);
        EXPECT_EQ(result.exitStatus, c.status) << result.err;
        EXPECT_EQ(result.out, std::string("Starting elevard, using domain socket: ") + kPath +
                                  "\n" + c.printed);
        EXPECT_EQ(takeDpkgLog(), c.dpkgCalls);
    }
}

}  // namespace
