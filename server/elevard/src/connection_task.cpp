#include "connection_task.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <utility>

#include "run_modes.h"

namespace domain_socket = velk::system_commands::domain_socket;

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

PendingRequest::PendingRequest(velk::kit::ScopedFd socket,
                               std::chrono::steady_clock::time_point accepted)
    : socket_(std::move(socket)), deadline_(accepted + kConnectionTimeout) {}

PendingRequest::State PendingRequest::readAvailable() {
    for (;;) {
        const bool inLength = lengthFieldReceived_ < sizeof lengthField_;
        // While the length is incomplete, the read takes a short line with it, so that most
        // requests cost one read. A longer line comes a chunk at a time and is appended.
        unsigned char bytes[kReadChunk];
        static_assert(sizeof bytes >= sizeof lengthField_ + kShortLine);
        const size_t wanted = inLength ? sizeof lengthField_ - lengthFieldReceived_ + kShortLine
                                       : std::min(sizeof bytes, announced_ - line_.size());
        const ssize_t got = recv(socket_.get(), bytes, wanted, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return State::reading;
        }
        if (got <= 0) {
            return State::refused;
        }
        const bool taken = inLength ? takeEarly(bytes, static_cast<size_t>(got))
                                    : append(bytes, static_cast<size_t>(got));
        if (!taken) {
            return State::refused;
        }
        if (lengthFieldReceived_ == sizeof lengthField_ && line_.size() == announced_) {
            return State::complete;
        }
    }
}

bool PendingRequest::takeEarly(const unsigned char* bytes, size_t count) {
    const size_t field = std::min(count, sizeof lengthField_ - lengthFieldReceived_);
    std::memcpy(lengthField_ + lengthFieldReceived_, bytes, field);
    lengthFieldReceived_ += field;
    if (lengthFieldReceived_ < sizeof lengthField_) {
        return true;
    }
    const long length = domain_socket::announcedLength(lengthField_);
    if (length <= 0 || length > kMaxCommandLineLength) {
        return false;
    }
    announced_ = static_cast<size_t>(length);
    return append(bytes + field, count - field);
}

bool PendingRequest::append(const unsigned char* bytes, size_t count) {
    // Whatever came after the line is dropped: a connection carries one request.
    try {
        line_.append(reinterpret_cast<const char*>(bytes),
                     std::min(count, announced_ - line_.size()));
    } catch (const std::exception&) {
        // bad_alloc: the connection is closed instead of the service.
        return false;
    }
    return true;
}

void runRequest(PendingRequest request, const CommandsFactory& factory, ReplyCarrier& carrier) {
    domain_socket::DeferredSends deferred(request.descriptor());
    executeCommand(factory, request.line(), request.takeSocket());
    if (deferred.deferred()) {
        carrier.carry(std::move(deferred.reply()));
    }
}

std::function<void()> makeConnectionTask(PendingRequest request, const CommandsFactory& factory,
                                         ReplyCarrier& carrier) {
    // A std::function must be copyable, so the move-only request travels in a shared_ptr; the
    // worker runs the task once.
    auto shared = std::make_shared<PendingRequest>(std::move(request));
    return [shared, &factory, &carrier] { runRequest(std::move(*shared), factory, carrier); };
}
