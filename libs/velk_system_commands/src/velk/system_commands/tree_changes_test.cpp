#include "velk/system_commands/tree_changes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "velk/kit/scoped_fd.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/scratch_dir.h"

namespace velk::system_commands::detail {
namespace {

using kit::ScopedFd;

// "uid:gid" of `path` itself (a link is not followed), or "missing".
std::string ownerOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) != 0
               ? "missing"
               : std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
}

TEST(TreeChangesTest, LinksAreChangedAsLinksNeverFollowed) {
    velk::testing::ScratchDir dir;
    const std::string s = dir.path();
    for (const char* folder : {"/outside", "/top", "/top/a", "/top/a/b"}) {
        ASSERT_EQ(::mkdir((s + folder).c_str(), 0755), 0);
    }
    ASSERT_TRUE(dir.write("outside/keep", "data") && dir.write("top/a/b/file", "x"));
    ASSERT_EQ(::symlink("../outside", (s + "/top/linkDir").c_str()), 0);
    ASSERT_EQ(::symlink((s + "/outside/keep").c_str(), (s + "/top/a/linkFile").c_str()), 0);
    ASSERT_EQ(::symlink("outside", (s + "/linkTop").c_str()), 0);
    ScopedFd folder(::open(s.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string mine = ownerOf(s + "/outside");

    struct Row {
        std::string name;
        std::vector<std::string> changed;  // below the scratch folder
        int chownError;
    };
    const Row rows[] = {
        {"top",
         {"/top", "/top/a", "/top/a/b", "/top/a/b/file", "/top/linkDir", "/top/a/linkFile"},
         0},
        {"linkTop", {"/linkTop"}, 0},
        {"missing", {}, ENOENT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(changeTreeOwner(folder.get(), row.name, 4321, 8765), row.chownError);
        for (const std::string& path : row.changed) {
            EXPECT_EQ(ownerOf(s + path), "4321:8765") << path;
        }
        EXPECT_EQ(removeTree(folder.get(), row.name), 0);
        EXPECT_EQ(ownerOf(s + "/" + row.name), "missing");
        for (const char* untouched : {"/outside", "/outside/keep"}) {
            EXPECT_EQ(ownerOf(s + untouched), mine) << untouched;
        }
    }
}

// A tree far deeper than PATH_MAX and than the descriptors this process may hold: one open
// folder per level would run out.
TEST(TreeChangesTest, DeepTreeWithFewDescriptors) {
    velk::testing::ForkResult result = velk::testing::runForked([]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error)) {
            return error;
        }
        const rlimit few{24, 24};
        ScopedFd top(::open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0 || ::mkdir("/tmp/deep", 0755) != 0) {
            return "setup failed";
        }
        const std::string level(40, 'l');
        ScopedFd current(::open("/tmp/deep", O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < 300 && current.valid(); ++i) {
            ::mkdirat(current.get(), level.c_str(), 0755);
            ::symlinkat("/tmp", current.get(), "up");
            current = ScopedFd(::openat(current.get(), level.c_str(), O_PATH | O_CLOEXEC));
        }
        struct stat bottom {};
        int chown = changeTreeOwner(top.get(), "deep", 11, 22);
        ::fstat(current.get(), &bottom);
        int remove = removeTree(top.get(), "deep");
        return std::to_string(chown) + " " + std::to_string(bottom.st_uid) + ":" +
               std::to_string(bottom.st_gid) + " " + std::to_string(remove) + " " +
               ownerOf("/tmp/deep") + " " + ownerOf("/tmp");
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "0 11:22 0 missing 0:0");
}

TEST(TreeChangesTest, MakeFoldersLikeMkdirParents) {
    velk::testing::ScratchDir dir;
    const std::string s = dir.path();
    ASSERT_EQ(::mkdir((s + "/d").c_str(), 0755), 0);
    ASSERT_TRUE(dir.write("f", ""));
    ASSERT_EQ(::symlink("d", (s + "/l").c_str()), 0);
    ScopedFd folder(::open(s.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::pair<std::vector<std::string>, int> rows[] = {
        {{"a", "b", "c"}, 0},
        {{"d", "e"}, 0},
        {{"f", "x"}, EEXIST},
        {{"l", "y"}, EEXIST},  // a link is in the way, never followed
    };
    for (const auto& [names, expected] : rows) {
        SCOPED_TRACE(names.front());
        EXPECT_EQ(makeFolders(folder.get(), names), expected);
    }
    struct stat status {};
    EXPECT_TRUE(::stat((s + "/a/b/c").c_str(), &status) == 0 && S_ISDIR(status.st_mode));
    EXPECT_TRUE(::stat((s + "/d/e").c_str(), &status) == 0 && S_ISDIR(status.st_mode));
    EXPECT_EQ(ownerOf(s + "/d/y"), "missing");
}

}  // namespace
}  // namespace velk::system_commands::detail
