// The service's memory after 100,000 requests and its growth over the next 100,000,
// with 16 clients sending a mix of queries and path changes; then what 3,000 connections that
// announce the longest line and send one byte of it make it hold, and how soon a request beside
// them is answered.
//
//     build/default/bin/elevard_bench_memory      (as root)
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_service.h"
#include "load_generator.h"
#include "velk/kit/scoped_fd.h"
#include "velk_testing/messages.h"
#include "velk_testing/process_status.h"
#include "velk_testing/service_in_namespace.h"

namespace {

const std::string kRoot = "/tmp/elevard_bench_memory";
constexpr int kClients = 16;
constexpr size_t kPerClient = 100000 / kClients;
// The service's own memory (its anonymous pages); the shared pages of the C and C++ libraries
// are shown beside it, not counted.
constexpr long kTargetAnonKiB = 1024;
constexpr int kAnnouncers = 3000;
constexpr long kAnnounced = 64 * 1024;
constexpr long kTargetAnnouncersKiB = 32 * 1024;
constexpr auto kTargetAnswer = std::chrono::seconds(1);

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

// Holds kAnnouncers connections that each announce a line of kAnnounced bytes and send one,
// shows how much the service's resident memory grew and how long a request beside them took.
// True when both targets are met.
bool showAnnouncers(const elevard_bench::BenchService& service) {
    using Clock = std::chrono::steady_clock;
    const long before = service.residentKiB();
    const size_t idle = velk::testing::descriptorsOf(service.pid()).size();
    const std::string bytes = velk::testing::lengthField(kAnnounced) + "x";
    std::vector<velk::kit::ScopedFd> held;
    for (int i = 0; i < kAnnouncers; ++i) {
        held.push_back(velk::testing::connectWhenListening(elevard_bench::servicePath()));
        if (!held.back().valid() || send(held.back().get(), bytes.data(), bytes.size(),
                                         MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
            std::perror("announcing connection");
            return false;
        }
    }
    // Until the service holds them all (their descriptors), for 10 s at most.
    for (auto until = Clock::now() + std::chrono::seconds(10);
         velk::testing::descriptorsOf(service.pid()).size() < idle + kAnnouncers &&
         Clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const long after = service.residentKiB();
    const auto asked = Clock::now();
    std::string reply;
    const bool answered =
        elevard_bench::exchange(elevard_bench::servicePath(), "exists " + kRoot, &reply) &&
        !reply.empty();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
    const bool met = before >= 0 && after - before < kTargetAnnouncersKiB && answered &&
                     Clock::now() - asked < kTargetAnswer;
    std::printf(
        "%d connections announcing %ld bytes, one sent: RSS %ld -> %ld KiB (%+ld KiB); a request "
        "beside them %s in %.1f ms; target growth under %ld KiB and an answer within 1 s: %s\n",
        kAnnouncers, kAnnounced, before, after, after - before,
        answered ? "answered" : "NOT answered", ms, kTargetAnnouncersKiB, met ? "met" : "MISSED");
    return met;
}

// Room for the held connections on both ends (the service inherits the limit).
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4 * kAnnouncers) {
        limit.rlim_cur = 4 * kAnnouncers;
        limit.rlim_max = std::max(limit.rlim_max, limit.rlim_cur);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            std::perror("setrlimit");
        }
    }
}

}  // namespace

int main() {
    raiseDescriptorLimit();
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
    const bool announcersMet = showAnnouncers(service);
    return met && announcersMet ? 0 : 2;
}
