#include "velk/system_commands/path_walk.h"

#include <fcntl.h>
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

// What a walk reached: the real path, the names held in the folder, why the final object is
// unreachable and whether a dangling link was followed; or the failure text.
std::string reached(std::string_view path, LastLink last) {
    Outcome<WalkedPath> outcome = walkPath(path, last);
    if (!outcome) {
        return outcome.error();
    }
    const WalkedPath* walked = &outcome.value();
    std::string text = walked->realPath;
    for (const std::string& name : walked->names) {
        text += " " + name;
    }
    text += walked->unreachable != 0 ? std::string(", ") + std::strerror(walked->unreachable) : "";
    text += walked->throughDanglingLink ? ", dangling" : "";
    // The held folder and name are the object the walk found, not a namesake.
    struct stat byName {};
    struct stat held {};
    if (walked->object.valid() && !walked->names.empty()) {
        const char* name = walked->names[0].c_str();
        bool same = ::fstatat(walked->folder.get(), name, &byName, AT_SYMLINK_NOFOLLOW) == 0 &&
                    ::fstat(walked->object.get(), &held) == 0 &&
                    folderIdOf(byName) == folderIdOf(held) &&
                    walked->objectType == (held.st_mode & S_IFMT);
        text += same ? "" : ", not the object held";
    }
    return text;
}

// Plain paths and links kept or followed as the last component: see the guard tests.
TEST(WalkPathTest, ReachesWhatTheKernelWouldAndHoldsIt) {
    velk::testing::ScratchDir dir;
    char buffer[PATH_MAX];
    ASSERT_NE(::realpath(dir.path().c_str(), buffer), nullptr);
    const std::string r = buffer;
    auto link = [&](const std::string& name, const std::string& target) {
        return ::symlink(target.c_str(), (r + "/" + name).c_str()) == 0;
    };
    ASSERT_TRUE(::mkdir((r + "/d").c_str(), 0755) == 0 && dir.write("d/f", "x") &&
                link("toD", "d") && link("dangling", "gone/x"));
    // c0 -> c1 -> ... -> c40 -> d: from c0 that is 41 links, one past the kernel's limit.
    for (int i = 0; i <= 40; ++i) {
        ASSERT_TRUE(link("c" + std::to_string(i), i == 40 ? "d" : "c" + std::to_string(i + 1)));
    }
    const LastLink follow = LastLink::follow;
    const LastLink keep = LastLink::keep;
    const std::tuple<std::string, LastLink, std::string> rows[] = {
        // A trailing slash follows the last link and asks for a folder.
        {"/toD/", keep, r + "/d d"},
        {"/d/f/", keep, r + "/d/f f, Not a directory"},
        {"/d/f/x", keep, r + "/d/f/x f x, Not a directory"},
        {"/d/..", keep, r + " " + r.substr(r.rfind('/') + 1)},
        {"/missing/x", keep, r + "/missing/x missing x, No such file or directory"},
        // Climbing out of a missing level finds real things again, but the kernel would not.
        {"/missing/../d/f", keep, r + "/d/f f, No such file or directory"},
        {"/dangling", follow, r + "/gone/x gone x, No such file or directory, dangling"},
        {"/c1", follow, r + "/d d"},
        {"/c0", follow, "Too many levels of symbolic links"},
        {"/" + std::string(NAME_MAX + 1, 'n'), keep, "File name too long"},
        {std::string("\0/x", 3), keep, "Invalid argument"},
    };
    for (const auto& [path, last, expected] : rows) {
        SCOPED_TRACE(path + (last == follow ? " (follow)" : " (keep)"));
        EXPECT_EQ(reached(r + path, last), expected);
    }
}

TEST(WalkPathTest, ClimbsOnlyToTheFolderItCameFrom) {
    velk::testing::ScratchDir dir;
    kit::ScopedFd folder(::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat above {};
    struct stat self {};
    ASSERT_EQ(::stat((dir.path() + "/..").c_str(), &above), 0);
    ASSERT_EQ(::fstat(folder.get(), &self), 0);
    int error = 0;
    EXPECT_TRUE(openParentFolder(folder.get(), folderIdOf(above), &error).valid());
    EXPECT_FALSE(openParentFolder(folder.get(), folderIdOf(self), &error).valid());
    EXPECT_EQ(error, ESTALE);
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
