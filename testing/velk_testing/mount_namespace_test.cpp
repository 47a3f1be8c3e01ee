#include "velk_testing/mount_namespace.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <string>
#include <thread>

#include "velk_testing/run_forked.h"

namespace {

// A thread already running would stay in the machine's namespace, and what it wrote under
// /tmp would land on the machine's /tmp: such a process is refused, a single-threaded one gets
// an empty tmpfs there.
TEST(EnterPrivateMountNamespaceTest, EntersOnlyWithASingleThread) {
    for (bool withThread : {false, true}) {
        SCOPED_TRACE(withThread);
#ifdef __SANITIZE_THREAD__
        if (withThread) {
            continue;  // the count is not checked there: the runtime runs threads of its own
        }
#endif
        velk::testing::ForkResult result = velk::testing::runForked([withThread] {
            std::latch released(1);
            std::thread other;
            if (withThread) {
                other = std::thread([&released] { released.wait(); });
            }
            std::string error;
            const bool entered = velk::testing::enterPrivateMountNamespace(&error);
            released.count_down();
            if (other.joinable()) {
                other.join();
            }
            struct statfs tmp {};
            const bool freshTmp = statfs("/tmp", &tmp) == 0 && tmp.f_type == TMPFS_MAGIC &&
                                  std::filesystem::is_empty("/tmp");
            return entered ? std::string(freshTmp ? "fresh /tmp" : "old /tmp") : error;
        });
        ASSERT_TRUE(result.exitedCleanly) << result.text;
        EXPECT_EQ(result.text, withThread ? "a private mount namespace needs a single-threaded "
                                            "process; this one has 2 threads"
                                          : "fresh /tmp");
    }
}

// The lines of this process's mount table, one a mount.
std::string mountTable() {
    std::ifstream table("/proc/self/mountinfo");
    return std::string(std::istreambuf_iterator<char>(table), {});
}

// In a chroot / is no mount point: the namespace is entered all the same, and the namespace
// around, standing for the machine's, gains no mount, though the chroot's folder lies on a
// mount shared with another there.
TEST(EnterPrivateMountNamespaceTest, EntersFromAChroot) {
    const velk::testing::ForkResult result = velk::testing::runForked([] {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error) ||
            std::system("mkdir -p /tmp/jail/proc /tmp/jail/tmp /tmp/jail/run /run/peer && "
                        "mount --make-shared /tmp && mount --bind /tmp /run/peer && "
                        "mount --rbind /proc /tmp/jail/proc") != 0) {
            return "set-up failed " + error;
        }
        const std::string before = mountTable();
        const velk::testing::ForkResult inner = velk::testing::runForked([] {
            std::string error;
            if (chroot("/tmp/jail") != 0 || !velk::testing::enterPrivateMountNamespace(&error)) {
                return "chroot: " + error;
            }
            struct statfs tmp {};
            const bool freshTmp = statfs("/tmp", &tmp) == 0 && tmp.f_type == TMPFS_MAGIC &&
                                  std::filesystem::is_empty("/tmp");
            return std::string(freshTmp ? "fresh /tmp" : "old /tmp");
        });
        return inner.text + (mountTable() == before ? "" : ", mounts around changed");
    });
    EXPECT_EQ(result.text, "fresh /tmp");
}

}  // namespace
