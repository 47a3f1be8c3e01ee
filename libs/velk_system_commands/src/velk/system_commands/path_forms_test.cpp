#include "velk/system_commands/path_forms.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "velk_testing/scratch_dir.h"

namespace velk::system_commands::detail {
namespace {

TEST(NormalizePathTest, FoldsSlashesDotsAndParents) {
    const std::pair<const char*, const char*> cases[] = {
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
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(normalizePath(input), expected);
    }
}

TEST(ResolveLinksTest, FollowsLinksLikeTheKernel) {
    velk::testing::ScratchDir dir;
    char buffer[PATH_MAX];
    ASSERT_NE(::realpath(dir.path().c_str(), buffer), nullptr);
    const std::string root = buffer;
    auto link = [&](const char* name, const char* target) {
        return ::symlink(target, (root + "/" + name).c_str()) == 0;
    };
    ASSERT_EQ(::mkdir((root + "/real").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/real/deep").c_str(), 0755), 0);
    ASSERT_TRUE(link("toEtc", "/etc") && link("relative", "real/deep") &&
                link("chain", "relative") && link("danglingAbsolute", "/etc/no-such-file-here") &&
                link("danglingRelative", "missing/x") && link("dotted", "/usr/bin/../../etc") &&
                link("loopA", "loopB") && link("loopB", "loopA") &&
                link("toProc", "/proc/self/cwd"))
        << std::strerror(errno);

    const std::pair<std::string, std::optional<std::string>> cases[] = {
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
        // Loops and the kernel's own links under /proc resolve to nothing that can be judged.
        {root + "/loopA", std::nullopt},
        {root + "/loopA/below", std::nullopt},
        {root + "/toProc", std::nullopt},
        {"/proc/self/root", std::nullopt},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(resolveLinks(input), expected);
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
