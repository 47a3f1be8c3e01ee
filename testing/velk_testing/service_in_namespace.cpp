#include "velk_testing/service_in_namespace.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>

#include "velk_testing/messages.h"
#include "velk_testing/mount_namespace.h"

namespace velk::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kHang = 30s;

// The machine's /etc/group without any "quorvath" line, plus, `withGroup`, one "quorvath" group
// with an id no other group uses.
std::string groupFile(bool withGroup) {
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
    return withGroup ? groups + "quorvath:x:" + std::to_string(gid) + ":\n" : groups;
}

}  // namespace

kit::ScopedFd listenAs(const std::string& path, uid_t uid) {
    kit::ScopedFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!listener.valid() ||
        bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        chmod(path.c_str(), 0777) != 0 || chown(path.c_str(), uid, uid) != 0) {
        return {};
    }
    // SO_PEERCRED shows whoever called listen. The raw system call changes this thread only;
    // glibc's setresuid would change them all.
    if (syscall(SYS_setresuid, -1, uid, -1) != 0) {
        return {};
    }
    const bool listening = listen(listener.get(), 16) == 0;
    const bool restored = syscall(SYS_setresuid, -1, 0, -1) == 0;
    return listening && restored ? std::move(listener) : kit::ScopedFd();
}

bool enterServiceNamespace(const std::string& binary, std::string* error, bool withGroup) {
    const std::string buildTree =
        std::filesystem::path(binary).parent_path().parent_path().string();
    return enterPrivateMountNamespace(error, {buildTree}) &&
           overlayFile("/etc/group", groupFile(withGroup), error);
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
        // Only a guard against a hang, for a connect that waits for room in a full backlog and
        // for every send and receive after it; a failure leaves them unbounded.
        const timeval timeout{static_cast<time_t>(kHang.count()), 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (fd.valid() &&
            connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
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

std::string exchangeLine(const std::string& path, const std::string& line) {
    kit::ScopedFd fd = connectWhenListening(path);
    if (!fd.valid()) {
        return "<no connection>";
    }
    const std::string message = bufferMessage(line);
    for (size_t sent = 0; sent < message.size();) {
        const ssize_t got =
            send(fd.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (got < 0 && errno != EINTR) {
            return "<not sent>";
        }
        sent += got > 0 ? static_cast<size_t>(got) : 0;
    }
    return readUntilClosed(fd.get());
}

std::string awaitMarker(RunningChild* service, const std::string& path, const std::string& name) {
    const std::string printed = "Command nosuch " + name + " not found\n";
    return exchangeLine(path, "nosuch " + name).empty() && service->waitForOutput(printed, kHang)
               ? printed
               : "";
}

bool eventually(const std::function<bool()>& condition) {
    for (const auto giveUp = Clock::now() + kHang; Clock::now() < giveUp;) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

std::string trickleUntilClosed(const std::string& path, const std::vector<std::string>& messages,
                               std::chrono::milliseconds interval,
                               const std::function<void()>& meanwhile) {
    struct Client {
        kit::ScopedFd fd;
        std::string message;
        Clock::time_point opened;
        size_t sent;
        std::optional<std::chrono::milliseconds> closedAfter;
    };
    std::vector<Client> clients;
    for (const std::string& message : messages) {
        clients.push_back({connectWhenListening(path), message, Clock::now(), 0, {}});
    }
    // Notes the connections closed meanwhile and sends the others their next byte; returns how
    // many are still open.
    auto step = [&clients] {
        size_t open = 0;
        for (Client& c : clients) {
            if (!c.closedAfter && !stillOpen(c.fd.get())) {
                c.closedAfter =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - c.opened);
            } else if (!c.closedAfter) {
                ++open;
                c.sent += c.sent < c.message.size() &&
                          send(c.fd.get(), c.message.data() + c.sent, 1, MSG_NOSIGNAL) == 1;
            }
        }
        return open;
    };
    step();
    if (meanwhile) {
        meanwhile();
    }
    std::string misjudged =
        step() < clients.size() ? "a connection was closed before meanwhile returned\n" : "";
    const auto giveUp = Clock::now() + kHang;
    do {
        std::this_thread::sleep_for(interval);
    } while (step() > 0 && Clock::now() < giveUp);
    for (size_t i = 0; i < clients.size(); ++i) {
        const Client& c = clients[i];
        if (!c.closedAfter || *c.closedAfter < 9500ms ||
            (c.sent > 0 && c.sent == c.message.size())) {
            const std::string closed =
                c.closedAfter ? "closed after " + std::to_string(c.closedAfter->count()) + " ms"
                              : "never closed";
            misjudged += "connection " + std::to_string(i) + ": " + closed + ", " +
                         std::to_string(c.sent) + " bytes sent\n";
        }
    }
    return misjudged;
}

}  // namespace velk::testing
