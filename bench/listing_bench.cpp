// Listing a folder through the service against find printing the same fields, on the same
// folders of 1,000 and 100,000 entries, in one run.
//
//     build/default/bin/elevard_bench_listing      (as root)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_service.h"
#include "load_generator.h"
#include "velk/kit/scoped_fd.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using elevard_bench::fixed;

// Fills `folder` with `entries` entries: every tenth a folder, the rest files of a few bytes.
bool fill(const std::string& folder, int entries) {
    if (mkdir(folder.c_str(), 0755) != 0) {
        return false;
    }
    for (int i = 0; i < entries; ++i) {
        const std::string path = folder + "/entry-" + std::to_string(i);
        if (i % 10 == 0) {
            if (mkdir(path.c_str(), 0755) != 0) {
                return false;
            }
            continue;
        }
        velk::kit::ScopedFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (!file.valid() || write(file.get(), "data", i % 4 + 1) < 0) {
            return false;
        }
    }
    return true;
}

// The whole output of `find folder -mindepth 1 -maxdepth 1 -printf '%p,%s,%y,'`; empty on
// failure.
std::string findOutput(const std::string& folder) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {};
    }
    velk::kit::ScopedFd readEnd(pipeFds[0]);
    velk::kit::ScopedFd writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    const char* argv[] = {"find", folder.c_str(), "-mindepth", "1",    "-maxdepth",
                          "1",    "-printf",      "%p,%s,%y,", nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/usr/bin/find", &actions, nullptr,
                                    const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (spawned != 0) {
        return {};
    }
    std::string output;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : std::string();
}

// Entries in a reply of comma-terminated fields, three per entry.
size_t entriesIn(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), ',')) / 3;
}

// The median of `rounds` timings of `run`, in milliseconds; -1 when a run gave no entries or
// another count than `entries`.
template <typename Run>
double medianMilliseconds(int rounds, size_t entries, Run run) {
    std::vector<double> timings;
    for (int round = 0; round < rounds; ++round) {
        const Clock::time_point before = Clock::now();
        const std::string text = run();
        timings.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        if (entriesIn(text) != entries) {
            return -1;
        }
    }
    std::sort(timings.begin(), timings.end());
    return timings[timings.size() / 2];
}

}  // namespace

int main() {
    elevard_bench::BenchService service;
    if (!service.start()) {
        return 1;
    }
    std::printf("Listing on %s, median of the rounds, files on tmpfs\n",
                elevard_bench::machine().c_str());
    std::printf("%9s %7s %12s %12s %10s\n", "entries", "rounds", "list ms", "find ms", "list/find");
    bool met = true;
    for (const auto& [entries, rounds] : {std::pair{1000, 200}, std::pair{100000, 7}}) {
        const std::string folder = "/tmp/elevard_bench_list_" + std::to_string(entries);
        if (!fill(folder, entries)) {
            std::perror(folder.c_str());
            return 1;
        }
        const std::string line = "list " + folder;
        auto throughService = [&] {
            std::string reply;
            elevard_bench::exchange(elevard_bench::servicePath(), line, &reply);
            return reply.size() > 8 ? reply.substr(8) : std::string();
        };
        auto throughFind = [&] { return findOutput(folder); };
        // One untimed round each, so that both find the folder in the caches.
        throughService();
        throughFind();
        const double list =
            medianMilliseconds(rounds, static_cast<size_t>(entries), throughService);
        const double find = medianMilliseconds(rounds, static_cast<size_t>(entries), throughFind);
        const bool fine = list > 0 && find > 0 && list <= find;
        std::printf("%9d %7d %12s %12s %10s  target no slower than find: %s\n", entries, rounds,
                    fixed(list, 3).c_str(), fixed(find, 3).c_str(), fixed(list / find, 2).c_str(),
                    fine ? "met" : "MISSED");
        met = met && fine;
    }
    return met ? 0 : 2;
}
