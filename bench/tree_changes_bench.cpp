// Recursive chown and rm of a 100,000-file tree through the service, against chown -R and
// rm -rf on a tree of the same shape, in one run: each round builds a fresh tree for either
// side, the sides taking turns in which goes first.
//
//     build/default/bin/elevard_bench_tree_changes      (as root)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench_service.h"
#include "load_generator.h"
#include "velk/kit/scoped_fd.h"
#include "velk_testing/messages.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using elevard_bench::fixed;
using velk::kit::ScopedFd;

constexpr int kRounds = 5;
constexpr int kFolders = 20;
constexpr int kFilesPerFolder = 5000;

// Makes `path` holding kFolders folders of kFilesPerFolder empty files. False on failure.
bool buildTree(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0) {
        return false;
    }
    for (int f = 0; f < kFolders; ++f) {
        const std::string folder = path + "/folder" + std::to_string(f);
        if (mkdir(folder.c_str(), 0755) != 0) {
            return false;
        }
        ScopedFd held(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (int i = 0; i < kFilesPerFolder; ++i) {
            const std::string name = "file" + std::to_string(i);
            if (!ScopedFd(openat(held.get(), name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644))
                     .valid()) {
                return false;
            }
        }
    }
    return true;
}

// Runs `argv` (looked up in PATH) and waits; true when it exits with 0.
bool run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Sends `line` to the service; true when it replied 1.
bool request(const std::string& line) {
    std::string reply;
    return elevard_bench::exchange(elevard_bench::servicePath(), line, &reply) &&
           reply == velk::testing::integerMessage(1);
}

// The owner of `path`, -1 when it is missing.
long ownerOf(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_uid) : -1;
}

// Milliseconds `operation` took; -1 when it failed or `check` then fails.
double timed(const std::function<bool()>& operation, const std::function<bool()>& check) {
    const Clock::time_point before = Clock::now();
    const bool done = operation();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
    return done && check() ? ms : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() || values.front() < 0 ? -1 : values[values.size() / 2];
}

// The timings of one side: chown of a fresh tree, chown again (its folders now belong to the
// new owner), rm.
struct Side {
    std::vector<double> chown, chownAgain, rm;
};

// One round of one side on the fresh tree `tree`. False when the tree could not be built.
bool measure(Side* side, const std::string& tree, bool service) {
    if (!buildTree(tree)) {
        std::perror(tree.c_str());
        return false;
    }
    const std::string sample = tree + "/folder" + std::to_string(kFolders - 1) + "/file0";
    auto chown = [&](int id) {
        return service ? request("chown " + tree + " " + std::to_string(id) + " " +
                                 std::to_string(id) + " 1")
                       : run({"chown", "-R", std::to_string(id) + ":" + std::to_string(id), tree});
    };
    side->chown.push_back(timed([&] { return chown(1000); },
                                [&] { return ownerOf(sample) == 1000 && ownerOf(tree) == 1000; }));
    side->chownAgain.push_back(
        timed([&] { return chown(1001); },
              [&] { return ownerOf(sample) == 1001 && ownerOf(tree) == 1001; }));
    side->rm.push_back(timed(
        [&] {
            return service ? request("rm " + tree) : run({"rm", "-rf", tree});
        },
        [&] { return ownerOf(tree) == -1; }));
    return true;
}

// Prints one operation's medians and ratio; returns whether the ratio is within `target` (no
// target when 0).
bool report(const char* what, const char* reference, const std::vector<double>& service,
            const std::vector<double>& tool, double target) {
    const double ours = median(service);
    const double theirs = median(tool);
    const double ratio = ours > 0 && theirs > 0 ? ours / theirs : -1;
    const bool met = ratio > 0 && (target == 0 || ratio <= target);
    std::printf("%-26s %10s   %-12s %10s %7s", what, fixed(ours, 1).c_str(), reference,
                fixed(theirs, 1).c_str(), fixed(ratio, 2).c_str());
    if (target > 0) {
        std::printf("  target at most %s: %s", fixed(target, 1).c_str(), met ? "met" : "MISSED");
    }
    std::printf("\n");
    return met;
}

}  // namespace

int main() {
    elevard_bench::BenchService service;
    if (!service.start()) {
        return 1;
    }
    const std::string root = "/tmp/elevard_bench_tree";
    if (mkdir(root.c_str(), 0755) != 0) {
        std::perror(root.c_str());
        return 1;
    }
    std::printf(
        "Tree changes on %s: %d folders of %d empty files on tmpfs, a fresh tree per side and "
        "round, %d rounds, the sides taking turns; medians in ms\n",
        elevard_bench::machine().c_str(), kFolders, kFilesPerFolder, kRounds);
    Side ours;
    Side theirs;
    // One untimed round each, so that both start warm.
    for (int round = 0; round <= kRounds; ++round) {
        Side warm;
        Side* sides[2] = {round == 0 ? &warm : &ours, round == 0 ? &warm : &theirs};
        for (int turn = 0; turn < 2; ++turn) {
            const bool throughService = (round + turn) % 2 == 0;
            const std::string tree =
                root + "/" + (throughService ? "service" : "tool") + std::to_string(round);
            if (!measure(sides[throughService ? 0 : 1], tree, throughService)) {
                return 1;
            }
        }
    }
    std::printf("%-26s %10s   %-12s %10s %7s\n", "elevard", "ms", "reference", "ms", "ratio");
    bool met = report("chown PATH 1000 1000 1", "chown -R", ours.chown, theirs.chown, 1.2);
    report("chown again (user's tree)", "chown -R", ours.chownAgain, theirs.chownAgain, 0);
    met = report("rm PATH", "rm -rf", ours.rm, theirs.rm, 1.1) && met;
    return met ? 0 : 2;
}
