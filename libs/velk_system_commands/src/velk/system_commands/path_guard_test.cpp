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
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

using velk::testing::ForkResult;
using velk::testing::runForked;

// "missing", or the type and owner of `path` itself (a link is not followed), and its inode.
std::string describe(const std::string& path, bool inode = false) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return "missing";
    }
    const char* type = S_ISDIR(status.st_mode) ? "dir" : S_ISLNK(status.st_mode) ? "link" : "file";
    return std::string(type) + " " + std::to_string(status.st_uid) + ":" +
           std::to_string(status.st_gid) + (inode ? " #" + std::to_string(status.st_ino) : "");
}

// Everything below /srv: what no request through /tmp may change.
std::string protectedState() {
    std::string state;
    for (const auto& entry : std::filesystem::recursive_directory_iterator("/srv")) {
        state += entry.path().string() + " " + describe(entry.path(), true) + "\n";
    }
    return state;
}

// The test root, made before the child moves into it: /srv/protected (a file and a folder),
// /etc/velk_ini, /proc, and the work folder /tmp/w with links to the protected place in the
// first, a middle and the last component, and folders whose real path passes PATH_MAX: s leads
// down 15 of them, s/t the rest, and x at the bottom to /srv/protected. m/share is a tmpfs of
// its own, b/bound the protected folder bound there, fb/file the protected file, h/hard a second
// link to the protected file and h2/own2 one to a file of user 7 in the work folder.
const char* const kTestRoot = R"(set -e; cd /tmp/root
mkdir -p srv/protected/sub tmp/w/d etc/velk_ini proc tmp/w/m/share tmp/w/b/bound tmp/w/h tmp/w/h2
echo keep > srv/protected/file; echo keep > srv/protected/sub/file; echo x > tmp/w/d/f
mount -t tmpfs share tmp/w/m/share; echo keep > tmp/w/m/share/f; echo x > tmp/w/m/g
mount --bind srv/protected tmp/w/b/bound; mkdir tmp/w/fb; touch tmp/w/fb/file
mount --bind srv/protected/file tmp/w/fb/file; ln srv/protected/file tmp/w/h/hard
echo x > tmp/w/h2/own; chown 7:7 tmp/w/h2/own; ln tmp/w/h2/own tmp/w/h2/own2; ln -s /tmp tmp/w/totop
ln -s /srv/protected l; ln -s /etc etc/velk_ini/up; cd tmp/w
ln -s /srv/protected mid; ln -s /srv/protected/file last; ln -s ../../srv/protected rel
ln -s /srv/protected/new dangling; ln -s loop2 loop; ln -s loop loop2; ln -s ../mid d/up
ln -s d ok; ln -s missing/x gone; ln -s /srv/protected d/out
mkdir big; ln ../../srv/protected/file big/hard; (cd big; seq 3000 | xargs touch; touch bound)
mount --bind ../../srv/protected/file big/bound
level() { printf %0250d 0 | tr 0 $1; }
s=; for c in a b c d e f g h i j k l m n o; do
  mkdir $(level $c); cd -P $(level $c); s=$s$(level $c)/; done
ln -s $(level p)/$(level q)/$(level r)/x t
for c in p q r; do mkdir $(level $c); cd -P $(level $c); done
ln -s /srv/protected x; ln -s $s /tmp/root/tmp/w/s)";

// Runs `body` in a forked child whose root is a fresh tmpfs laid out as kTestRoot says, and
// hands back what it reports and any change below /srv.
ForkResult inTestRoot(const std::function<std::string()>& body) {
    return runForked([&]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error) || ::mkdir("/tmp/root", 0755) != 0 ||
            std::system(kTestRoot) != 0 ||
            ::mount("proc", "/tmp/root/proc", "proc", MS_NOSUID | MS_NODEV, nullptr) != 0 ||
            ::chroot("/tmp/root") != 0 || ::chdir("/") != 0) {
            return "test root: " + error + std::strerror(errno);
        }
        const std::string before = protectedState();
        std::string report = body();
        return report + (protectedState() == before ? "" : "changed:\n" + protectedState());
    });
}

using velk::testing::ScratchDir;

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// ---- the ownership guard ----------------------------------------------------------------

