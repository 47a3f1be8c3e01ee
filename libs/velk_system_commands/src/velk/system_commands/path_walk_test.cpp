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

TEST(WalkPathTest, ReachesWhatTheKernelWouldAndHoldsIt) {
    velk::testing::ScratchDir dir;
    char buffer[PATH_MAX];
    ASSERT_NE(::realpath(dir.path().c_str(), buffer), nullptr);
    const std::string r = buffer;
    const std::string base = r.substr(r.rfind('/') + 1);
    ASSERT_EQ(::mkdir((r + "/d").c_str(), 0755), 0);
    ASSERT_TRUE(dir.write("d/f", "x"));
    auto link = [&](const std::string& name, const std::string& target) {
        return ::symlink(target.c_str(), (r + "/" + name).c_str()) == 0;
    };
    ASSERT_TRUE(link("toD", "d") && link("toF", "d/f") && link("dangling", "gone/x"));
    // c0 -> c1 -> ... -> c40 -> d: from c0 that is 41 links, one past the kernel's limit.
    for (int i = 0; i <= 40; ++i) {
        ASSERT_TRUE(link("c" + std::to_string(i), i == 40 ? "d" : "c" + std::to_string(i + 1)));
    }
    struct Row {
        std::string path;
        LastLink last;
        std::string real;  // empty when the walk must fail with `error`
        std::vector<std::string> names;
        int unreachable = 0;
        bool dangling = false;
        int error = 0;
    };
    const LastLink follow = LastLink::follow;
    const LastLink keep = LastLink::keep;
    const Row rows[] = {
        {r + "/d/f", keep, r + "/d/f", {"f"}},
        {r + "/toF", keep, r + "/toF", {"toF"}},
        // A trailing slash follows the last link and asks for a folder.
        {r + "/toD/", keep, r + "/d", {"d"}},
        {r + "/d/f/", keep, r + "/d/f", {"f"}, ENOTDIR},
        {r + "/d/f/x", keep, r + "/d/f/x", {"f", "x"}, ENOTDIR},
        {r + "/d/..", keep, r, {base}},
        {r + "/missing", keep, r + "/missing", {"missing"}},
        {r + "/missing/x", keep, r + "/missing/x", {"missing", "x"}, ENOENT},
        // Climbing out of a missing level finds real things again, but the kernel would not.
        {r + "/missing/../d/f", keep, r + "/d/f", {"f"}, ENOENT},
        {r + "/dangling", follow, r + "/gone/x", {"gone", "x"}, ENOENT, true},
        {r + "/c1", follow, r + "/d", {"d"}},
        {r + "/c0", follow, "", {}, 0, false, ELOOP},
        {r + "/" + std::string(NAME_MAX + 1, 'n'), keep, "", {}, 0, false, ENAMETOOLONG},
        {std::string("/tmp\0/x", 7), keep, "", {}, 0, false, EINVAL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + (row.last == follow ? " (follow)" : " (keep)"));
        int error = 0;
        std::optional<WalkedPath> walked = walkPath(row.path, row.last, &error);
        if (row.real.empty()) {
            EXPECT_FALSE(walked);
            EXPECT_EQ(error, row.error);
            continue;
        }
        ASSERT_TRUE(walked) << std::strerror(error);
        EXPECT_EQ(walked->realPath, row.real);
        EXPECT_EQ(walked->names, row.names);
        EXPECT_EQ(walked->unreachable, row.unreachable);
        EXPECT_EQ(walked->throughDanglingLink, row.dangling);
        // The held folder and name are the object the walk found, not a namesake.
        struct stat byName {};
        struct stat held {};
        if (walked->object.valid() && !row.names.empty()) {
            ASSERT_EQ(
                ::fstatat(walked->folder.get(), row.names[0].c_str(), &byName, AT_SYMLINK_NOFOLLOW),
                0);
            ASSERT_EQ(::fstat(walked->object.get(), &held), 0);
            EXPECT_EQ(folderIdOf(byName), folderIdOf(held));
            EXPECT_EQ(walked->objectType, held.st_mode & S_IFMT);
        }
    }
}

TEST(WalkPathTest, ClimbsOnlyToTheFolderItCameFrom) {
    velk::testing::ScratchDir dir;
    kit::ScopedFd folder(::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat above {};
    ASSERT_EQ(::stat((dir.path() + "/..").c_str(), &above), 0);
    int error = 0;
    EXPECT_TRUE(openParentFolder(folder.get(), folderIdOf(above), &error).valid());
    struct stat self {};
    ASSERT_EQ(::fstat(folder.get(), &self), 0);
    EXPECT_FALSE(openParentFolder(folder.get(), folderIdOf(self), &error).valid());
    EXPECT_EQ(error, ESTALE);
}

}  // namespace
}  // namespace velk::system_commands::detail
