#include "connection_task.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
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
        void* into = inLength ? static_cast<void*>(lengthField_ + lengthFieldReceived_)
                              : static_cast<void*>(line_.data() + lineReceived_);
        const size_t wanted =
            inLength ? sizeof lengthField_ - lengthFieldReceived_ : line_.size() - lineReceived_;
        const ssize_t got = recv(socket_.get(), into, wanted, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return State::reading;
        }
        if (got <= 0) {
            return State::refused;
        }
        if (inLength) {
            lengthFieldReceived_ += static_cast<size_t>(got);
            if (lengthFieldReceived_ < sizeof lengthField_) {
                continue;
            }
            if (!sizeLine()) {
                return State::refused;
            }
        } else {
            lineReceived_ += static_cast<size_t>(got);
        }
        if (lineReceived_ == line_.size()) {
            return State::complete;
        }
    }
}

bool PendingRequest::sizeLine() {
    const long length = domain_socket::announcedLength(lengthField_);
    // Nothing is allocated before the length has passed reallocCallback's limit.
    return length > 0 && reallocCallback(&line_, length) != nullptr;
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