TEST(CheckOwnerPermissionsTest, JudgesWhatThePathNames) {
    ScratchDir dir;
    const std::string root = realPath(dir.path());
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(::mkdir((root + "/sub").c_str(), 0755), 0);
    // Enough ".." to climb from the scratch folder to the root.
    std::string up;
    for (char c : root) {
        up += c == '/' ? "../" : "";
    }
    auto link = [&](const char* name, const std::string& target) {
        return ::symlink(target.c_str(), (root + "/" + name).c_str()) == 0;
    };
    ASSERT_TRUE(link("toEtc", "/etc") && link("toRoot", "/") && link("toSub", "sub") &&
                link("dangling", "/etc/elevard-no-such-file") && link("toProc", "/proc/self/cwd") &&
                link("relativeToEtc", up + "etc"))
        << std::strerror(errno);
    const std::vector<std::string> refused = {
        // The plain rules.
        "/", "/etc", "/etc/passwd", "/var/lib/x", "/variable", "/usr2", "/srv/data", "/lib64/x",
        "/proc/1/fd", "/bin", "/boot/x", "/cdrom", "/dev/null", "/lib/x", "/root", "/run/x",
        "/sbin/x", "/snap/x", "/sys/x", "/usr/x", "/library", "/binaries", "/devices", "/runtime",
        "/snapshots", "/etc/velk_inimore",
        // Only judging the place the path names, not its text, refuses these.
        "", "etc/passwd", "./tmp/x", "tmp", "//etc/passwd", "/mnt/../etc", "/mnt/./..//etc/shadow",
        "/tmp/../../..", "//", "/etc/velk_ini/../passwd", "/etc/velk_ini/../../usr",
        std::string("/etc\0/../../tmp", 15), root + "/toEtc", root + "/toEtc/passwd",
        root + "/toRoot", root + "/toRoot/tmp/../usr", root + "/dangling", root + "/relativeToEtc",
        root + "/toProc", root + "/toSub/../toEtc/x", root + "/missing/../" + up + "etc"};
    const std::vector<std::string> accepted = {
        "/mnt/a", "/home/user/x", "/tmp/x", "/opt/x", "/media/disk", "/etc/velk_ini",
        "/etc/velk_ini/file.ini",
        // These still name places outside the system folders.
        "/var/../tmp/x", "/tmp/./x//y/", root, root + "/sub", root + "/toSub/new/deeper",
        root + "/toRoot/tmp", root + "/missing/x", root + "/a'; touch /tmp/pwned; '"};
    for (const auto& [paths, allowed] : {std::pair{&refused, false}, std::pair{&accepted, true}}) {
        for (const std::string& path : *paths) {
            SCOPED_TRACE("path \"" + path + "\"");
            SystemCommands commands;
            EXPECT_EQ(commands.checkOwnerPermissions(path), allowed);
            EXPECT_EQ(commands.lastError(), allowed ? "" : path + " is forbidden for chown");
        }
    }
}

TEST(CheckOwnerPermissionsTest, RefusedPathsRunNothing) {
    SystemCommands commands;
    ASSERT_FALSE(commands.checkOwnerPermissions("/usr/x"));
    ScratchDir dir;
    ASSERT_TRUE(dir.write("file", "data"));
    const std::pair<const char*, std::function<bool()>> cases[] = {
        {"makeDirectory", [&] { return commands.makeDirectory("/usr/x"); }},
        {"removePath", [&] { return commands.removePath("/usr/x"); }},
        {"changeOwner", [&] { return commands.changeOwner("/usr/x", 0, 0, true); }},
        {"rename from", [&] { return commands.rename("/usr/x", "/etc/y"); }},
        {"rename to", [&] { return commands.rename(dir.file("file"), "/usr/x"); }},
    };
    for (const auto& [name, operation] : cases) {
        SCOPED_TRACE(name);
        commands.execute("exit 1");
        EXPECT_FALSE(operation());
        EXPECT_EQ(commands.lastError(), "/usr/x is forbidden for chown");
    }
    EXPECT_TRUE(exists(dir.file("file")));
}

