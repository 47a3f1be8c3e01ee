#pragma once

// What each call of the client library brings back: the decoded reply, or why there is none.
// A value type with no shared state.

#include <optional>
#include <string>
#include <utility>

namespace elevard {

// Why a call brought back no reply.
enum class ClientError {
    notConnected,        // no connection was made: nothing was sent and nothing ran
    unsendable,          // an argument the command line cannot carry; nothing was sent
    closedWithoutReply,  // the service closed without replying: an unknown command, a missing
                         // or malformed argument (the service's output says which), or, for
                         // open, a file the service could not open
    malformedReply,      // the reply was cut short or not of the command's shape
    timedOut,            // no whole reply within the timeout; the command may have run
    untrustedListener,   // the socket is served by a user other than root or this process's
                         // effective user (its uid is in the message): nothing was sent
};

// What one call brought back: the decoded reply, or why there is none.
template <typename T>
class Reply {
public:
    Reply(T value) : value_(std::move(value)) {}
    static Reply failure(ClientError error, std::string message) {
        Reply reply;
        reply.error_ = error;
        reply.message_ = std::move(message);
        return reply;
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    // The decoded reply; throws std::bad_optional_access when !ok().
    const T& value() const& { return value_.value(); }
    T& value() & { return value_.value(); }
    T&& value() && { return std::move(value_.value()); }

    // Why there is no reply, and a sentence for a person; only when !ok().
    ClientError error() const { return error_; }
    const std::string& message() const { return message_; }

private:
    Reply() = default;

    std::optional<T> value_;
    ClientError error_ = ClientError::notConnected;
    std::string message_;
};

}  // namespace elevard
