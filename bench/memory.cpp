// The service's memory after 100,000 requests and its growth over the next 100,000,
// with 16 clients sending a mix of queries and path changes.
//
//     build/default/bin/elevard_bench_memory      (as root)
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "bench_service.h"
#include "load_generator.h"

namespace {

const std::string kRoot = "/tmp/elevard_bench_memory";
constexpr int kClients = 16;
constexpr size_t kPerClient = 100000 / kClients;
// The service's own memory (its anonymous pages); the shared pages of the C and C++ libraries
// are shown beside it, not counted.
constexpr long kTargetAnonKiB = 1024;

// Client `client`'s `index`-th request: exists, stat, size, a small listing, and a folder
// made and removed again.
std::string request(int client, size_t index) {
    const std::string own = kRoot + "/c" + std::to_string(client);
    switch (index % 6) {
        case 0:
            return "exists " + own;
        case 1:
            return "stat " + kRoot + "/listed/f3";
        case 2:
            return "size " + kRoot + "/listed/f7";
        case 3:
            return "list " + kRoot + "/listed";
        case 4:
            return "mkdir " + own + "/d" + std::to_string(index) + "/inner";
        default:
            return "rm " + own + "/d" + std::to_string(index - 1);
    }
}

bool prepare() {
    if (mkdir(kRoot.c_str(), 0755) != 0 || mkdir((kRoot + "/listed").c_str(), 0755) != 0) {
        return false;
    }
    for (int i = 0; i < 20; ++i) {
        if (std::FILE* file = std::fopen((kRoot + "/listed/f" + std::to_string(i)).c_str(), "w")) {
            std::fputs("content", file);
            std::fclose(file);
        }
    }
    for (int client = 0; client < kClients; ++client) {
        if (mkdir((kRoot + "/c" + std::to_string(client)).c_str(), 0755) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    elevard_bench::BenchService service;
    if (!service.start()) {
        return 1;
    }
    if (!prepare()) {
        std::perror(kRoot.c_str());
        return 1;
    }
    auto roundTrip = [](int client, size_t index) {
        std::string reply;
        return elevard_bench::exchange(elevard_bench::servicePath(), request(client, index),
                                       &reply) &&
               !reply.empty();
    };
    std::printf("Resident memory of the service on %s, %d clients\n",
                elevard_bench::machine().c_str(), kClients);
    std::printf("%10s %10s %10s %10s %10s %10s\n", "requests", "failed", "RSS KiB", "anon KiB",
                "file KiB", "PSS KiB");
    auto show = [&](size_t requests, size_t failed) {
        std::printf("%10zu %10zu %10ld %10ld %10ld %10ld\n", requests, failed,
                    service.residentKiB(), service.anonymousKiB(), service.fileKiB(),
                    service.proportionalKiB());
    };
    show(0, 0);
    size_t failed = elevard_bench::runLoad(kClients, kPerClient, roundTrip).failures;
    const long first = service.anonymousKiB();
    show(kClients * kPerClient, failed);
    failed += elevard_bench::runLoad(kClients, kPerClient, roundTrip).failures;
    const long second = service.anonymousKiB();
    show(2 * kClients * kPerClient, failed);
    const bool met = failed == 0 && first >= 0 && first < kTargetAnonKiB && second - first <= 64;
    std::printf(
        "anonymous growth %+ld KiB; target anonymous under %ld KiB after 100,000 and no growth: "
        "%s\n",
        second - first, kTargetAnonKiB, met ? "met" : "MISSED");
    return met ? 0 : 2;
}