// ---- path changes on a scratch tree -----------------------------------------------------
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
    // Each change, run in this order: "done" or its failure text, then " | " and a path with the
    // type and owner it has afterwards. fs.protected_hardlinks reads 0 until a row turns it on.
    bool linksProtected = false;
    const std::pair<std::function<bool(SystemCommands&)>, std::string> rows[] = {
        {[](auto& c) { return c.changeOwner("/tmp/w/ok", 5, 6, false); },
         "done | /tmp/w/d dir 5:6 | /tmp/w/ok link 0:0"},
        {[](auto& c) { return c.changeOwner("/tmp/w/ok", 7, 8, true); },
         "done | /tmp/w/ok link 7:8 | /tmp/w/d dir 5:6"},
        {[](auto& c) { return c.changeOwner("/tmp/w/d", 9, 9, true); },
         "done | /tmp/w/d/f file 9:9 | /tmp/w/d/out link 9:9"},
        {[](auto& c) { return c.makeDirectory("/tmp/w/ok"); }, "done | /tmp/w/ok link 7:8"},
        {[](auto& c) { return c.makeDirectory("/tmp/w/ok/new/deeper"); },
         "done | /tmp/w/d/new/deeper dir 0:0"},
        {[](auto& c) { return c.makeDirectory("/tmp/w/gone"); },
         "mkdir -p /tmp/w/gone: File exists | /tmp/w/missing missing"},
        {[](auto& c) { return c.changeOwner("/tmp/w/d", -1, 5, false); },
         "chown -1:5 /tmp/w/d: Invalid argument | /tmp/w/d dir 9:9"},
        {[](auto& c) { return c.changeOwner("/tmp/w/d", 5, -1, true); },
         "chown -R 5:-1 /tmp/w/d: Invalid argument | /tmp/w/d dir 9:9"},
        {[](auto& c) { return c.rename("/tmp/w/ok", "/tmp/w/ok2"); },
         "done | /tmp/w/ok2 link 7:8 | /tmp/w/d dir 9:9"},
        {[](auto& c) { return c.removePath("/tmp/w/ok2"); },
         "done | /tmp/w/ok2 missing | /tmp/w/d/f file 9:9"},
        {[](auto& c) { return c.removePath("/tmp/w/d/."); },
         "rm -rf /tmp/w/d/.: Invalid argument | /tmp/w/d dir 9:9"},
        {[](auto& c) { return c.removePath("/tmp/w/d"); }, "done | /tmp/w/d missing"},
        {[](auto& c) { return c.changeOwner("/tmp/w/m", 4, 4, true); },
         "chown -R 4:4 /tmp/w/m: /tmp/w/m/share left alone: it is the root of another mount"
         " | /tmp/w/m/g file 4:4 | /tmp/w/m/share/f file 0:0"},
        {[](auto& c) { return c.changeOwner("/tmp/w/b", 4, 4, true); },
         "chown -R 4:4 /tmp/w/b: /tmp/w/b/bound left alone: it is the root of another mount"
         " | /tmp/w/b dir 4:4"},
        {[](auto& c) { return c.changeOwner("/tmp/w/fb", 4, 4, true); },
         "chown -R 4:4 /tmp/w/fb: /tmp/w/fb/file left alone: it is the root of another mount"
         " | /tmp/w/fb dir 4:4"},
        {[](auto& c) { return c.removePath("/tmp/w/fb"); },
         "rm -rf /tmp/w/fb: /tmp/w/fb/file left alone: it is the root of another mount"
         " | /tmp/w/fb/file file 0:0"},
        {[](auto& c) { return c.removePath("/tmp/w/m/share"); },
         "rm -rf /tmp/w/m/share: /tmp/w/m/share left alone: it is the root of another mount"
         " | /tmp/w/m/share/f file 0:0"},
        {[](auto& c) { return c.rename("/tmp/w/m/share", "/tmp/w/moved"); },
         "rename /tmp/w/m/share /tmp/w/moved: /tmp/w/m/share left alone: it is the root of "
         "another mount | /tmp/w/moved missing"},
        {[](auto& c) { return c.removePath("/tmp/w/m/"); },
         "rm -rf /tmp/w/m/: /tmp/w/m/share left alone: it is the root of another mount"
         " | /tmp/w/m/g missing | /tmp/w/m/share/f file 0:0"},
        {[](auto& c) { return c.changeOwner("/tmp/w/h", 3, 3, true); },
         "chown -R 3:3 /tmp/w/h: /tmp/w/h/hard left alone: it has more than one link"
         " | /tmp/w/h dir 3:3"},
        {[](auto& c) { return c.changeOwner("/tmp/w/h2/own", 3, 3, false); },
         "chown 3:3 /tmp/w/h2/own: /tmp/w/h2/own left alone: it has more than one link"
         " | /tmp/w/h2/own file 7:7"},
        {[&](auto& c) {
             return (linksProtected = true) && c.changeOwner("/tmp/w/h2/own", 3, 3, false);
         },
         "done | /tmp/w/h2/own2 file 3:3"},
        {[](auto& c) { return c.changeOwner("/tmp/w/h", 3, 3, true); },
         "chown -R 3:3 /tmp/w/h: /tmp/w/h/hard left alone: it has more than one link"
         " | /tmp/w/h/hard file 0:0"},
        // A folder large enough for threads to share its entries; its hard link to the
        // protected file is left alone too, or the protected place would have changed.
        {[](auto& c) { return c.changeOwner("/tmp/w/big", 3, 3, true); },
         "chown -R 3:3 /tmp/w/big: /tmp/w/big/bound left alone: it is the root of another mount"
         " | /tmp/w/big dir 3:3 | /tmp/w/big/1 file 3:3 | /tmp/w/big/3000 file 3:3"},
        {[](auto& c) { return c.removePath("/tmp"); },
         "/tmp is forbidden for chown | /tmp/w dir 0:0"},
        {[](auto& c) { return c.changeOwner("/tmp/w/totop", 3, 3, false); },
         "/tmp/w/totop is forbidden for chown | /tmp dir 0:0"},
        {[](auto& c) { return c.rename("/tmp/w/h", "/tmp/w/../../top"); },
         "/tmp/w/../../top is forbidden for chown | /tmp/w/h dir 3:3"},
        {[](auto& c) { return c.makeDirectory("/top"); }, "done | /top dir 0:0"},
    };
    ForkResult result = inTestRoot([&] {
        std::string report;
        for (const auto& [operation, expected] : rows) {
            SystemCommands commands([&] { return linksProtected; });
            std::string got = operation(commands) ? "done" : commands.lastError();
            for (std::size_t at = expected.find(" | "); at != std::string::npos;
                 at = expected.find(" | ", at + 1)) {
                const std::string path =
                    expected.substr(at + 3, expected.find(' ', at + 3) - at - 3);
                got += " | " + path + " " + describe(path);
            }
            report += got == expected ? "" : got + "\n  expected " + expected + "\n";
        }
        return report;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "");
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
        const std::string seen = std::to_string(swaps) + " swaps, " + std::to_string(counts[0]) +
                                 " refused, " + std::to_string(counts[1]) + " done\n";
        return swaps > 0 && counts[0] > 0 && counts[1] > 0 ? std::string() : seen;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "");
}

