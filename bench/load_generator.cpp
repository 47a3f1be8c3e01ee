#include "load_generator.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <numeric>
#include <thread>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk_testing/messages.h"

namespace elevard_bench {
namespace {

using Clock = std::chrono::steady_clock;

// The value below which `share` of the sorted `values` lie.
double percentile(const std::vector<double>& sorted, double share) {
    if (sorted.empty()) {
        return 0;
    }
    const size_t at = static_cast<size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

// Sorts the latencies of `figures` and derives the request count, percentiles and mean.
void summarize(LoadFigures* figures) {
    std::vector<double>& all = figures->latencies;
    std::sort(all.begin(), all.end());
    figures->requests = all.size();
    figures->p50Microseconds = percentile(all, 0.50);
    figures->p99Microseconds = percentile(all, 0.99);
    figures->meanMicroseconds =
        all.empty() ? 0 : std::accumulate(all.begin(), all.end(), 0.0) / all.size();
}

}  // namespace

LoadFigures runLoad(int clients, size_t perClient, const RoundTrip& roundTrip) {
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::vector<size_t> failures(static_cast<size_t>(clients), 0);
    std::vector<std::thread> threads;
    const Clock::time_point started = Clock::now();
    for (int client = 0; client < clients; ++client) {
        threads.emplace_back([&, client] {
            std::vector<double>& mine = latencies[static_cast<size_t>(client)];
            mine.reserve(perClient);
            for (size_t index = 0; index < perClient; ++index) {
                const Clock::time_point before = Clock::now();
                if (!roundTrip(client, index)) {
                    ++failures[static_cast<size_t>(client)];
                    continue;
                }
                mine.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - before).count());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    LoadFigures figures;
    figures.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    for (size_t client = 0; client < latencies.size(); ++client) {
        figures.latencies.insert(figures.latencies.end(), latencies[client].begin(),
                                 latencies[client].end());
        figures.failures += failures[client];
    }
    summarize(&figures);
    return figures;
}

LoadFigures combine(const std::vector<LoadFigures>& runs) {
    LoadFigures combined;
    for (const LoadFigures& run : runs) {
        combined.seconds += run.seconds;
        combined.failures += run.failures;
        combined.latencies.insert(combined.latencies.end(), run.latencies.begin(),
                                  run.latencies.end());
    }
    summarize(&combined);
    return combined;
}

std::vector<LoadFigures> interleave(int rounds,
                                    const std::vector<std::function<LoadFigures()>>& runs) {
    std::vector<std::vector<LoadFigures>> taken(runs.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < runs.size(); ++i) {
            taken[i].push_back(runs[i]());
        }
    }
    std::vector<LoadFigures> combined;
    for (const std::vector<LoadFigures>& each : taken) {
        combined.push_back(combine(each));
    }
    return combined;
}

bool exchange(const std::string& path, const std::string& line, std::string* reply) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    velk::kit::ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid() ||
        connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return false;
    }
    const std::string message = velk::testing::bufferMessage(line);
    if (send(fd.get(), message.data(), message.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message.size())) {
        return false;
    }
    reply->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = recv(fd.get(), buffer, sizeof buffer, 0);
        if (got > 0) {
            reply->append(buffer, static_cast<size_t>(got));
        } else if (got == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model;
    int count = 0;
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            ++count;
            model = line.substr(line.find(':') + 2);
        }
    }
    return std::to_string(count) + " x " + model;
}

}  // namespace elevard_bench
