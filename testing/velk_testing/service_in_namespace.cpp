#include "velk_testing/service_in_namespace.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "velk_testing/mount_namespace.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kHang = 30s;

// The machine's /etc/group without any "quorvath" line, plus one "quorvath" group with an id
// no other group uses.
std::string groupFileWithService() {
    std::string groups;
    std::ifstream real("/etc/group");
    for (std::string line; std::getline(real, line);) {
        if (line.rfind("quorvath:", 0) != 0) {
            groups += line + "\n";
        }
    }
    int gid = 4242;
    while (groups.find(":" + std::to_string(gid) + ":") != std::string::npos) {
        ++gid;
    }
    return groups + "quorvath:x:" + std::to_string(gid) + ":\n";
}

}  // namespace

bool enterServiceNamespace(const std::string& binary, std::string* error) {
    const std::string buildTree =
        std::filesystem::path(binary).parent_path().parent_path().string();
    return enterPrivateMountNamespace(error, {buildTree}) &&
           overlayFile("/etc/group", groupFileWithService(), error);
}

bool startService(const std::string& binary, const std::vector<std::string>& extraEnv,
                  RunningChild* service, std::string* error) {
    if (!service->start({binary}, extraEnv)) {
        *error = "cannot start " + binary;
        return false;
    }
    if (!service->waitForOutput("Starting elevard, using domain socket:", kHang)) {
        *error = "no start-up line: " + service->err();
        return false;
    }
    return true;
}

kit::ScopedFd connectWhenListening(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    for (;;) {
        kit::ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.valid() &&
            connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            timeval timeout{static_cast<time_t>(kHang.count()), 0};
            // Only a guard against a hang; a failure leaves the receives unbounded.
            setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            return fd;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return kit::ScopedFd();
        }
        std::this_thread::sleep_for(10ms);
    }
}

std::string readUntilClosed(int fd) {
    std::string reply;
    for (;;) {
        char buffer[256];
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            reply.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno == ECONNRESET) {
            return reply;
        } else if (errno != EINTR) {
            return "<still open>";
        }
    }
}

bool stillOpen(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

}  // namespace velk::testing
