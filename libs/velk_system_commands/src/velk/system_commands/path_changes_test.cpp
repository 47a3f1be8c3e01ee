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
#include "velk/system_commands/line_text.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

using kit::ScopedFd;
using velk::testing::ForkResult;
using velk::testing::runForked;
using velk::testing::ScratchDir;

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
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
    EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0) << "kept out of concurrent programs";
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

}  // namespace
}  // namespace velk
