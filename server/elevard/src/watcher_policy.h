#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

// How many workers of a pool watch the idle work's descriptor while none of them is stuck. A
// few take in what a small machine can serve, and fewer sleepers on the descriptor mean fewer
// wake-ups and thread switches per connection; too few get the service too small a share of
// the processors beside many busy clients.
inline constexpr size_t kIdleWatchers = 4;

// How long a watcher may stay inside one piece of work before it counts as stuck (in a hung
// mount, say) and another worker watches in its place.
inline constexpr std::chrono::milliseconds kWatcherStuckAfter{50};

// Which workers watch the idle work: kIdleWatchers of them that are not stuck. While fewer
// are, idle workers that do not watch take it up; once enough are, stuck watchers and then the
// extra waiting ones drop it, highest indexes first, so that the same few workers keep
// watching. decide() is a pure function of what the pool saw of its workers; the pool carries
// out the decision. Judged on states that may be stale by the time they are used, it errs
// towards an extra watcher, which costs only some wake-ups.
class WatcherPolicy {
public:
    using Clock = std::chrono::steady_clock;

    // What the pool saw of one worker.
    struct Seen {
        bool watching = false;
        size_t load = 0;                             // tasks waiting plus the one running
        std::optional<Clock::time_point> busySince;  // none while it waits for work
        bool refused = false;  // failed to take up the idle work in this look: not asked again
    };

    struct Decision {
        std::vector<size_t> takeUp;  // indexes, in order
        std::vector<size_t> drop;    // indexes, in order
        // When to look again: when the first busy watcher would become stuck, or
        // kWatcherStuckAfter from now while only stuck ones are left, or once every watcher
        // has waited kWatcherStuckAfter, none: see forgetOversight.
        std::optional<Clock::time_point> nextLook;
        // Every watcher has waited kWatcherStuckAfter: the pool makes the next piece of work
        // of each watcher report itself, then looks once more with nextLookAt().
        bool forgetOversight = false;
        std::optional<Clock::time_point> quietSince;  // to pass to the next decide()
    };

    // The decision for `workers` at `now`; `quietSince` is what the last decision returned.
    static Decision decide(const std::vector<Seen>& workers, Clock::time_point now,
                           std::optional<Clock::time_point> quietSince);

    // When the first busy watcher of `workers` would become stuck (kWatcherStuckAfter from
    // `now` for one stuck already), or none when every watcher waits.
    static std::optional<Clock::time_point> nextLookAt(const std::vector<Seen>& workers,
                                                       Clock::time_point now);
};
