#include "watcher_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using Clock = WatcherPolicy::Clock;
using Seen = WatcherPolicy::Seen;
using std::chrono::milliseconds;

const Clock::time_point kNow = Clock::time_point() + std::chrono::hours(1);

Seen waiting(bool watching) {
    return {watching, 0, std::nullopt};
}

// A worker inside a piece of work begun `ago` before now.
Seen busy(bool watching, milliseconds ago) {
    return {watching, 1, kNow - ago};
}

std::optional<Clock::time_point> at(milliseconds fromNow) {
    return kNow + fromNow;
}

TEST(WatcherPolicyTest, DecidesWhoWatchesAndWhenToLookAgain) {
    const milliseconds stuck = kWatcherStuckAfter;
    const milliseconds quiet = stuck + milliseconds(10);
    Seen refused = waiting(false);
    refused.refused = true;
    struct Case {
        const char* name;
        std::vector<Seen> workers;
        std::optional<Clock::time_point> quietSince;
        std::vector<size_t> takeUp;
        std::vector<size_t> drop;
        std::optional<Clock::time_point> nextLook;
        bool forgetOversight;
        std::optional<Clock::time_point> quietSinceAfter;
    };
    const Case cases[] = {
        {"the first idle workers take it up, then a quiet spell begins",
         std::vector<Seen>(6, waiting(false)),
         std::nullopt,
         {0, 1, 2, 3},
         {},
         at(stuck),
         false,
         kNow},
        {"a busy worker and one that failed are passed over",
         {busy(false, milliseconds(0)), refused, waiting(false), waiting(false), waiting(false),
          waiting(false)},
         std::nullopt,
         {2, 3, 4, 5},
         {},
         at(stuck),
         false,
         kNow},
        {"a stuck watcher is replaced, then dropped",
         {waiting(true), busy(true, stuck), waiting(true), waiting(true), waiting(false)},
         std::nullopt,
         {4},
         {1},
         at(stuck),
         false,
         kNow},
        {"a stuck watcher stays while nobody can replace it",
         {waiting(true), busy(true, quiet), waiting(true), waiting(true), busy(false, stuck)},
         std::nullopt,
         {},
         {},
         at(stuck),
         false,
         std::nullopt},
        {"extra waiting watchers go, highest first",
         std::vector<Seen>(6, waiting(true)),
         kNow,
         {},
         {5, 4},
         at(stuck),
         false,
         kNow},
        {"a busy watcher is looked at when it would become stuck",
         {busy(true, milliseconds(20)), waiting(true), waiting(true), waiting(true)},
         kNow - quiet,
         {},
         {},
         at(stuck - milliseconds(20)),
         false,
         std::nullopt},
        {"a quiet spell goes on",
         std::vector<Seen>(4, waiting(true)),
         kNow - milliseconds(10),
         {},
         {},
         at(stuck - milliseconds(10)),
         false,
         kNow - milliseconds(10)},
        {"after a long quiet spell the next piece of work reports itself",
         std::vector<Seen>(4, waiting(true)),
         kNow - quiet,
         {},
         {},
         std::nullopt,
         true,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WatcherPolicy::Decision decision =
            WatcherPolicy::decide(c.workers, kNow, c.quietSince);
        EXPECT_EQ(decision.takeUp, c.takeUp);
        EXPECT_EQ(decision.drop, c.drop);
        EXPECT_EQ(decision.nextLook, c.nextLook);
        EXPECT_EQ(decision.forgetOversight, c.forgetOversight);
        EXPECT_EQ(decision.quietSince, c.quietSinceAfter);
    }
}

}  // namespace
