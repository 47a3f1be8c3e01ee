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

namespace domain_socket = elevard::wire;

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
    } else if (announced_ == 0) {
        entry.message = "Request refused: a command line of " +
                        std::to_string(domain_socket::announcedLength(lengthField_)) + " bytes";
    } else {
        entry.message = "Request refused: its command line ended after " +
                        std::to_string(line_.size()) + " of " + std::to_string(announced_) +
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
        ssize_t got;
        bool taken = true;
        if (lengthFieldReceived_ < sizeof lengthField_) {
            // The read takes a short line with its length field, so that most requests cost one.
            unsigned char early[sizeof lengthField_ + kShortLine];
            got = recv(socket_.get(), early,
                       sizeof lengthField_ - lengthFieldReceived_ + kShortLine, MSG_DONTWAIT);
            taken = got <= 0 || takeEarly(early, static_cast<size_t>(got));
        } else {
            // Room for as much again as has arrived: the line grows with its bytes, never ahead
            // of them to the length announced.
            const size_t have = line_.size();
            const size_t room = std::min(announced_ - have, std::max(have, kShortLine));
            if (!resizeLine(have + room)) {
                return State::refused;
            }
            got = recv(socket_.get(), line_.data() + have, room, MSG_DONTWAIT);
            const int error = errno;
            line_.resize(have + (got > 0 ? static_cast<size_t>(got) : 0));  // shrinks: no throw
            errno = error;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return State::reading;
        }
        if (got <= 0 || !taken) {
            return State::refused;
        }
        if (lengthFieldReceived_ == sizeof lengthField_ && line_.size() == announced_) {
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
    const long length = domain_socket::announcedLength(lengthField_);
    if (length <= 0 || length > kMaxCommandLineLength) {
        return false;
    }
    announced_ = static_cast<size_t>(length);
    // Whatever came after the line is dropped: a connection carries one request.
    const size_t taken = std::min(count - field, announced_);
    if (!resizeLine(taken)) {
        return false;
    }
    std::memcpy(line_.data(), bytes + field, taken);
    return true;
}

bool PendingRequest::resizeLine(size_t size) {
    try {
        line_.resize(size);
    } catch (const std::exception&) {
        // bad_alloc: the connection is closed instead of the service.
        return false;
    }
    return true;
}

void runRequest(PendingRequest request, const CommandsFactory& factory, ReplyCarrier& carrier) {
    const RequestOrigin origin = request.origin();
    executeCommand(factory, request.line(), request.takeSocket(), &origin, &carrier);
}

std::function<void()> makeConnectionTask(PendingRequest request, const CommandsFactory& factory,
                                         ReplyCarrier& carrier) {
    // A std::function must be copyable, so the move-only request travels in a shared_ptr; the
    // worker runs the task once.
    auto shared = std::make_shared<PendingRequest>(std::move(request));
    return [shared, &factory, &carrier] { runRequest(std::move(*shared), factory, carrier); };
}
