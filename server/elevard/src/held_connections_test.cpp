// Clients that hold connections against the built service: they must keep nobody out, and the
// service must end up holding only its idle descriptors.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service_load_fixture.h"
#include "velk/kit/scoped_fd.h"

namespace {

using namespace std::chrono_literals;
using namespace velk::testing;
using namespace service_load;
using velk::kit::ScopedFd;

// Clients that hold connections without reading their replies, or without ever sending a
// line, or that announce long lines and send one byte, must not keep others out: beside them
// another client is answered within a second, and once they are gone (or closed by the service
// at their deadline, or to keep what they hold within its memory budget) the service holds only
// its idle descriptors. The service runs with a descriptor limit that the idle flood exceeds.
TEST_F(ServiceLoadTest, ClientsThatHoldConnectionsKeepNobodyOut) {
    constexpr rlim_t kServiceLimit = 1024;
    ASSERT_NO_FATAL_FAILURE(startService());
    rlimit limit{};
    ASSERT_EQ(prlimit(service_.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
    limit.rlim_cur = kServiceLimit;
    ASSERT_EQ(prlimit(service_.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    const std::string probe = "exists " + root_;
    ASSERT_EQ(exchangeLine(kPath, probe), integerMessage(1));
    const size_t idle = requestDescriptorCount(service_.pid());

    const std::string large = bufferMessage("list " + large_);
    constexpr int kSlowReaders = 2 * 16;
    constexpr int kPastBudget = 400;  // listings of about 480 KB: over 64 MiB unsent
    struct Case {
        const char* name;
        int connections;
        std::string bytes;  // sent on each connection, whose reply is never read
        bool held;          // kept open until the service closes them
        long growthKiB;     // the most the service's resident memory may grow while they wait
    };
    const Case cases[] = {
        {"slow readers", kSlowReaders, large, true, 0},
        {"idle flood", static_cast<int>(kServiceLimit) + 100, "", false, 0},
        // 700 x 64 KiB, were the lines sized at the announced length.
        {"long lines announced", 700, lengthField(65536) + "l", false, 16 * 1024},
        {"replies past the budget", kPastBudget, large, true, (64 + 16) * 1024},
    };
    int listed = 0;  // listings asked for so far
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long beforeKiB = residentKiB(service_.pid());
        std::vector<ScopedFd> held;
        for (int i = 0; i < c.connections; ++i) {
            held.push_back(connectWhenListening(kPath));
            ASSERT_TRUE(held.back().valid());
            ASSERT_EQ(send(held.back().get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(c.bytes.size()));
        }
        // The held connections are all in, and the slow readers' commands have run.
        service_.collectFor(200ms);
        listed += c.bytes == large ? c.connections : 0;
        const std::string outcome = "list " + large_ + " --> ok";
        for (auto until = Clock::now() + kHang;
             lineCounts(service_.out())[outcome] < listed && Clock::now() < until;) {
            service_.collectFor(50ms);
        }
        const long growthKiB = residentKiB(service_.pid()) - beforeKiB;
        std::printf("%s: resident memory grew by %ld KiB\n", c.name, growthKiB);
        if (c.growthKiB > 0) {
            EXPECT_LE(growthKiB, c.growthKiB * kHeldGrowthPercent / 100);
        }
        const auto asked = Clock::now();
        EXPECT_EQ(exchangeLine(kPath, probe), integerMessage(1));
        EXPECT_LT(Clock::now() - asked, 1s);
        if (c.held) {
            service_.collectFor(kConnectionDeadline);
        }
        held.clear();
        EXPECT_EQ(settleDescriptors(idle), idle);
    }
    ASSERT_TRUE(service_.signal(SIGTERM));
    const ChildResult result = service_.wait(kHang);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    // Each slow reader's reply was cut off at its deadline, or earlier to keep within the
    // budget; the first readers' replies fit in it. On a loaded machine a reply may become ready
    // so late that the test closes its connection before the deadline does.
    std::map<std::string, int> errors = lineCounts(result.err);
    const int budget = errors["write: No buffer space available"];
    EXPECT_EQ(errors["write: Connection timed out"] + errors["write: Broken pipe"] + budget,
              kSlowReaders + kPastBudget)
        << result.err;
    EXPECT_GT(budget, 0);
    EXPECT_LT(budget, kPastBudget);
}

}  // namespace
