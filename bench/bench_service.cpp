#include "bench_service.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "velk/system_commands.h"
#include "velk_testing/process_status.h"
#include "velk_testing/service_in_namespace.h"

namespace elevard_bench {

BenchService::~BenchService() {
    stopDraining_ = true;
    if (drain_.joinable()) {
        drain_.join();
    }
    if (pid_ > 0) {
        child_.signal(SIGTERM);
        child_.wait(std::chrono::seconds(30));
    }
}

bool BenchService::start() {
    if (geteuid() != 0) {
        std::fprintf(stderr,
                     "The benchmarks run the service in a private mount namespace: run "
                     "them as root.\n");
        return false;
    }
    const char* chosen = std::getenv("ELEVARD_BENCH_SERVICE");
    const std::string binary = chosen != nullptr && *chosen != '\0' ? chosen : ELEVARD_BINARY;
    std::string error;
    if (!velk::testing::enterServiceNamespace(binary, &error) ||
        !velk::testing::startService(binary, {}, &child_, &error)) {
        std::fprintf(stderr, "cannot start the service: %s\n", error.c_str());
        return false;
    }
    pid_ = child_.pid();
    // Wait for the socket, so that the first measured round trip finds it.
    if (!velk::testing::connectWhenListening(servicePath()).valid()) {
        std::fprintf(stderr, "cannot start the service: it does not listen\n");
        return false;
    }
    drain_ = std::thread([this] {
        while (!stopDraining_) {
            child_.collectFor(std::chrono::milliseconds(50));
        }
    });
    return true;
}

long BenchService::residentKiB() const {
    return velk::testing::statusKiB(pid_, "VmRSS");
}

long BenchService::anonymousKiB() const {
    return velk::testing::statusKiB(pid_, "RssAnon");
}

long BenchService::fileKiB() const {
    return velk::testing::statusKiB(pid_, "RssFile");
}

long BenchService::proportionalKiB() const {
    const std::string value =
        velk::testing::procField("/proc/" + std::to_string(pid_) + "/smaps_rollup", "Pss");
    return value.empty() ? -1 : std::strtol(value.c_str(), nullptr, 10);
}

double BenchService::cpuSeconds() const {
    std::error_code error;
    std::filesystem::directory_iterator threads("/proc/" + std::to_string(pid_) + "/task", error);
    if (error) {
        return -1;
    }
    double nanoseconds = 0;
    for (const auto& thread : threads) {
        std::ifstream schedstat(thread.path() / "schedstat");
        double onCpu = 0;
        // A thread that ended meanwhile adds nothing.
        if (schedstat >> onCpu) {
            nanoseconds += onCpu;
        }
    }
    return nanoseconds / 1e9;
}

const char* servicePath() {
    return velk::SystemCommands::kDomainSocket;
}

}  // namespace elevard_bench
