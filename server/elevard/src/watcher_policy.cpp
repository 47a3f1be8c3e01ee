#include "watcher_policy.h"

WatcherPolicy::Decision WatcherPolicy::decide(const std::vector<Seen>& workers,
                                              Clock::time_point now,
                                              std::optional<Clock::time_point> quietSince) {
    std::vector<Seen> after = workers;
    auto stuck = [now](const Seen& worker) {
        return worker.busySince && now - *worker.busySince >= kWatcherStuckAfter;
    };
    Decision decision;
    size_t fresh = 0;  // watchers that wait or have not been busy for long
    for (const Seen& worker : after) {
        fresh += worker.watching && !stuck(worker);
    }
    for (size_t index = 0; index < after.size() && fresh < kIdleWatchers; ++index) {
        Seen& worker = after[index];
        if (!worker.watching && worker.load == 0 && !worker.refused) {
            decision.takeUp.push_back(index);
            worker.watching = true;
            ++fresh;
        }
    }
    // A stuck watcher is of no use until its work ends; an extra waiting one only costs
    // wake-ups.
    for (size_t index = after.size(); index-- > 0;) {
        Seen& worker = after[index];
        if (!worker.watching || fresh < kIdleWatchers) {
            continue;
        }
        if (stuck(worker) || (fresh > kIdleWatchers && !worker.busySince)) {
            decision.drop.push_back(index);
            worker.watching = false;
            fresh -= !stuck(worker);
        }
    }
    decision.nextLook = nextLookAt(after, now);
    if (decision.nextLook) {
        return decision;
    }
    // A report usually arrives after its short piece of work has ended: giving up at once
    // would bring a report, and a wake-up of the pool's caller, for nearly every piece.
    decision.quietSince = quietSince.value_or(now);
    if (now - *decision.quietSince < kWatcherStuckAfter) {
        decision.nextLook = *decision.quietSince + kWatcherStuckAfter;
        return decision;
    }
    decision.quietSince.reset();
    decision.forgetOversight = true;
    return decision;
}

std::optional<WatcherPolicy::Clock::time_point> WatcherPolicy::nextLookAt(
    const std::vector<Seen>& workers, Clock::time_point now) {
    std::optional<Clock::time_point> next;
    for (const Seen& worker : workers) {
        if (!worker.watching || !worker.busySince) {
            continue;
        }
        const Clock::time_point stuckAt = *worker.busySince + kWatcherStuckAfter;
        const Clock::time_point due = stuckAt > now ? stuckAt : now + kWatcherStuckAfter;
        if (!next || due < *next) {
            next = due;
        }
    }
    return next;
}
