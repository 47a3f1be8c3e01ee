#include "velk_testing/mount_namespace.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The number of mounts this process's namespace holds.
int mountCount() {
    std::ifstream table("/proc/self/mountinfo");
    int count = 0;
    for (std::string line; std::getline(table, line);) {
        ++count;
    }
    return count;
}

// In a chroot / is no mount point: the namespace is entered all the same, and the namespace
// around, standing for the machine's, gains no mount, though the chroot's folder lies on a
// mount shared with another there.
TEST(EnterPrivateMountNamespaceTest, EntersFromAChroot) {
    const velk::testing::ForkResult result = velk::testing::runForked([] {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error)) {
            return "outer: " + error;
        }
        if (mount(nullptr, "/tmp", nullptr, MS_SHARED, nullptr) != 0 ||
            mkdir("/run/peer", 0755) != 0 ||
            mount("/tmp", "/run/peer", nullptr, MS_BIND, nullptr) != 0 ||
            std::system("mkdir -p /tmp/jail/proc /tmp/jail/tmp /tmp/jail/run") != 0 ||
            mount("/proc", "/tmp/jail/proc", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            return std::string("set-up failed");
        }
        const int before = mountCount();
        const velk::testing::ForkResult inner = velk::testing::runForked([] {
            std::string error;
            if (chroot("/tmp/jail") != 0 || chdir("/") != 0) {
                return std::string("chroot failed");
            }
            if (!velk::testing::enterPrivateMountNamespace(&error)) {
                return error;
            }
            struct statfs tmp {};
            const bool freshTmp = statfs("/tmp", &tmp) == 0 && tmp.f_type == TMPFS_MAGIC &&
                                  std::filesystem::is_empty("/tmp");
            return std::string(freshTmp ? "fresh /tmp" : "old /tmp");
        });
        return inner.text + ", " + std::to_string(mountCount() - before) + " new mounts around";
    });
    EXPECT_EQ(result.text, "fresh /tmp, 0 new mounts around");
}

}  // namespace
