#pragma once

// What the load tests share: the built service in a private mount namespace, a folder of
// clients' files and a large listing, and the bounds the tests hold the service to.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "velk/system_commands.h"
#include "velk_testing/messages.h"
#include "velk_testing/process_status.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"
#include "velk_testing/service_in_namespace.h"

namespace service_load {

using namespace std::chrono_literals;
using namespace velk::testing;
using Clock = std::chrono::steady_clock;

const char* const kPath = velk::SystemCommands::kDomainSocket;

constexpr int kClients = 32;
constexpr int kRequestsPerClient = 1000;
constexpr int kRequestsPerCycle = 10;
constexpr int kCycles = kRequestsPerClient / kRequestsPerCycle;
constexpr int kTotalRequests = kClients * kRequestsPerClient;
constexpr int kSizedFiles = 10;      // files of distinct sizes per client, asked for in turn
constexpr int kHostileRounds = 400;  // spread evenly over the well-formed requests
constexpr int kBurst = 10000;
constexpr int kTricklers = 4;
// Enough entries with long names that the listing outgrows the socket's buffers: the service
// is still sending it when the client goes.
constexpr int kLargeListEntries = 2000;
// How far the service's resident memory may grow from the middle of the run to its end: 1 MiB
// over 16,000 requests is 64 bytes each. Under AddressSanitizer each worker's share of the
// quarantine fills at its own pace and its allocator never gives memory back, so the middle and
// the end differ by 1 to 4 MiB from run to run without any leak; the bound there is 8 MiB, and
// LeakSanitizer checks the exit for leaks exactly.
// The growth allowed while held connections wait is a quarter more there, for the redzones
// around every buffer they hold.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kGrowthBoundKiB = 8192;
constexpr long kHeldGrowthPercent = 125;
#else
constexpr long kGrowthBoundKiB = 1024;
constexpr long kHeldGrowthPercent = 100;
#endif
constexpr auto kHang = 30s;  // only catches a hang
// How long the service gives a client to send its line, or to take its reply.
constexpr auto kConnectionDeadline = 10s;

struct Request {
    std::string line;
    std::string reply;
    std::string outcome;
};

// Counts each line of `text`.
inline std::map<std::string, int> lineCounts(const std::string& text) {
    std::map<std::string, int> counts;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        ++counts[line];
    }
    return counts;
}

class ServiceLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Both ends of the burst need a descriptor for each connection; the service inherits
        // this process's limit.
        rlimit limit{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, kBurst + 2000);
        limit.rlim_max = std::max(limit.rlim_max, limit.rlim_cur);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        std::string error;
        ASSERT_TRUE(enterServiceNamespace(ELEVARD_BINARY, &error)) << error;
        scratch_ = std::make_unique<ScratchDir>();
        root_ = scratch_->path();
        for (int client = 0; client < kClients; ++client) {
            for (const std::string& folder :
                 {home(client), home(client) + "/w", home(client) + "/listed"}) {
                ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
            }
            ASSERT_TRUE(std::ofstream(home(client) + "/listed/only" + std::to_string(client)));
            for (int file = 0; file < kSizedFiles; ++file) {
                const std::string sized = home(client) + "/s" + std::to_string(file);
                ASSERT_TRUE(std::ofstream(sized));
                ASSERT_EQ(truncate(sized.c_str(), sizeOf(client, file)), 0);
            }
        }
        large_ = root_ + "/large";
        ASSERT_EQ(mkdir(large_.c_str(), 0755), 0);
        std::string listing;
        for (int i = 0; i < kLargeListEntries; ++i) {
            const std::string name = large_ + "/" + std::to_string(i) + std::string(200, 'x');
            ASSERT_TRUE(std::ofstream(name));
            listing += name + ",0,0,";
        }
        largeLength_ = lengthField(static_cast<int64_t>(listing.size()));
    }

    // Starts the built service in service_. AddressSanitizer's quarantine holds freed memory
    // back on purpose; a small one keeps the resident size about the service's own memory.
    void startService() {
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string error;
        ASSERT_TRUE(velk::testing::startService(
            ELEVARD_BINARY,
            {"ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=1"},
            &service_, &error))
            << error;
    }

    std::string home(int client) const { return root_ + "/c" + std::to_string(client); }
    static int64_t sizeOf(int client, int file) { return (client + 1) * 1000 + file; }
    // The owner that client `client`'s chown gives, and the group it gives in cycle `cycle`.
    static int uidOf(int client) { return 2000 + client; }
    static int gidOf(int cycle) { return 3000 + cycle; }

    // One client's 1,000 requests: every reply names the client (a size, a path) or follows
    // from what its own earlier requests changed, so a reply lost, repeated or handed to
    // another client shows as a mismatch.
    std::vector<Request> requestsOf(int client) const;

    // Runs one client's requests, pausing at the half-way barrier.
    template <typename Barrier>
    void runClient(int client, Barrier& half);

    // Hostile connections, one per kTotalRequests / kHostileRounds well-formed requests, the
    // burst among them in the first half.
    template <typename Barrier>
    void runHostile(Barrier& half);

    void hostile(int round);

    // Holds kBurst connections open at once, then drops them all. Each connect waits while the
    // backlog is full, until the service has accepted the earlier ones.
    void burst();

    // Every well-formed request printed its outcome once and nothing else ran; each large
    // listing's send failed once, for its client had gone, and nothing else failed.
    void expectOutput(const ChildResult& result);

    // What the last cycle of each client made stays, renamed and re-owned; the rest is gone.
    void expectLastCyclesLeft();

    // Waits until the service holds at most `count` descriptors; returns how many it holds.
    size_t settleDescriptors(size_t count) {
        eventually([&] { return requestDescriptorCount(service_.pid()) <= count; });
        return requestDescriptorCount(service_.pid());
    }

    // A connection outlived the hang guard: the rest of the run is skipped, which would only
    // wait for the guard again and again.
    void hang(const std::string& what) {
        fail(what);
        hung_ = true;
    }

    void fail(const std::string& what) {
        std::lock_guard<std::mutex> lock(failuresMutex_);
        if (++failures_ <= 10) {
            failureText_ += what + "\n";
        }
    }

    std::unique_ptr<ScratchDir> scratch_;
    std::string root_;
    std::string large_;
    std::string largeLength_;
    RunningChild service_;
    std::atomic<int> completed_{0};
    std::atomic<int> largeLists_{0};
    std::atomic<bool> hung_{false};
    size_t burstHeld_ = 0;
    std::mutex failuresMutex_;
    int failures_ = 0;
    std::string failureText_;
};

}  // namespace service_load
