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
    : socket_(std::move(socket)), deadline_(accepted + kConnectionTimeout) {
    origin_.caller = peerCredentials(socket_.get());
    origin_.arrived = accepted;
}

PendingRequest::~PendingRequest() {
    if (!socket_.valid() || complete_ || lengthFieldReceived_ == 0 || !standardOutputIsJournal()) {
        return;
    }
    try {
        reportRefused();
    } catch (const std::exception&) {
        // Out of memory for the entry: the request goes unseen rather than the service down.
    }
}

void PendingRequest::reportRefused() const {
    JournalEntry entry;
    if (lengthFieldReceived_ < sizeof lengthField_) {
        entry.message = "Request refused: its length was cut short";
    } else if (line_.empty()) {
        entry.message = "Request refused: a command line of " +
                        std::to_string(domain_socket::announcedLength(lengthField_)) + " bytes";
    } else {
        entry.message = "Request refused: its command line ended after " +
                        std::to_string(lineReceived_) + " of " + std::to_string(line_.size()) +
                        " bytes";
    }
    entry.result = "refused";
    entry.origin = origin_;
    entry.finished = std::chrono::steady_clock::now();
    // Nothing was printed for such a request before there was a journal, and nothing is now.
    sendJournalEntry(entry);
}

PendingRequest::State PendingRequest::readAvailable() {
    for (;;) {
        const bool inLength = lengthFieldReceived_ < sizeof lengthField_;
        // While the length is incomplete, the read takes a short line with it, so that most
        // requests cost one read; a longer line is read straight into its string.
        unsigned char early[sizeof lengthField_ + kShortLine];
        const size_t missing = sizeof lengthField_ - lengthFieldReceived_;
        void* into =
            inLength ? static_cast<void*>(early) : static_cast<void*>(line_.data() + lineReceived_);
        const size_t wanted = inLength ? missing + kShortLine : line_.size() - lineReceived_;
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
        if (!inLength) {
            lineReceived_ += static_cast<size_t>(got);
        } else if (!takeEarly(early, static_cast<size_t>(got))) {
            return State::refused;
        } else if (lengthFieldReceived_ < sizeof lengthField_) {
            continue;
        }
        if (lineReceived_ == line_.size()) {
            origin_.arrived = std::chrono::steady_clock::now();
            complete_ = true;
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
    if (!sizeLine()) {
        return false;
    }
    // Whatever came after the line is dropped: a connection carries one request.
    lineReceived_ = std::min(count - field, line_.size());
    std::memcpy(line_.data(), bytes + field, lineReceived_);
    return true;
}

bool PendingRequest::sizeLine() {
    const long length = domain_socket::announcedLength(lengthField_);
    // Nothing is allocated before the length has passed reallocCallback's limit.
    return length > 0 && reallocCallback(&line_, length) != nullptr;
}

void runRequest(PendingRequest request, const CommandsFactory& factory, ReplyCarrier& carrier) {
    domain_socket::DeferredSends deferred(request.descriptor());
    const RequestOrigin origin = request.origin();
    executeCommand(factory, request.line(), request.takeSocket(), &origin);
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
