#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velk/kit/debug.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/shell_text.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

using kit::ScopedFd;
using system_commands::detail::escapeSingleQuotes;
using velk::testing::ForkResult;
using velk::testing::runForked;
using velk::testing::ScratchDir;

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
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
        // Nothing clears the text: a later success, here without a callback, leaves it.
        EXPECT_TRUE(commands.execute("true", {}));
        EXPECT_EQ(commands.lastError(), c.lastError);
    }
}

TEST(ExecuteTest, ConcurrentFailuresEachSeeTheirOwnText) {
    SystemCommands commands;
    std::vector<std::string> mismatches[8];
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            // The shared text is always one worker's whole text, never a mix of two.
            static const std::regex whole(
                R"(Command echo (w\d+-\d+); exit 1 failed with return code 256\. Output: \1\n)");
            for (int run = 0; run < 10; ++run) {
                const std::string tag = "w" + std::to_string(t) + "-" + std::to_string(run);
                const std::string command = "echo " + tag + "; exit 1";
                std::string failure;
                commands.execute(command, {}, &failure);
                const std::string shared = commands.lastError();
                if (failure != "Command " + command +
                                   " failed with return code 256. Output: " + tag + "\n" ||
                    !std::regex_match(shared, whole)) {
                    mismatches[t].push_back(failure + " | " + shared);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::vector<std::string>& mismatch : mismatches) {
        EXPECT_TRUE(mismatch.empty()) << mismatch.front();
    }
}

// The pipes this process holds, each with its close-on-exec flag.
std::map<int, bool> openPipes() {
    std::map<int, bool> pipes;
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), ::closedir);
    while (const dirent* entry = fds ? ::readdir(fds.get()) : nullptr) {
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
    SystemCommands commands;
    for (const std::string value :
         {"", "'", "it's", "a'; echo pwned; '", "$(id) `id` \\ \" $HOME", "multi\nline"}) {
        SCOPED_TRACE(value);
        std::string output;
        ASSERT_TRUE(commands.execute("printf '%s' '" + escapeSingleQuotes(value) + "'",
                                     [&](const char* piece) { output += piece; }));
        EXPECT_EQ(output, value);
    }
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

class PathChangesTest : public ::testing::Test {
protected:
    // "uid:gid" of `path`, or "missing".
    static std::string ownerOf(const std::string& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) != 0
                   ? "missing"
                   : std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
    }

    ScratchDir dir;
    SystemCommands commands;
};

TEST_F(PathChangesTest, ChangeOwnerPlainAndRecursive) {
    for (const std::string name : {"plain", "recursive"}) {
        SCOPED_TRACE(name);
        const std::string top = dir.file(name);
        ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
        ASSERT_TRUE(dir.write(name + "/inner", "x"));
        ASSERT_EQ(::chown((top + "/inner").c_str(), 0, 0), 0);
        ASSERT_TRUE(commands.changeOwner(top, 4321, 8765, name == "recursive"))
            << commands.lastError();
        EXPECT_EQ(ownerOf(top), "4321:8765");
        EXPECT_EQ(ownerOf(top + "/inner"), name == "recursive" ? "4321:8765" : "0:0");
    }
    const std::string missing = dir.file("missing");
    EXPECT_FALSE(commands.changeOwner(missing, 5, 7, false));
    EXPECT_EQ(commands.lastError(), "chown 5:7 " + missing + ": No such file or directory");
}

TEST_F(PathChangesTest, MakeDirectoryRemovePathAndRename) {
    const std::string deep = dir.file("a/b/c");
    ASSERT_TRUE(commands.makeDirectory(deep)) << commands.lastError();
    EXPECT_TRUE(commands.stat(deep).type == FileType::directory);
    EXPECT_TRUE(commands.makeDirectory(deep)) << "an existing directory is success";

    ASSERT_TRUE(dir.write("a/b/c/file", "content"));
    ASSERT_TRUE(commands.rename(dir.file("a/b"), dir.file("moved")));
    EXPECT_FALSE(exists(dir.file("a/b")));
    EXPECT_TRUE(exists(dir.file("moved/c/file")));

    EXPECT_FALSE(commands.rename(dir.file("nothing-here"), dir.file("target")));
    EXPECT_EQ(commands.lastError(), "rename " + dir.file("nothing-here") + " " +
                                        dir.file("target") + ": No such file or directory");

    ASSERT_TRUE(commands.removePath(dir.file("moved"))) << commands.lastError();
    EXPECT_FALSE(exists(dir.file("moved")));
    EXPECT_TRUE(commands.removePath(dir.file("moved"))) << "a missing path is success";
}

TEST_F(PathChangesTest, QuotesInPathsCannotEndTheShellWord) {
    const std::string pwned = dir.file("pwned");
    const std::string path = dir.file("a'; touch " + pwned + "; '");
    ASSERT_TRUE(commands.makeDirectory(path)) << commands.lastError();
    EXPECT_TRUE(commands.stat(path).type == FileType::directory);
    ASSERT_TRUE(commands.changeOwner(path, 1234, 1234, true)) << commands.lastError();
    EXPECT_EQ(ownerOf(path), "1234:1234");
    ASSERT_TRUE(commands.removePath(path)) << commands.lastError();
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(pwned));
}

