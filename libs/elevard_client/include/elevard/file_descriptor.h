#pragma once

// The descriptor type of the client library: it owns one open file descriptor and closes it,
// so a descriptor received from the service is never leaked. Needs only the C library.

#include <unistd.h>

#include <utility>

namespace elevard {

// Owns one file descriptor and closes it when destroyed or reset. Move-only; -1 means none.
// Not synchronised: one thread uses an object at a time. close() is not retried on EINTR: on
// Linux the descriptor is released even then, and its error is ignored (nothing is left to
// undo).
class FileDescriptor {
public:
    FileDescriptor() = default;
    // Takes ownership of `fd` (-1 for none).
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }

    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // The descriptor, still owned by this object; -1 when none.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives up ownership without closing: the caller closes the returned descriptor.
    int release() { return std::exchange(fd_, -1); }

    // Closes the owned descriptor, if any, and takes `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace elevard
