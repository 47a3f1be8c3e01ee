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

}  // namespace
}  // namespace velk
