// The ownership guard and the changes it lets through, against links planted where anyone may
// write. Each test runs in a forked child whose root is a tmpfs in a private mount namespace,
// with /srv/protected standing in for a system folder, so nothing real is ever at risk.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"

namespace velk {
namespace {

using velk::testing::ForkResult;
using velk::testing::runForked;

// "missing", or the type, owner and inode of `path` itself (a link is not followed).
std::string describe(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return "missing";
    }
    const char* type = S_ISDIR(status.st_mode) ? "dir" : S_ISLNK(status.st_mode) ? "link" : "file";
    return std::string(type) + " " + std::to_string(status.st_uid) + ":" +
           std::to_string(status.st_gid) + " #" + std::to_string(status.st_ino);
}

// Everything below /srv: what no request through /tmp may change.
std::string protectedState() {
    std::string state;
    for (const auto& entry : std::filesystem::recursive_directory_iterator("/srv")) {
        state += entry.path().string() + " " + describe(entry.path()) + "\n";
    }
    return state;
}

bool link(const std::string& target, const std::string& path) {
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

// Runs `body` in a forked child whose root is a fresh tmpfs: /srv/protected (a file and a
// folder, owned by root), /etc/velk_ini, /proc, and the work folder /tmp/w with links to the
// protected place in the first, a middle and the last component, and folders whose real path
// passes PATH_MAX: s leads down 15 of them, s/t the rest, and x at the bottom to /srv/protected.
ForkResult inTestRoot(const std::function<std::string()>& body) {
    return runForked([&]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error)) {
            return error;
        }
        bool made = true;
        for (const char* folder : {"", "/srv", "/srv/protected", "/srv/protected/sub", "/tmp",
                                   "/tmp/w", "/tmp/w/d", "/etc", "/etc/velk_ini", "/proc"}) {
            made = made && ::mkdir((std::string("/tmp/root") + folder).c_str(), 0755) == 0;
        }
        made = made &&
               ::mount("proc", "/tmp/root/proc", "proc", MS_NOSUID | MS_NODEV, nullptr) == 0 &&
               ::chroot("/tmp/root") == 0 && ::chdir("/tmp/w") == 0;
        std::ofstream("/srv/protected/file") << "keep";
        std::ofstream("/srv/protected/sub/file") << "keep";
        std::ofstream("/tmp/w/d/f") << "x";
        std::string sTarget;
        for (char c = 'a'; made && c < 'a' + 18; ++c) {
            const std::string level(250, c);
            sTarget += c < 'a' + 15 ? "/" + level : "";
            made = ::mkdir(level.c_str(), 0755) == 0 && ::chdir(level.c_str()) == 0 &&
                   (c != 'a' + 14 || link(std::string(250, 'p') + "/" + std::string(250, 'q') +
                                              "/" + std::string(250, 'r') + "/x",
                                          "t"));
        }
        made = made && link("/srv/protected", "x") && ::chdir("/") == 0 &&
               link(sTarget.substr(1), "/tmp/w/s") && link("/srv/protected", "/l") &&
               link("/srv/protected", "/tmp/w/mid") && link("/srv/protected/file", "/tmp/w/last") &&
               link("../../srv/protected", "/tmp/w/rel") &&
               link("/srv/protected/new", "/tmp/w/dangling") && link("loop2", "/tmp/w/loop") &&
               link("loop", "/tmp/w/loop2") && link("../mid", "/tmp/w/d/up") &&
               link("/etc", "/etc/velk_ini/up") && link("d", "/tmp/w/ok") &&
               link("missing/x", "/tmp/w/gone") && link("/srv/protected", "/tmp/w/d/out");
        if (!made) {
            return std::string("test root: ") + std::strerror(errno);
        }
        const std::string before = protectedState();
        std::string report = body();
        return report + (protectedState() == before ? "" : "changed:\n" + protectedState());
    });
}