// The protected folder is bound onto a folder while rm removes it, at a moment that moves from
// round to round: rm refuses the mount point or empties the folder beneath, never the mount.
TEST(OwnershipGuardTest, AMountMadeOnTheFolderDuringRmIsNeverEntered) {
    ForkResult result = inTestRoot([] {
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
        std::atomic<bool> stop{false};
        std::thread mounter([&] {
            for (int round = 1; !stop; finished = round++) {
                while (started < round && !stop) {
                }
                for (int wait = round * 37 % 20000; wait > 0; --wait) {
                    std::atomic_signal_fence(std::memory_order_seq_cst);  // a delay kept
                }
                // Fails with ENOENT when rm was quicker.
                ::mount("/srv/protected", "/tmp/w/r", nullptr, MS_BIND, nullptr);
            }
        });
        SystemCommands c;
        long mounted = 0;
        int round = 0;
        // Two seconds, and longer (up to 20) until both outcomes were seen: on a loaded machine
        // the mounter may lose every race for a while.
        const auto start = std::chrono::steady_clock::now();
        auto goOn = [&] {
            const auto spent = std::chrono::steady_clock::now() - start;
            const bool bothSeen = mounted > 0 && mounted < round;
            return round < 4000 && spent < std::chrono::seconds(bothSeen ? 2 : 20);
        };
        while (goOn()) {
            ::mkdir("/tmp/w/r", 0755);
            for (const char* name : {"/tmp/w/r/a", "/tmp/w/r/b", "/tmp/w/r/c"}) {
                kit::ScopedFd(::open(name, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            }
            started = ++round;
            c.removePath("/tmp/w/r");
            while (finished < round) {
            }
            mounted += ::umount2("/tmp/w/r", MNT_DETACH) == 0;
            std::filesystem::remove_all("/tmp/w/r");
        }
        stop = true;
        mounter.join();
        return mounted > 0 && mounted < round
                   ? std::string()
                   : std::to_string(mounted) + " of " + std::to_string(round) + " rounds mounted\n";
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "");
}

// In a folder its user may write, that user swaps a file of theirs with a link to root's file
// all the time while chown -R goes over the folder: root's file never gets another owner.
TEST(OwnershipGuardTest, ALinkSwappedInDuringChownIsNeverChanged) {
    ForkResult result = inTestRoot([] {
        if (::mkdir("/tmp/w/u", 0755) != 0 || ::chown("/tmp/w/u", 7, 7) != 0 ||
            !kit::ScopedFd(::open("/tmp/w/u/f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644)).valid() ||
            ::chown("/tmp/w/u/f", 7, 7) != 0 || ::link("/srv/protected/file", "/tmp/w/u/x") != 0) {
            return std::string("set-up: ") + std::strerror(errno);
        }
        std::atomic<bool> stop{false};
        std::atomic<long> swaps{0};
        std::thread swapper([&] {
            while (!stop && ::renameat2(AT_FDCWD, "/tmp/w/u/f", AT_FDCWD, "/tmp/w/u/x",
                                        RENAME_EXCHANGE) == 0) {
                ++swaps;
            }
        });
        SystemCommands c([] { return true; });
        long runs = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (; std::chrono::steady_clock::now() < end; ++runs) {
            c.changeOwner("/tmp/w/u", 7, 7, true);
        }
        stop = true;
        swapper.join();
        return swaps > 0 && runs > 0 ? std::string() : "no swaps\n";
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "");
}

}  // namespace
}  // namespace velk
