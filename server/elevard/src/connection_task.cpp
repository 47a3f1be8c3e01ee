#include "connection_task.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "run_modes.h"
#include "velk/system_commands/domain_socket.h"

void* reallocCallback(void* context, long length) {
    if (length < 0 || length > kMaxCommandLineLength) {
        return nullptr;
    }
    auto* line = static_cast<std::string*>(context);
    try {
        line->resize(static_cast<size_t>(length));
    } catch (const std::exception&) {
        // bad_alloc or length_error: the read fails instead of the service.
        return nullptr;
    }
    return line->data();
}

bool setConnectionTimeouts(int socket) {
    timeval timeout{};
    timeout.tv_sec = kConnectionTimeout.count();
    if (setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        std::perror("setsockopt SO_RCVTIMEO");
        return false;
    }
    if (setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        std::perror("setsockopt SO_SNDTIMEO");
        return false;
    }
    return true;
}

namespace {

void serveConnection(int socket, const CommandsFactory& factory) {
    std::string command;
    if (!velk::system_commands::domain_socket::readBuffer(socket, reallocCallback, &command)) {
        close(socket);  // never retried: the descriptor is gone even on EINTR
        return;
    }
    // executeCommand closes the socket on every path; its status only matters in direct mode.
    executeCommand(factory, command, socket);
}

}  // namespace

std::function<void()> makeConnectionTask(int socket, const CommandsFactory& factory) {
    return [socket, &factory] { serveConnection(socket, factory); };
}