TEST_F(PathChangesTest, OpenCreatesWithUmaskAndReportsFailure) {
    mode_t previous = ::umask(022);
    ScopedFd fd(commands.open(dir.file("new-file"), 66));
    ::umask(previous);
    ASSERT_TRUE(fd.valid());
    struct stat status {};
    ASSERT_EQ(::fstat(fd.get(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0) << "kept out of concurrent shells";
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_ACCMODE, O_RDWR);

    EXPECT_TRUE(ScopedFd(commands.open("/etc/passwd", 0)).valid()) << "open has no guard";
    EXPECT_TRUE(ScopedFd(commands.open("/etc/passwd", O_PATH)).valid()) << "no flags to clear";
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0) << "the caller's flags, no more";

    // A FIFO with nobody at the other end must not hold the caller: reading opens at once and
    // gets the blocking descriptor it asked for, writing fails at once.
    const std::string fifo = dir.file("planted");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ScopedFd(commands.open(fifo, O_WRONLY)).valid());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              std::string("open: ") + std::strerror(ENXIO) + "\n");
    ScopedFd reader(commands.open(fifo, O_RDONLY));
    ASSERT_TRUE(reader.valid());
    EXPECT_EQ(::fcntl(reader.get(), F_GETFL) & O_NONBLOCK, 0);

    ::testing::internal::CaptureStderr();
    int missing = commands.open(dir.file("no/such/file"), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(missing, 0);
    EXPECT_EQ(err, std::string("open: ") + std::strerror(ENOENT) + "\n");
}

// ---- storage and file queries -----------------------------------------------------------

TEST(StorageQueriesTest, StatOfPaths) {
    ScratchDir dir;
    ASSERT_TRUE(dir.write("file", std::string(1234, 'a')));
    struct stat own {};
    ASSERT_EQ(::stat(dir.path().c_str(), &own), 0);
    const std::pair<std::string, StatResult> cases[] = {
        {dir.file("file"), {true, FileType::regularFile, 1234}},
        {dir.path(), {true, FileType::directory, own.st_size}},
        {"/dev/null", {true, FileType::other, 0}},
        {"/nonexistent/elevard/path", {false, FileType::other, -1}},
    };
    SystemCommands commands;
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        StatResult result = commands.stat(path);
        EXPECT_EQ(result.pathExists, expected.pathExists);
        EXPECT_EQ(result.type, expected.type);
        EXPECT_EQ(result.size, expected.size);
        EXPECT_EQ(commands.isPathExists(path), expected.pathExists);
        EXPECT_EQ(commands.fileSize(path), expected.size);
    }
    const char missing[16] = {0, 0, 0, 0, 2, 0, 0, 0, -1, -1, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(commands.stat("/nonexistent").serialized(), std::string(missing, sizeof(missing)));
    const char file[16] = {1, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
    EXPECT_EQ((StatResult{true, FileType::regularFile, 0x0102030405060708}.serialized()),
              std::string(file, sizeof(file)));
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
    ScratchDir dir;
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
    ScratchDir dir;
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
    ScratchDir dir;
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
    const std::string mountPoint = "/tmp/mnt";
    ForkResult result = runForked([&]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error)) {
            return error;
        }
        if (::mkdir(mountPoint.c_str(), 0755) != 0 ||
            ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return std::string("setup failed: ") + std::strerror(errno);
        }
        SystemCommands commands;
        std::ostringstream out;
        out << commands.freeSpace(mountPoint) << " " << commands.totalSpace(mountPoint) << " ["
            << commands.devicePath(mountPoint) << "]";
        return out.str();
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
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

// velk::ini() is read once per process, so every call of setFdLimit runs in a forked child
// that reads its own configuration: this process never reads it.
TEST(SetFdLimitTest, ResultsAndDiagnosticLines) {
    velk::testing::RunningChild live;
    ASSERT_TRUE(live.start({"/bin/sleep", "60"}));
    const std::string livePid = std::to_string(live.pid());
    const pid_t gone = runForked([] { return std::string(); }).pid;  // reaped: names no process
    const std::string goneText = std::to_string(gone);
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const std::string soft = std::to_string(own.rlim_cur) + " ";
    const std::regex prefix(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] system_commands_linux\.cpp: )");
    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enableOutput on" : "enableOutput off");
        ScratchDir dir;
        ASSERT_TRUE(dir.write("velk_system_commands.ini",
                              enabled ? "enableOutput=true\n" : "enableOutput=false\n"));
        ForkResult result = runForked([&] {
            ::setenv("VELK_INI_DIR", dir.path().c_str(), 1);
            std::ostringstream captured;
            kit::debug::stream() = &captured;
            SystemCommands commands;
            std::ostringstream out;
            // Each failure returns the caller's own soft limit and leaves that limit alone.
            out << commands.setFdLimit(live.pid(), 512) << " " << commands.setFdLimit(gone, 77)
                << " " << commands.setFdLimit(0, 3) << " " << commands.setFdLimit(-1, 3) << " "
                << commands.setFdLimit(::getpid(), INT_MAX) << " ";
            rlimit after{};
            ::getrlimit(RLIMIT_NOFILE, &after);
            out << after.rlim_cur << " " << (failGetrlimit() ? commands.setFdLimit(gone, 5) : -100);
            return out.str() + "|" + captured.str();
        });
        ASSERT_TRUE(result.exitedCleanly) << result.text;
        std::string expected = "512 " + soft + soft + soft + soft + soft + "-1|";
        const std::string lines[] = {
            "prlimit succeeded. pid: " + livePid + " value: 512",
            "prlimit failed. pid: " + goneText + " value: 77",
            "prlimit failed. pid: 0 value: 3",
            "prlimit failed. pid: -1 value: 3",
            "prlimit failed. pid: " + std::to_string(result.pid) + " value: 2147483647",
            "getrlimit failed. pid: " + goneText + ", value: 5",
        };
        for (const std::string& line : lines) {
            expected += enabled ? line + "\n" : "";
        }
        EXPECT_EQ(std::regex_replace(result.text, prefix, ""), expected);
    }
    rlimit limit{};
    ASSERT_EQ(::prlimit(live.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, 512u);
    EXPECT_EQ(limit.rlim_max, 512u);
}

}  // namespace
}  // namespace velk
