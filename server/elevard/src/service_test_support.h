#pragma once

// What the service's end-to-end tests share: the built elevard runs as a child process inside a
// private mount namespace made by each test (a tmpfs on /tmp, an /etc/group of the test's
// choosing), so the machine's real socket path and group file are never touched.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acceptor.h"
#include "commands.h"
#include "elevard/wire/domain_socket.h"
#include "service.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/mount_staging.h"
#include "velk/system_commands/program_run.h"
#include "velk_testing/child_process.h"
#include "velk_testing/messages.h"
#include "velk_testing/process_status.h"
#include "velk_testing/running_child.h"
#include "velk_testing/service_in_namespace.h"

namespace service_test {

using namespace std::chrono_literals;
using namespace velk::testing;
using velk::kit::ScopedFd;
namespace domain_socket = elevard::wire;
using velk::system_commands::detail::kStagingRoot;

inline const char* const kPath = velk::SystemCommands::kDomainSocket;
// Generous limits that only catch a hang.
inline constexpr auto kHang = 30s;
// ThreadSanitizer's runtime starts one thread of its own along with the program's first.
#ifdef __SANITIZE_THREAD__
inline constexpr int kRuntimeThreads = 1;
#else
inline constexpr int kRuntimeThreads = 0;
#endif

inline constexpr long kBigReply = 4 << 20;

// The service loop run in a forked child with one command made for the tests: "slow N" prints
// "started slow N", sleeps N milliseconds, then replies with the integer N.
inline int serveTestCommands(std::chrono::milliseconds stopGrace,
                             std::function<void()> whileStopping = {}) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    CommandsFactory factory;
    factory.reg(
        {"slow"}, {"milliseconds"},
        [](const std::string& line, int) {
            std::printf("started %s\n", line.c_str());
            const long milliseconds = std::stol(line.substr(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            return CommandOutcome(Result::ok, domain_socket::integerReply(milliseconds));
        },
        false);
    // "spawn N" runs a shell for at most N milliseconds that writes its own pid and its child's
    // to /tmp/spawned and waits for that child; then it replies with N.
    factory.reg(
        {"spawn"}, {"milliseconds"},
        [](const std::string& line, int) {
            std::printf("started %s\n", line.c_str());
            const long milliseconds = std::stol(line.substr(6));
            velk::system_commands::detail::ProgramRun run;
            run.program = "/bin/sh";
            run.arguments = {"-c", "sleep 600 & echo $$ $! > /tmp/spawned; wait"};
            run.environment = {"PATH=/usr/bin:/bin"};
            run.deadline = std::chrono::milliseconds(milliseconds);
            // Ends at its deadline; only the reply below is looked at.
            (void)velk::system_commands::detail::runProgram(run, {});
            return CommandOutcome(Result::ok, domain_socket::integerReply(milliseconds));
        },
        false);
    // "big N" sleeps N milliseconds, then replies with kBigReply bytes: more than the
    // connection takes at once, so the rest is handed over to the loop.
    factory.reg(
        {"big"}, {"milliseconds"},
        [](const std::string& line, int) {
            std::printf("started %s\n", line.c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(line.substr(4))));
            return CommandOutcome(Result::ok,
                                  domain_socket::bufferReply(std::string(kBigReply, 'r')));
        },
        false);
    return runService(factory, stopGrace, std::move(whileStopping));
}

// A datagram socket bound at `path`, standing in for systemd's notification or journal socket.
inline ScopedFd datagramSocket(const std::string& path) {
    ScopedFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

// The next datagram on `fd`, or "<none>" when none comes within the hang guard.
inline std::string receiveDatagram(int fd) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, std::chrono::milliseconds(kHang).count()) != 1) {
        return "<none>";
    }
    std::string datagram(256 * 1024, '\0');
    const ssize_t got = recv(fd, datagram.data(), datagram.size(), 0);
    datagram.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return datagram;
}

// The fields of a journal entry whose values hold no newline: "NAME=value" lines.
inline std::map<std::string, std::string> journalFields(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    std::istringstream lines(datagram);
    for (std::string line; std::getline(lines, line);) {
        fields[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return fields;
}

// Whether `path` is the root of a mount of its own: it then lies on another device than its
// parent folder.
inline bool isMountPoint(const std::string& path) {
    struct stat self {};
    struct stat parent {};
    return stat(path.c_str(), &self) == 0 && stat((path + "/..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(enterServiceNamespace(ELEVARD_BINARY, &error)) << error;
    }

    // Starts elevard without arguments.
    void start() {
        std::string error;
        ASSERT_TRUE(startService(ELEVARD_BINARY, {}, &service_, &error)) << error;
    }

    // Runs serveTestCommands in a child of this process and waits until it accepts.
    void startForked(std::chrono::milliseconds stopGrace,
                     const std::function<void()>& whileStopping = {}) {
        ASSERT_TRUE(
            service_.startForked([&] { return serveTestCommands(stopGrace, whileStopping); }));
        ASSERT_TRUE(connectWhenListening(kPath).valid()) << service_.err();
    }

    // Sends a line that no command matches and waits for its outcome line; once it is there,
    // everything sent before on a connection that is now closed has been dealt with.
    void expectServedMarker(const std::string& name) {
        EXPECT_NE(awaitMarker(&service_, kPath, name), "") << service_.out();
    }

    RunningChild service_;
};

}  // namespace service_test
