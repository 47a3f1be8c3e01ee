#include "velk/system_commands/path_forms.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "velk_testing/scratch_dir.h"

namespace velk::system_commands::detail {
namespace {

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

TEST(NormalizePathTest, FoldsSlashesDotsAndParents) {
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"/", "/"},
        {"//", "/"},
        {"//etc/passwd", "/etc/passwd"},
        {"/mnt/../etc", "/etc"},
        {"/mnt/./a//b/", "/mnt/a/b"},
        {"/../..", "/"},
        {"/../etc", "/etc"},
        {"/a/b/../../..", "/"},
        {"/etc/velk_ini/../shadow", "/etc/shadow"},
        {"/a/.../b", "/a/.../b"},
        {"/a/..b/c", "/a/..b/c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(normalizePath(c.input), c.expected);
    }
}

TEST(ResolveLinksTest, FollowsLinksLikeTheKernel) {
    velk::testing::ScratchDir dir;
    const std::string root = realPath(dir.path());
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("real/deep").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/etc", dir.file("toEtc").c_str()), 0);
    ASSERT_EQ(symlink("real/deep", dir.file("relative").c_str()), 0);
    ASSERT_EQ(symlink("relative", dir.file("chain").c_str()), 0);
    ASSERT_EQ(symlink("/etc/no-such-file-here", dir.file("danglingAbsolute").c_str()), 0);
    ASSERT_EQ(symlink("missing/x", dir.file("danglingRelative").c_str()), 0);
    ASSERT_EQ(symlink("/usr/bin/../../etc", dir.file("dotted").c_str()), 0);

    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {root, root},
        {root + "/real/deep", root + "/real/deep"},
        {root + "/toEtc", "/etc"},
        {root + "/toEtc/passwd", "/etc/passwd"},
        {root + "/relative/file", root + "/real/deep/file"},
        {root + "/chain", root + "/real/deep"},
        // ".." after a link climbs from the link's target, not from the link's folder.
        {root + "/relative/../..", root},
        {root + "/danglingAbsolute", "/etc/no-such-file-here"},
        {root + "/danglingRelative", root + "/missing/x"},
        {root + "/dotted", "/etc"},
        // Missing components are taken as written, "..": they would be made as real folders.
        {root + "/new/../../..", "/"},
        {root + "//real/./deep/", root + "/real/deep"},
        {"/", "/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::optional<std::string> resolved = resolveLinks(c.input);
        ASSERT_TRUE(resolved.has_value());
        EXPECT_EQ(*resolved, c.expected);
    }
}

TEST(ResolveLinksTest, GivesUpOnLoopsAndProcLinks) {
    velk::testing::ScratchDir dir;
    ASSERT_EQ(symlink("loopB", dir.file("loopA").c_str()), 0);
    ASSERT_EQ(symlink("loopA", dir.file("loopB").c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/cwd", dir.file("toProc").c_str()), 0);
    const std::string cases[] = {
        dir.file("loopA"),
        dir.file("loopA/below"),
        dir.file("toProc"),
        "/proc/self/root",
    };
    for (const std::string& path : cases) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(resolveLinks(path).has_value());
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
