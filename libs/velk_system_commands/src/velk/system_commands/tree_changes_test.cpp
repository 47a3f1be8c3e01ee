#include "velk/system_commands/tree_changes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "velk/kit/scoped_fd.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"

namespace velk::system_commands::detail {
namespace {

using kit::ScopedFd;

std::string ownerOf(const struct stat& status) {
    return std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
}

// A tree far deeper than PATH_MAX and than the descriptors this process may hold (one open
// folder per level would run out), with a link to /tmp at every level that must not be followed;
// once with the types of the listing, once learning each entry's type from the kernel, as on a
// file system whose listings give none.
TEST(TreeChangesTest, DeepTreeWithFewDescriptors) {
    for (ListedTypes types : {ListedTypes::used, ListedTypes::ignored}) {
        SCOPED_TRACE(types == ListedTypes::used ? "listed types" : "no listed types");
        velk::testing::ForkResult result = velk::testing::runForked([&]() -> std::string {
            std::string error;
            const rlimit few{24, 24};
            if (!velk::testing::enterPrivateMountNamespace(&error) ||
                ::setrlimit(RLIMIT_NOFILE, &few) != 0 || ::mkdir("/tmp/deep", 0755) != 0) {
                return "set-up: " + error + std::strerror(errno);
            }
            ScopedFd top(::open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC));
            ScopedFd current(::open("/tmp/deep", O_PATH | O_DIRECTORY | O_CLOEXEC));
            const std::string level(40, 'l');
            for (int i = 0; i < 300 && current.valid(); ++i) {
                ::mkdirat(current.get(), level.c_str(), 0755);
                ::symlinkat("/tmp", current.get(), "up");
                current = ScopedFd(::openat(current.get(), level.c_str(), O_PATH | O_CLOEXEC));
            }
            struct stat bottom {};
            struct stat tmp {};
            ScopedFd deep(::open("/tmp/deep", O_PATH | O_DIRECTORY | O_CLOEXEC));
            const ShownChange shown{"change", "/tmp/deep"};
            Outcome<void> chown =
                changeTreeOwner(top.get(), "deep", deep.get(), 11, 22, false, shown, types);
            ::fstat(current.get(), &bottom);
            Outcome<void> remove = removeTree(top.get(), "deep", deep.get(), shown, types);
            ::lstat("/tmp", &tmp);
            return chown.error() + "|" + ownerOf(bottom) + "|" + remove.error() + "|" +
                   std::to_string(::access("/tmp/deep", F_OK)) + " " + ownerOf(tmp);
        });
        ASSERT_TRUE(result.exitedCleanly) << result.text;
        EXPECT_EQ(result.text, "|11:22||-1 0:0");
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
