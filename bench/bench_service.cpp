#include "bench_service.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

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

bool BenchService::start(const std::string& binary, std::string* error) {
    if (!velk::testing::enterServiceNamespace(binary, error) ||
        !velk::testing::startService(binary, {}, &child_, error)) {
        return false;
    }
    pid_ = child_.pid();
    // Wait for the socket, so that the first measured round trip finds it.
    if (!velk::testing::connectWhenListening(servicePath()).valid()) {
        *error = "the service does not listen";
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

const char* servicePath() {
    return velk::SystemCommands::kDomainSocket;
}

bool runningAsRoot() {
    if (geteuid() == 0) {
        return true;
    }
    std::fprintf(
        stderr, "The benchmarks run the service in a private mount namespace: run them as root.\n");
    return false;
}

}  // namespace elevard_bench
