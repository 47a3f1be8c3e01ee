#pragma once

// Calls the elevard service from a C++ program: one typed call per command, over the service's
// Unix domain socket. Each call makes its own connection, sends one command line and reads the
// one reply the command has, so a Client may be used from several threads at once. Link with
// libelevard_client; the headers need nothing beyond the C++ standard library and the C library.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "elevard/command_table.h"
#include "elevard/file_descriptor.h"
#include "elevard/reply.h"

namespace elevard {

// The socket on which the service listens.
inline constexpr const char* kDefaultSocketPath = kSocketPath;

// How long one call may take by default: a mount tries up to ten option sets, each of which
// may wait about a minute for an unreachable server.
inline constexpr std::chrono::seconds kDefaultTimeout{600};

// The service took the command line and closed the connection. Commands that send no reply
// show their outcome only on the service's own output.
struct Delivered {};

// A connection target and a timeout. Copyable; every call is independent and thread-safe.
class Client {
public:
    explicit Client(std::string socketPath = kDefaultSocketPath,
                    std::chrono::milliseconds timeout = kDefaultTimeout);

    // True when the directory exists afterwards (parents are created).
    Reply<bool> makeDirectory(const std::string& path) const;
    // True when nothing is left at the path (a missing path too).
    Reply<bool> removePath(const std::string& path) const;
    Reply<bool> changeOwner(const std::string& path, int uid, int gid, bool recursive) const;
    // `user` and `password` are optional; a password cannot be empty or begin with a quote.
    Reply<MountCode> mount(const std::string& url, const std::string& path,
                           const std::optional<std::string>& user = std::nullopt,
                           const std::optional<std::string>& password = std::nullopt) const;
    Reply<bool> rename(const std::string& source, const std::string& target) const;
    // The file opened by the service with the system's open flags `flags` (66 is read-write
    // and create), owned by the caller. A file the service cannot open gives
    // closedWithoutReply.
    Reply<FileDescriptor> open(const std::string& path, int flags) const;
    // Bytes; 0 or -1 when the service could not tell.
    Reply<std::int64_t> freeSpace(const std::string& path) const;
    Reply<std::int64_t> totalSpace(const std::string& path) const;
    Reply<bool> exists(const std::string& path) const;
    Reply<FileStatus> stat(const std::string& path) const;
    // Empty for an empty directory and for one that cannot be read.
    Reply<std::vector<ListEntry>> list(const std::string& path) const;
    // "/dev/NAME", or empty when no block device holds the path.
    Reply<std::string> devicePath(const std::string& path) const;
    // Bytes; -1 when the path is missing.
    Reply<std::int64_t> size(const std::string& path) const;
    // The open-file limit of process `pid` is `value` exactly when the reply equals `value`;
    // otherwise the reply is the service's own soft limit (or -1).
    Reply<int> setFdLimit(int pid, int value) const;
    // Empty when the service could not read the inventory.
    Reply<std::optional<MemoryModules>> dmiInfo() const;
    Reply<UnmountCode> unmount(const std::string& path) const;
    // Runs dpkg -i on `debPath` as root on the service's side; whether it worked shows only
    // on the service's output.
    Reply<Delivered> install(const std::string& debPath, bool forceConflicts) const;
    // The service prints its help on its own output.
    Reply<Delivered> help() const;

    // One exchange with a command line the caller built (see joinCommandLine in
    // elevard/protocol.h), for each shape of reply: one integer message, one buffer message
    // (its payload; empty for a length of 0), one descriptor, or every byte until the
    // service closes (empty when it sent nothing).
    Reply<std::int64_t> requestInteger(const std::string& line) const;
    Reply<std::string> requestBuffer(const std::string& line) const;
    Reply<FileDescriptor> requestDescriptor(const std::string& line) const;
    Reply<std::string> requestAll(const std::string& line) const;

    const std::string& socketPath() const { return socketPath_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

private:
    std::string socketPath_;
    std::chrono::milliseconds timeout_;
};

}  // namespace elevard
