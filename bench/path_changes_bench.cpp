// What a path change costs: mkdir (two levels) and rm round trips against exists round trips,
// and against starting the shell command that does the same, in one run.
//
//     build/default/bin/elevard_bench_path_changes      (as root)
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_service.h"
#include "load_generator.h"
#include "velk_testing/messages.h"

extern char** environ;

namespace {

using elevard_bench::fixed;
using elevard_bench::LoadFigures;

const std::string kRoot = "/tmp/elevard_bench_paths";

// Each configuration runs in this many rounds, the kinds of request taking turns.
constexpr int kRounds = 5;

// Client `client`'s `index`-th folder of round `round`; mkdir makes it with a folder inside, rm
// removes both.
std::string folder(const char* kind, int round, int client, size_t index) {
    return kRoot + "/" + kind + std::to_string(round) + "_" + std::to_string(client) + "_" +
           std::to_string(index);
}

// Runs `request` of each round trip through the service and checks for the reply 1.
LoadFigures throughService(int clients, size_t perClient,
                           const std::function<std::string(int, size_t)>& request) {
    const std::string yes = velk::testing::integerMessage(1);
    const std::string path = elevard_bench::servicePath();
    return elevard_bench::runLoad(clients, perClient, [&](int client, size_t index) {
        std::string reply;
        return elevard_bench::exchange(path, request(client, index), &reply) && reply == yes;
    });
}

// Runs `command(client, index)` through /bin/sh -c for each round trip.
LoadFigures throughShell(int clients, size_t perClient,
                         const std::function<std::string(int, size_t)>& command) {
    return elevard_bench::runLoad(clients, perClient, [&](int client, size_t index) {
        const std::string line = command(client, index);
        char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>(line.c_str()), nullptr};
        pid_t child = -1;
        if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
            return false;
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    });
}

void printRow(const char* what, int clients, const LoadFigures& f) {
    std::printf("%-22s %7d %9zu %8zu %10s %9s %9s %9s\n", what, clients, f.requests, f.failures,
                fixed(f.perSecond(), 0).c_str(), fixed(f.meanMicroseconds, 1).c_str(),
                fixed(f.p50Microseconds, 1).c_str(), fixed(f.p99Microseconds, 1).c_str());
}

}  // namespace

int main() {
    elevard_bench::BenchService service;
    if (!service.start()) {
        return 1;
    }
    if (mkdir(kRoot.c_str(), 0755) != 0) {
        std::perror(kRoot.c_str());
        return 1;
    }
    // Counts the rounds: each makes and removes folders of its own.
    int round = 0;
    auto exists = [](int, size_t) { return "exists " + kRoot; };
    auto mkdirLine = [&](int c, size_t i) {
        return "mkdir " + folder("s", round, c, i) + "/inner";
    };
    auto rmLine = [&](int c, size_t i) { return "rm " + folder("s", round, c, i); };
    auto shellMkdir = [&](int c, size_t i) {
        return "mkdir -p " + folder("p", round, c, i) + "/inner";
    };
    auto shellRm = [&](int c, size_t i) { return "rm -rf " + folder("p", round, c, i); };
    throughService(16, 500, exists);  // warm-up

    std::printf(
        "Path changes on %s; mkdir makes two levels, rm removes them; %d rounds, the "
        "kinds taking turns\n",
        elevard_bench::machine().c_str(), kRounds);
    std::printf("%-22s %7s %9s %8s %10s %9s %9s %9s\n", "request", "clients", "requests", "failed",
                "req/s", "mean us", "p50 us", "p99 us");
    bool met = true;
    for (const auto& [clients, perClient] :
         {std::pair{1, size_t{2000}}, std::pair{16, size_t{200}}}) {
        const size_t shellCount = clients == 1 ? 100 : 20;
        const std::vector<LoadFigures> taken = elevard_bench::interleave(
            kRounds, {[&] { return throughService(clients, perClient, exists); },
                      [&] { return throughService(clients, perClient, mkdirLine); },
                      [&] { return throughService(clients, perClient, rmLine); },
                      [&] { return throughShell(clients, shellCount, shellMkdir); },
                      [&] {
                          LoadFigures removed = throughShell(clients, shellCount, shellRm);
                          ++round;
                          return removed;
                      }});
        const LoadFigures& existsFigures = taken[0];
        const LoadFigures& made = taken[1];
        const LoadFigures& removed = taken[2];
        const LoadFigures& shellMade = taken[3];
        const LoadFigures& shellRemoved = taken[4];
        printRow("exists", clients, existsFigures);
        printRow("mkdir", clients, made);
        printRow("rm", clients, removed);
        printRow("sh -c 'mkdir -p'", clients, shellMade);
        printRow("sh -c 'rm -rf'", clients, shellRemoved);
        // The cost of a request: its mean latency alone, its share of the throughput with many.
        const double mkdirCost = clients == 1
                                     ? made.meanMicroseconds / existsFigures.meanMicroseconds
                                     : existsFigures.perSecond() / made.perSecond();
        const double rmCost = clients == 1
                                  ? removed.meanMicroseconds / existsFigures.meanMicroseconds
                                  : existsFigures.perSecond() / removed.perSecond();
        const bool clean = made.failures + removed.failures + existsFigures.failures == 0;
        std::printf("%-22s mkdir %s x exists, rm %s x exists (target at most 2): %s\n", "",
                    fixed(mkdirCost, 2).c_str(), fixed(rmCost, 2).c_str(),
                    clean && mkdirCost <= 2 && rmCost <= 2 ? "met" : "MISSED");
        met = met && clean && mkdirCost <= 2 && rmCost <= 2;
    }
    return met ? 0 : 2;
}