TEST(OwnershipGuardTest, LinksToAProtectedPlaceAreRefusedForEveryChange) {
    ForkResult result = inTestRoot([] {
        std::string report;
        for (const std::string path :
             {"/tmp/w/s/t/file", "/l/file", "/l/sub", "/tmp/w/mid/file", "/tmp/w/last",
              "/tmp/w/rel/sub", "/tmp/w/dangling", "/tmp/w/loop", "/tmp/w/d/up/file",
              "/etc/velk_ini/up/passwd", "/etc/velk_ini/../velk_inimore"}) {
            SystemCommands commands;
            const std::pair<const char*, std::function<bool()>> operations[] = {
                {"mkdir", [&] { return commands.makeDirectory(path); }},
                {"rm", [&] { return commands.removePath(path); }},
                {"chown", [&] { return commands.changeOwner(path, 1, 1, false); }},
                {"chown -R", [&] { return commands.changeOwner(path, 1, 1, true); }},
                {"mv from", [&] { return commands.rename(path, "/tmp/w/moved"); }},
                {"mv to", [&] { return commands.rename("/tmp/w/d", path); }},
            };
            for (const auto& [name, operation] : operations) {
                if (operation() || commands.lastError() != path + " is forbidden for chown") {
                    report += std::string(name) + " " + path + ": " + commands.lastError() + "\n";
                }
            }
        }
        return report;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "");
}

TEST(OwnershipGuardTest, AllowedChangesTreatLinksLikeTheCommandsDid) {
    using Operation = std::function<bool(SystemCommands&)>;
    // What each change does (run in this order), its failure text, and then the probes' state.
    const std::tuple<Operation, std::string, std::vector<std::string>> rows[] = {
        {[](auto& c) { return c.changeOwner("/tmp/w/ok", 5, 6, false); },
         "",
         {"/tmp/w/d dir 5:6", "/tmp/w/ok link 0:0"}},
        {[](auto& c) { return c.changeOwner("/tmp/w/ok", 7, 8, true); },
         "",
         {"/tmp/w/ok link 7:8", "/tmp/w/d dir 5:6"}},
        {[](auto& c) { return c.changeOwner("/tmp/w/d", 9, 9, true); },
         "",
         {"/tmp/w/d/f file 9:9", "/tmp/w/d/out link 9:9"}},
        {[](auto& c) { return c.makeDirectory("/tmp/w/ok"); }, "", {"/tmp/w/ok link 7:8"}},
        {[](auto& c) { return c.makeDirectory("/tmp/w/ok/new/deeper"); },
         "",
         {"/tmp/w/d/new/deeper dir 0:0"}},
        {[](auto& c) { return c.makeDirectory("/tmp/w/gone"); },
         "mkdir -p /tmp/w/gone: File exists",
         {"/tmp/w/missing missing"}},
        {[](auto& c) { return c.changeOwner("/tmp/w/d", -1, 5, false); },
         "chown -1:5 /tmp/w/d: Invalid argument",
         {"/tmp/w/d dir 9:9"}},
        {[](auto& c) { return c.changeOwner("/tmp/w/d", 5, -1, true); },
         "chown -R 5:-1 /tmp/w/d: Invalid argument",
         {"/tmp/w/d dir 9:9"}},
        {[](auto& c) { return c.rename("/tmp/w/ok", "/tmp/w/ok2"); },
         "",
         {"/tmp/w/ok2 link 7:8", "/tmp/w/d dir 9:9"}},
        {[](auto& c) { return c.removePath("/tmp/w/ok2"); },
         "",
         {"/tmp/w/ok2 missing", "/tmp/w/d/f file 9:9"}},
        {[](auto& c) { return c.removePath("/tmp/w/d/."); },
         "rm -rf /tmp/w/d/.: Invalid argument",
         {"/tmp/w/d dir 9:9"}},
        {[](auto& c) { return c.removePath("/tmp/w/d"); }, "", {"/tmp/w/d missing"}},
    };
    ForkResult result = inTestRoot([&] {
        std::string report;
        for (const auto& [operation, failure, probes] : rows) {
            SystemCommands commands;
            report += operation(commands) ? "done" : commands.lastError();
            for (const std::string& probe : probes) {
                const std::string path = probe.substr(0, probe.find(' '));
                report += " | " + path + " " + describe(path).substr(0, describe(path).find(" #"));
            }
            report += "\n";
        }
        return report;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    std::string expected;
    for (const auto& [operation, failure, probes] : rows) {
        expected += failure.empty() ? "done" : failure;
        for (const std::string& probe : probes) {
            expected += " | " + probe;
        }
        expected += "\n";
    }
    EXPECT_EQ(result.text, expected);
}

// The work folder d and the link mid to the protected place swap names all the time while
// requests run through d's name: each request acts on the real folder or is refused.
TEST(OwnershipGuardTest, SwappingAFolderAndALinkNeverReachesTheProtectedPlace) {
    ForkResult result = inTestRoot([] {
        const kit::ScopedFd folder(::open("/tmp/w/d", O_PATH | O_DIRECTORY | O_CLOEXEC));
        std::atomic<bool> stop{false};
        std::atomic<long> swaps{0};
        std::thread swapper([&] {
            while (!stop && ::renameat2(AT_FDCWD, "/tmp/w/d", AT_FDCWD, "/tmp/w/mid",
                                        RENAME_EXCHANGE) == 0) {
                ++swaps;
            }
        });
        SystemCommands c;
        long counts[2] = {0, 0};  // refused, done
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < end) {
            kit::ScopedFd(
                ::openat(folder.get(), "file", O_CREAT | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644));
            for (bool done :
                 {c.changeOwner("/tmp/w/d/file", 1, 1, false),
                  c.changeOwner("/tmp/w/d", 2, 2, true),
                  c.rename("/tmp/w/d/file", "/tmp/w/d/moved"), c.makeDirectory("/tmp/w/d/sub/new"),
                  c.removePath("/tmp/w/d/sub"), c.removePath("/tmp/w/d/moved")}) {
                ++counts[done];
            }
        }
        stop = true;
        swapper.join();
        return swaps > 0 && counts[0] > 0 && counts[1] > 0
                   ? std::string()
                   : "swaps " + std::to_string(swaps) + ", refused " + std::to_string(counts[0]) +
                         ", done " + std::to_string(counts[1]) + "\n";
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "");
}

// prlimit takes the id of any thread for its whole process.
TEST(SetFdLimitGuardTest, RefusesTheServiceItselfAndItsThreads) {
    ForkResult result = runForked([] {
        std::atomic<pid_t> tid{0};
        std::atomic<bool> release{false};
        std::thread thread([&] {
            tid = ::gettid();
            while (!release) {
                std::this_thread::yield();
            }
        });
        while (tid == 0) {
            std::this_thread::yield();
        }
        SystemCommands commands;
        std::string results = std::to_string(commands.setFdLimit(::getpid(), 64)) + " " +
                              std::to_string(commands.setFdLimit(tid, 64)) + " ";
        release = true;
        thread.join();
        rlimit after{};
        ::getrlimit(RLIMIT_NOFILE, &after);
        return results + std::to_string(after.rlim_cur);
    });
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const std::string soft = std::to_string(own.rlim_cur);
    EXPECT_EQ(result.text, soft + " " + soft + " " + soft);
}

}  // namespace
}  // namespace velk
