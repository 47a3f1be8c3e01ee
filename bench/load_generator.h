#pragma once

// The load generator the benchmarks share: client threads making round trips on fresh
// connections, each timed, and the figures of a run.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace elevard_bench {

// What one run of the generator measured.
struct LoadFigures {
    size_t requests = 0;  // round trips that succeeded
    size_t failures = 0;  // round trips that failed (not timed)
    double seconds = 0;   // from the first client's start to the last one's end
    double p50Microseconds = 0;
    double p99Microseconds = 0;
    double meanMicroseconds = 0;
    std::vector<double> latencies;  // of each successful round trip, in microseconds, sorted

    double perSecond() const { return seconds > 0 ? requests / seconds : 0; }
};

// The figures of several runs taken as one: their requests, failures and seconds added up and
// their latencies pooled.
LoadFigures combine(const std::vector<LoadFigures>& runs);

// Calls each of `runs` in turn, `rounds` times over, and returns each one's combined figures
// in the same order. Taking turns spreads whatever else the machine does evenly over them.
std::vector<LoadFigures> interleave(int rounds,
                                    const std::vector<std::function<LoadFigures()>>& runs);

// One round trip: client `client`'s `index`-th (from 0). Returns false when it failed. Called
// on the client's own thread, so it must be safe to call for different clients at once.
using RoundTrip = std::function<bool(int client, size_t index)>;

// Runs `clients` threads at once, each making `perClient` round trips one after another, and
// times each. Blocks until every client has finished.
LoadFigures runLoad(int clients, size_t perClient, const RoundTrip& roundTrip);

// Connects to the Unix socket at `path`, sends `line` as one buffer message in one send, reads
// until the peer closes and leaves what came in `*reply`. False when connecting, sending or
// reading failed. Keeps no state; any thread may call it.
bool exchange(const std::string& path, const std::string& line, std::string* reply);

// `value` with `decimals` decimals.
std::string fixed(double value, int decimals);

// "N x <model name>" of this machine's processors, from /proc/cpuinfo.
std::string machine();

}  // namespace elevard_bench
