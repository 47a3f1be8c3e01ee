#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velk/kit/debug.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/shell_text.h"
#include "velk/system_commands/system_commands_ini.h"
#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

using kit::ScopedFd;
using system_commands::detail::escapeSingleQuotes;

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// What a forked child handed back: the text it wrote and whether it exited with status 0.
struct ForkResult {
    bool exitedCleanly = false;
    std::string text;
};

// Runs `body` in a forked child, which sends the returned text back through a pipe and exits.
// Used for whatever must not touch this process: mount namespaces, seccomp filters and the
// once-per-process configuration.
ForkResult runForked(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return {};
    }
    ScopedFd readEnd(fds[0]);
    ScopedFd writeEnd(fds[1]);
    pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return {};
    }
    if (child == 0) {
        std::string text = body();
        for (std::size_t done = 0; done < text.size();) {
            ssize_t n = ::write(writeEnd.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                _exit(2);
            }
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    writeEnd.reset();
    ForkResult result;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(readEnd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.text.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

// ---- execute ----------------------------------------------------------------------------

TEST(ExecuteTest, ReportsStatusOutputAndPieces) {
    struct Case {
        std::string command;
        bool succeeds;
        std::vector<std::string> pieces;
        std::string lastError;
    };
    const std::string longLine(3000, 'x');
    const Case cases[] = {
        {"true", true, {}, ""},
        {"exit 1", false, {}, "Command exit 1 failed with return code 256. Output: "},
        // " 2>&1" joins the standard error of the one command the callers run.
        {"sh -c 'echo out; echo err >&2; exit 3'",
         false,
         {"out\n", "err\n"},
         "Command sh -c 'echo out; echo err >&2; exit 3' failed with return code 768. Output: "
         "out\nerr\n"},
        {"printf 'a\\nb'", true, {"a\n", "b"}, ""},
        {"printf '%3000s\\n' '' | tr ' ' x",
         true,
         {longLine.substr(0, 1023), longLine.substr(0, 1023), longLine.substr(0, 954) + "\n"},
         ""},
        {"kill -9 $$", false, {}, "Command kill -9 $$ failed with return code 9. Output: "},
        {std::string("true\0; touch x", 14),
         false,
         {},
         std::string("popen for true\0; touch x has failed", 35)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        SystemCommands commands;
        std::vector<std::string> pieces;
        std::string failure = "untouched";
        bool ok = commands.execute(
            c.command, [&](const char* piece) { pieces.emplace_back(piece); }, &failure);
        EXPECT_EQ(ok, c.succeeds);
        EXPECT_EQ(pieces, c.pieces);
        EXPECT_EQ(commands.lastError(), c.lastError);
        EXPECT_EQ(failure, c.succeeds ? "untouched" : c.lastError);
    }
}

TEST(ExecuteTest, MissingProgramAndEmptyCallback) {
    SystemCommands commands;
    EXPECT_FALSE(commands.execute("/nonexistent/elevard-program"));
    const std::string prefix =
        "Command /nonexistent/elevard-program failed with return code 32512. Output: ";
    std::string error = commands.lastError();
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    EXPECT_NE(error.find("not found", prefix.size()), std::string::npos) << error;

    // A later success leaves the failure's text in place.
    EXPECT_TRUE(commands.execute("echo fine", {}));
    EXPECT_EQ(commands.lastError(), error);
}

TEST(ExecuteTest, ConcurrentFailuresEachSeeTheirOwnText) {
    SystemCommands commands;
    constexpr int kThreads = 8;
    constexpr int kRuns = 10;
    std::vector<std::vector<std::string>> mismatches(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int run = 0; run < kRuns; ++run) {
                std::string tag = "worker-" + std::to_string(t) + "-run-" + std::to_string(run);
                std::string command = "echo " + tag + "; exit 1";
                std::string expected =
                    "Command " + command + " failed with return code 256. Output: " + tag + "\n";
                std::string failure;
                commands.execute(command, {}, &failure);
                std::string shared = commands.lastError();
                bool sharedIsWhole = shared.rfind("Command echo worker-", 0) == 0 &&
                                     shared.size() > 1 && shared.back() == '\n';
                if (failure != expected || !sharedIsWhole) {
                    mismatches[t].push_back(failure + " | " + shared);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        EXPECT_TRUE(mismatches[t].empty()) << mismatches[t].front();
    }
}

// The pipes this process holds, each with its close-on-exec flag.
std::map<int, bool> openPipes() {
    std::map<int, bool> pipes;
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), ::closedir);
    if (!fds) {
        ADD_FAILURE() << "opendir /proc/self/fd: " << std::strerror(errno);
        return pipes;
    }
    while (const dirent* entry = ::readdir(fds.get())) {
        int fd = std::atoi(entry->d_name);
        struct stat status {};
        if (entry->d_name[0] != '.' && fd != ::dirfd(fds.get()) && ::fstat(fd, &status) == 0 &&
            S_ISFIFO(status.st_mode)) {
            pipes[fd] = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
        }
    }
    return pipes;
}

// Programs that other workers start while a command runs (not only through popen) must not
// inherit its output pipe, or that command's reader would wait for them too.
TEST(ExecuteTest, OutputPipeIsCloseOnExec) {
    const std::map<int, bool> before = openPipes();
    std::map<int, bool> during;
    SystemCommands commands;
    ASSERT_TRUE(commands.execute("echo line", [&](const char*) { during = openPipes(); }));
    int newPipes = 0;
    for (const auto& [fd, closeOnExec] : during) {
        if (before.count(fd) == 0) {
            ++newPipes;
            EXPECT_TRUE(closeOnExec) << "descriptor " << fd;
        }
    }
    EXPECT_EQ(newPipes, 1);
}

TEST(ExecuteTest, EscapedValuesReachTheShellAsOneWord) {
    const std::string values[] = {
        "", "'", "it's", "a'; echo pwned; '", "$(id) `id` \\ \" $HOME", "multi\nline",
    };
    SystemCommands commands;
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        std::string output;
        ASSERT_TRUE(commands.execute("printf '%s' '" + escapeSingleQuotes(value) + "'",
                                     [&](const char* piece) { output += piece; }));
        EXPECT_EQ(output, value);
    }
}

// ---- the ownership guard ----------------------------------------------------------------

TEST(CheckOwnerPermissionsTest, JudgesWhatThePathNames) {
    velk::testing::ScratchDir dir;
    const std::string root = realPath(dir.path());
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(::symlink("/etc", (root + "/toEtc").c_str()), 0);
    ASSERT_EQ(::symlink("/", (root + "/toRoot").c_str()), 0);
    ASSERT_EQ(::symlink("/etc/elevard-no-such-file", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("/proc/self/cwd", (root + "/toProc").c_str()), 0);
    ASSERT_EQ(::mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("sub", (root + "/toSub").c_str()), 0);
    // Enough ".." to climb from the scratch folder to the root, then into /etc.
    std::string up;
    for (char c : root) {
        up += c == '/' ? "../" : "";
    }
    ASSERT_EQ(::symlink((up + "etc").c_str(), (root + "/relativeToEtc").c_str()), 0);

    struct Case {
        std::string path;
        bool allowed;
    };
    const Case cases[] = {
        // Refused by the plain rules.
        {"/", false},
        {"/etc", false},
        {"/etc/passwd", false},
        {"/var/lib/x", false},
        {"/variable", false},
        {"/usr2", false},
        {"/srv/data", false},
        {"/lib64/x", false},
        {"/proc/1/fd", false},
        {"/bin", false},
        {"/boot/x", false},
        {"/cdrom", false},
        {"/dev/null", false},
        {"/lib/x", false},
        {"/root", false},
        {"/run/x", false},
        {"/sbin/x", false},
        {"/snap/x", false},
        {"/sys/x", false},
        {"/usr/x", false},
        {"/library", false},
        {"/binaries", false},
        {"/devices", false},
        {"/runtime", false},
        {"/snapshots", false},
        // Accepted by the plain rules.
        {"/mnt/a", true},
        {"/home/user/x", true},
        {"/tmp/x", true},
        {"/opt/x", true},
        {"/media/disk", true},
        {"/etc/velk_ini", true},
        {"/etc/velk_ini/file.ini", true},
        {"/etc/velk_inimore", true},
        // Refused now that the path itself is judged, not its text.
        {"", false},
        {"etc/passwd", false},
        {"./tmp/x", false},
        {"tmp", false},
        {"//etc/passwd", false},
        {"/mnt/../etc", false},
        {"/mnt/./..//etc/shadow", false},
        {"/tmp/../../..", false},
        {"//", false},
        {"/etc/velk_ini/../passwd", false},
        {"/etc/velk_ini/../../usr", false},
        {std::string("/etc\0/../../tmp", 15), false},
        {root + "/toEtc", false},
        {root + "/toEtc/passwd", false},
        {root + "/toRoot", false},
        {root + "/toRoot/tmp/../usr", false},
        {root + "/dangling", false},
        {root + "/relativeToEtc", false},
        {root + "/toProc", false},
        {root + "/toSub/../toEtc/x", false},
        {root + "/missing/../" + up + "etc", false},
        // Still accepted: these name places outside the system folders.
        {"/var/../tmp/x", true},
        {"/tmp/./x//y/", true},
        {root, true},
        {root + "/sub", true},
        {root + "/toSub/new/deeper", true},
        {root + "/toRoot/tmp", true},
        {root + "/missing/x", true},
        {root + "/a'; touch /tmp/pwned; '", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("path \"" + c.path + "\"");
        SystemCommands commands;
        EXPECT_EQ(commands.checkOwnerPermissions(c.path), c.allowed);
        EXPECT_EQ(commands.lastError(), c.allowed ? "" : c.path + " is forbidden for chown");
    }
}

TEST(CheckOwnerPermissionsTest, RefusedPathsRunNothing) {
    SystemCommands commands;
    ASSERT_FALSE(commands.checkOwnerPermissions("/usr/x"));
    const std::string refusal = "/usr/x is forbidden for chown";
    velk::testing::ScratchDir dir;
    ASSERT_TRUE(dir.write("file", "data"));
    struct Case {
        const char* name;
        std::function<bool()> operation;
        std::string lastError;
    };
    const Case cases[] = {
        {"makeDirectory", [&] { return commands.makeDirectory("/usr/x"); }, refusal},
        {"removePath", [&] { return commands.removePath("/usr/x"); }, refusal},
        {"changeOwner", [&] { return commands.changeOwner("/usr/x", 0, 0, true); }, refusal},
        {"rename from", [&] { return commands.rename("/usr/x", "/etc/y"); }, refusal},
        {"rename to", [&] { return commands.rename(dir.file("file"), "/usr/x"); }, refusal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        commands.execute("exit 1");
        EXPECT_FALSE(c.operation());
        EXPECT_EQ(commands.lastError(), c.lastError);
    }
    EXPECT_TRUE(exists(dir.file("file")));
}

// ---- path changes on a scratch tree -----------------------------------------------------

TEST(PathChangesTest, ChangeOwnerPlainAndRecursive) {
    struct Case {
        bool recursive;
        uid_t childUid;
    };
    const Case cases[] = {{false, 0}, {true, 4321}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recursive ? "recursive" : "plain");
        velk::testing::ScratchDir dir;
        const std::string top = dir.file("top");
        ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
        ASSERT_TRUE(dir.write("top/inner", "x"));
        ASSERT_EQ(::chown((top + "/inner").c_str(), 0, 0), 0);
        SystemCommands commands;
        ASSERT_TRUE(commands.changeOwner(top, 4321, 8765, c.recursive)) << commands.lastError();
        struct stat status {};
        ASSERT_EQ(::stat(top.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, 4321u);
        EXPECT_EQ(status.st_gid, 8765u);
        ASSERT_EQ(::stat((top + "/inner").c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, c.childUid);
        EXPECT_EQ(status.st_gid, c.recursive ? 8765u : 0u);
    }
}

TEST(PathChangesTest, ChangeOwnerOfMissingPathRecordsTheCommand) {
    velk::testing::ScratchDir dir;
    const std::string missing = dir.file("missing");
    SystemCommands commands;
    EXPECT_FALSE(commands.changeOwner(missing, 5, 7, false));
    const std::string prefix =
        "Command chown 5:7 '" + missing + "' failed with return code 256. Output: ";
    EXPECT_EQ(commands.lastError().rfind(prefix, 0), 0u) << commands.lastError();
}

TEST(PathChangesTest, MakeDirectoryRemovePathAndRename) {
    velk::testing::ScratchDir dir;
    SystemCommands commands;
    const std::string deep = dir.file("a/b/c");
    ASSERT_TRUE(commands.makeDirectory(deep)) << commands.lastError();
    EXPECT_TRUE(commands.stat(deep).type == FileType::directory);
    EXPECT_TRUE(commands.makeDirectory(deep)) << "an existing directory is success";

    ASSERT_TRUE(dir.write("a/b/c/file", "content"));
    ASSERT_TRUE(commands.rename(dir.file("a/b"), dir.file("moved")));
    EXPECT_FALSE(exists(dir.file("a/b")));
    EXPECT_TRUE(exists(dir.file("moved/c/file")));

    commands.execute("exit 1");
    const std::string before = commands.lastError();
    EXPECT_FALSE(commands.rename(dir.file("nothing-here"), dir.file("target")));
    EXPECT_EQ(commands.lastError(), before) << "a failed rename records nothing";

    ASSERT_TRUE(commands.removePath(dir.file("moved"))) << commands.lastError();
    EXPECT_FALSE(exists(dir.file("moved")));
    EXPECT_TRUE(commands.removePath(dir.file("moved"))) << "a missing path is success";
}

TEST(PathChangesTest, QuotesInPathsCannotEndTheShellWord) {
    velk::testing::ScratchDir dir;
    const std::string pwned = dir.file("pwned");
    const std::string path = dir.file("a'; touch " + pwned + "; '");
    SystemCommands commands;
    ASSERT_TRUE(commands.makeDirectory(path)) << commands.lastError();
    EXPECT_TRUE(commands.stat(path).type == FileType::directory);
    ASSERT_TRUE(commands.changeOwner(path, 1234, 1234, true)) << commands.lastError();
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 1234u);
    ASSERT_TRUE(commands.removePath(path)) << commands.lastError();
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(pwned));
}

TEST(PathChangesTest, OpenCreatesWithUmaskAndReportsFailure) {
    velk::testing::ScratchDir dir;
    SystemCommands commands;
    const std::string created = dir.file("new-file");
    mode_t previous = ::umask(022);
    ScopedFd fd(commands.open(created, 66));
    ::umask(previous);
    ASSERT_TRUE(fd.valid());
    struct stat status {};
    ASSERT_EQ(::fstat(fd.get(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0) << "kept out of concurrent shells";
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_ACCMODE, O_RDWR);

    ScopedFd guarded(commands.open("/etc/passwd", 0));
    EXPECT_TRUE(guarded.valid()) << "open has no guard";

    ::testing::internal::CaptureStderr();
    int missing = commands.open(dir.file("no/such/file"), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(missing, 0);
    EXPECT_EQ(err, std::string("open: ") + std::strerror(ENOENT) + "\n");
}

// ---- storage and file queries -----------------------------------------------------------

TEST(StorageQueriesTest, StatOfMissingPathAndItsRecord) {
    SystemCommands commands;
    StatResult result = commands.stat("/nonexistent/elevard/path");
    EXPECT_FALSE(result.pathExists);
    EXPECT_EQ(result.type, FileType::other);
    EXPECT_EQ(result.size, -1);
    const char expected[16] = {0, 0, 0, 0, 2, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(result.serialized(), std::string(expected, sizeof(expected)));
    EXPECT_FALSE(commands.isPathExists("/nonexistent/elevard/path"));
    EXPECT_EQ(commands.fileSize("/nonexistent/elevard/path"), -1);

    StatResult file{true, FileType::regularFile, 0x0102030405060708};
    const char fileBytes[16] = {1, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ(file.serialized(), std::string(fileBytes, sizeof(fileBytes)));
}

TEST(StorageQueriesTest, StatOfExistingPaths) {
    velk::testing::ScratchDir dir;
    ASSERT_TRUE(dir.write("file", std::string(1234, 'a')));
    struct stat own {};
    ASSERT_EQ(::stat(dir.path().c_str(), &own), 0);
    struct Case {
        std::string path;
        FileType type;
        std::int64_t size;
    };
    const Case cases[] = {
        {dir.file("file"), FileType::regularFile, 1234},
        {dir.path(), FileType::directory, own.st_size},
        {"/dev/null", FileType::other, 0},
    };
    SystemCommands commands;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StatResult result = commands.stat(c.path);
        EXPECT_TRUE(result.pathExists);
        EXPECT_EQ(result.type, c.type);
        EXPECT_EQ(result.size, c.size);
        EXPECT_TRUE(commands.isPathExists(c.path));
        EXPECT_EQ(commands.fileSize(c.path), c.size);
    }
}

// Splits a file list into its records, each "path,size,isDirectory" without the last comma.
std::multiset<std::string> records(const std::string& list) {
    std::multiset<std::string> result;
    std::string record;
    int fields = 0;
    for (char c : list) {
        if (c == ',' && ++fields == 3) {
            result.insert(record);
            record.clear();
            fields = 0;
            continue;
        }
        record += c;
    }
    if (!record.empty()) {
        result.insert("unterminated: " + record);
    }
    return result;
}

TEST(StorageQueriesTest, ListsEntriesWithAndWithoutTrailingSlash) {
    velk::testing::ScratchDir dir;
    const std::string data = dir.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
    ASSERT_TRUE(dir.write("data/a.mkv", std::string(1234, 'v')));
    ASSERT_TRUE(dir.write("data/.hidden", "12345"));
    ASSERT_EQ(::mkdir((data + "/sub").c_str(), 0755), 0);
    ASSERT_TRUE(dir.write("data/sub/ignored", "not listed"));
    ASSERT_EQ(::symlink("sub", (data + "/linkToSub").c_str()), 0);
    ASSERT_EQ(::symlink("a.mkv", (data + "/linkToFile").c_str()), 0);
    ASSERT_EQ(::symlink("gone", (data + "/dangling").c_str()), 0);
    const std::multiset<std::string> expected = {
        data + "/a.mkv,1234,0",  data + "/.hidden,5,0",       data + "/sub,0,1",
        data + "/linkToSub,0,1", data + "/linkToFile,1234,0",
    };
    SystemCommands commands;
    for (const std::string& path : {data, data + "/"}) {
        SCOPED_TRACE(path);
        std::string list = commands.serializedFileList(path);
        EXPECT_EQ(list.back(), ',');
        EXPECT_EQ(records(list), expected) << list;
    }
    ASSERT_EQ(::mkdir(dir.file("empty").c_str(), 0755), 0);
    EXPECT_EQ(commands.serializedFileList(dir.file("empty")), "");
    EXPECT_EQ(commands.serializedFileList(dir.file("missing")), "");
}

TEST(StorageQueriesTest, LongFullPathsAreNotCut) {
    velk::testing::ScratchDir dir;
    std::string deep = dir.path();
    while (deep.size() < 2000) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
    }
    const std::string name(2100 - deep.size(), 'f');
    std::ofstream(deep + "/" + name) << "abc";
    SystemCommands commands;
    EXPECT_EQ(commands.serializedFileList(deep), deep + "/" + name + ",3,0,");
}

TEST(StorageQueriesTest, SpaceMatchesStatvfs) {
    velk::testing::ScratchDir dir;
    SystemCommands commands;
    struct statvfs info {};
    ASSERT_EQ(::statvfs(dir.path().c_str(), &info), 0);
    EXPECT_EQ(commands.totalSpace(dir.path()),
              static_cast<std::int64_t>(info.f_blocks * info.f_frsize));

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(commands.freeSpace(dir.file("missing")), -1);
    EXPECT_EQ(commands.totalSpace(dir.file("missing")), -1);
    std::string err = ::testing::internal::GetCapturedStderr();
    const std::string reason = std::string(": ") + std::strerror(ENOENT) + "\n";
    EXPECT_EQ(err,
              "freeSpace: statvfs64 failed:" + reason + "totalSpace: statvfs64 failed:" + reason);
}

// On a tmpfs of our own, in a mount namespace of our own, free and total space are exactly
// known and there is no block device behind it.
TEST(StorageQueriesTest, PrivateTmpfsSpaceAndNoDevice) {
    velk::testing::ScratchDir dir;
    const std::string mountPoint = dir.file("mnt");
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    ForkResult result = runForked([&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return std::string("setup failed: ") + std::strerror(errno);
        }
        SystemCommands commands;
        std::ostringstream out;
        out << commands.freeSpace(mountPoint) << " " << commands.totalSpace(mountPoint) << " ["
            << commands.devicePath(mountPoint) << "]";
        return out.str();
    });
    ASSERT_TRUE(result.exitedCleanly);
    EXPECT_EQ(result.text, "1048576 1048576 []");
}

TEST(StorageQueriesTest, DevicePathOfTheRootFileSystem) {
    SystemCommands commands;
    EXPECT_EQ(commands.devicePath("/nonexistent/elevard/path"), "");
    struct stat root {};
    ASSERT_EQ(::stat("/", &root), 0);
    std::ifstream partitions("/proc/partitions");
    std::string line;
    std::string name;
    while (name.empty() && std::getline(partitions, line)) {
        unsigned int lineMajor = 0;
        unsigned int lineMinor = 0;
        char lineName[256];
        if (std::sscanf(line.c_str(), "%u %u %*d %255s", &lineMajor, &lineMinor, lineName) == 3 &&
            lineMajor == major(root.st_dev) && lineMinor == minor(root.st_dev)) {
            name = lineName;
        }
    }
    if (name.empty()) {
        GTEST_SKIP() << "the device of / is not listed in /proc/partitions";
    }
    EXPECT_EQ(commands.devicePath("/"), "/dev/" + name);
}

// ---- open-file limit --------------------------------------------------------------------
// velk::ini() is read once per process, so every call of setFdLimit runs in a forked child:
// this process never reads the configuration and each child reads its own.

std::string iniDirWith(const velk::testing::ScratchDir& dir, bool enableOutput) {
    EXPECT_TRUE(dir.write("velk_system_commands.ini",
                          std::string("enableOutput=") + (enableOutput ? "true" : "false") + "\n"));
    return dir.path();
}

// Runs `calls` in a child whose configuration comes from `iniDir`, with the diagnostic stream
// captured; returns the text of the calls followed by "|" and the captured lines.
ForkResult withDiagnostics(const std::string& iniDir,
                           const std::function<std::string(SystemCommands&)>& calls) {
    return runForked([&]() -> std::string {
        ::setenv("VELK_INI_DIR", iniDir.c_str(), 1);
        std::ostringstream captured;
        kit::debug::stream() = &captured;
        SystemCommands commands;
        std::string results = calls(commands);
        return results + "|" + captured.str();
    });
}

rlimit ownLimit() {
    rlimit limit{};
    EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    return limit;
}

// A pid that names no process: a child that has been reaped.
pid_t deadPid() {
    pid_t child = ::fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return child;
}

TEST(SetFdLimitTest, LiveChildGetsBothLimits) {
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    ScopedFd gateRead(gate[0]);
    ScopedFd gateWrite(gate[1]);
    pid_t sleeper = ::fork();
    ASSERT_GE(sleeper, 0);
    if (sleeper == 0) {
        gateWrite.reset();
        char byte;
        while (::read(gateRead.get(), &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    velk::testing::ScratchDir dir;
    ForkResult result = withDiagnostics(iniDirWith(dir, false), [&](SystemCommands& commands) {
        return std::to_string(commands.setFdLimit(sleeper, 512));
    });
    rlimit limit{};
    int read = ::prlimit(sleeper, RLIMIT_NOFILE, nullptr, &limit);
    gateWrite.reset();
    int status = 0;
    while (::waitpid(sleeper, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(result.exitedCleanly);
    EXPECT_EQ(result.text, "512|");
    ASSERT_EQ(read, 0);
    EXPECT_EQ(limit.rlim_cur, 512u);
    EXPECT_EQ(limit.rlim_max, 512u);
}

TEST(SetFdLimitTest, FailuresReturnTheServicesOwnSoftLimit) {
    const rlimit own = ownLimit();
    const pid_t gone = deadPid();
    velk::testing::ScratchDir dir;
    ForkResult result = withDiagnostics(iniDirWith(dir, false), [&](SystemCommands& commands) {
        std::ostringstream out;
        out << commands.setFdLimit(gone, 4096) << " " << commands.setFdLimit(0, 3) << " "
            << commands.setFdLimit(-1, 3) << " " << commands.setFdLimit(getpid(), INT_MAX);
        rlimit after{};
        ::getrlimit(RLIMIT_NOFILE, &after);
        out << " " << after.rlim_cur;
        return out.str();
    });
    ASSERT_TRUE(result.exitedCleanly);
    const std::string soft = std::to_string(own.rlim_cur);
    EXPECT_EQ(result.text, soft + " " + soft + " " + soft + " " + soft + " " + soft + "|");
}

// Makes getrlimit fail in this process while prlimit calls that set a limit still work.
bool failGetrlimit() {
#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
    constexpr unsigned int kArch = AUDIT_ARCH_X86_64;
#else
    constexpr unsigned int kArch = AUDIT_ARCH_AARCH64;
#endif
    const unsigned int kFail = SECCOMP_RET_ERRNO | EPERM;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __NR_getrlimit
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrlimit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, kFail),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prlimit64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // prlimit64(pid, resource, new, old) without a new limit is a read.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2]) + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, kFail),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

TEST(SetFdLimitTest, DiagnosticLinesOnlyWithEnableOutput) {
    const pid_t gone = deadPid();
    const std::string goneText = std::to_string(gone);
    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enableOutput on" : "enableOutput off");
        velk::testing::ScratchDir dir;
        pid_t self = 0;
        ForkResult result =
            withDiagnostics(iniDirWith(dir, enabled), [&](SystemCommands& commands) {
                std::ostringstream out;
                out << commands.setFdLimit(::getpid(), 256) << " " << commands.setFdLimit(gone, 77);
                out << " " << (failGetrlimit() ? commands.setFdLimit(gone, 5) : -100);
                out << " " << ::getpid();
                return out.str();
            });
        ASSERT_TRUE(result.exitedCleanly);
        std::istringstream text(result.text);
        int succeeded = 0;
        int failed = 0;
        int unreadable = 0;
        char bar = 0;
        text >> succeeded >> failed >> unreadable >> self >> std::noskipws >> bar;
        EXPECT_EQ(succeeded, 256);
        EXPECT_EQ(failed, 256) << "the child's own soft limit after the first call";
        EXPECT_EQ(unreadable, -1);
        ASSERT_EQ(bar, '|') << result.text;
        std::string captured;
        std::getline(text, captured, '\0');
        if (!enabled) {
            EXPECT_EQ(captured, "");
            continue;
        }
        const std::string messages[] = {
            "prlimit succeeded. pid: " + std::to_string(self) + " value: 256",
            "prlimit failed. pid: " + goneText + " value: 77",
            "getrlimit failed. pid: " + goneText + ", value: 5",
        };
        std::istringstream lines(captured);
        for (const std::string& message : messages) {
            SCOPED_TRACE(message);
            std::string line;
            ASSERT_TRUE(std::getline(lines, line)) << captured;
            const std::string tail = "system_commands_linux.cpp: " + message;
            ASSERT_GE(line.size(), tail.size()) << line;
            EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
            EXPECT_GT(line.size(), tail.size()) << "the kit's prefix starts the line";
        }
        std::string extra;
        EXPECT_FALSE(std::getline(lines, extra)) << extra;
    }
}

}  // namespace
}  // namespace velk
