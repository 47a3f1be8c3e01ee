#pragma once

#include <unistd.h>

#include <utility>

namespace velk::kit {

// Owns one file descriptor and closes it on destruction. Move-only; -1 means "none".
// close() is never retried on EINTR: on Linux the descriptor is released even then.
class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() { reset(); }

    ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives up ownership without closing; returns the descriptor.
    int release() { return std::exchange(fd_, -1); }

    // Closes the owned descriptor (its close error is deliberately ignored: nothing is left to
    // undo) and takes `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace velk::kit
