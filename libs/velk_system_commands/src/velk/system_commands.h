#pragma once

#include <mutex>
#include <string>

namespace velk {

// Every privileged operation of the service. One instance per process, built by main and
// shared by all worker threads; every member may be called from any thread at once.
class SystemCommands {
public:
    // The socket on which the service listens and to which clients connect.
    static const char* const kDomainSocket;

    SystemCommands() = default;
    SystemCommands(const SystemCommands&) = delete;
    SystemCommands& operator=(const SystemCommands&) = delete;

    // A copy of the text of the most recent failure that any member recorded; empty until the
    // first one. Thread-safe.
    std::string lastError() const;

private:
    void setLastError(std::string text);

    mutable std::mutex lastErrorMutex_;
    std::string lastError_;
};

}  // namespace velk
