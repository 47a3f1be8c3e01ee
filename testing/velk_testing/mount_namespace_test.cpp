#include "velk_testing/mount_namespace.h"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
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
            std::mutex mutex;
            std::condition_variable released;
            bool done = false;
            std::thread other;
            if (withThread) {
                other = std::thread([&] {
                    std::unique_lock<std::mutex> lock(mutex);
                    released.wait(lock, [&] { return done; });
                });
            }
            std::string error;
            const bool entered = velk::testing::enterPrivateMountNamespace(&error);
            if (withThread) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    done = true;
                }
                released.notify_one();
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
