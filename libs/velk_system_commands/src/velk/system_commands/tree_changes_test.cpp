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

// A tree far deeper than PATH_MAX and than the descriptors this process may hold (one open
// folder per level would run out), with a link to /tmp at every level that must not be followed.
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

}  // namespace
}  // namespace velk::system_commands::detail
