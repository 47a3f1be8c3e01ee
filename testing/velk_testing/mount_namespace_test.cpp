#include "velk_testing/mount_namespace.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <filesystem>
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

}  // namespace
