#pragma once

#include <string>
#include <utility>
#include <variant>

// The one way the system operations report a result: the value, or the text of the failure.
namespace velk::system_commands {

// Why an operation failed, as one line of text fit for a diagnostic line (the callers escape
// what clients sent before printing it).
struct Failure {
    std::string text;
};

// Either the value of an operation or its Failure. A value type: copy and move as the value
// does; no shared state, so it may cross threads like its value.
template <typename T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(Failure failure) : state_(std::in_place_index<1>, std::move(failure.text)) {}

    // True when the operation succeeded and value() may be read.
    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // The value; only when ok().
    const T& value() const& { return std::get<0>(state_); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    // The failure text; empty when ok().
    const std::string& error() const {
        static const std::string kNone;
        return ok() ? kNone : std::get<1>(state_);
    }

private:
    std::variant<T, std::string> state_;
};

// An operation that has no value: success, or the failure text.
template <>
class [[nodiscard]] Outcome<void> {
public:
    Outcome() = default;
    Outcome(Failure failure) : failed_(true), error_(std::move(failure.text)) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return error_; }

private:
    bool failed_ = false;
    std::string error_;
};

// The system's words for the errno value `error` (strerror_r). Thread-safe.
std::string systemError(int error);

}  // namespace velk::system_commands
