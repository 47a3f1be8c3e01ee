#pragma once

#include <string>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk_testing/running_child.h"

namespace velk::testing {

// Moves this process into a private mount namespace (enterPrivateMountNamespace, keeping the
// build tree that holds `binary` reachable) whose /etc/group holds a "quorvath" group, so that
// the service's socket lives on the namespace's own /tmp, never the machine's. Call while the
// process has a single thread, as root. Returns false with the reason in `*error`.
bool enterServiceNamespace(const std::string& binary, std::string* error);

// Starts `binary` (the built elevard) without arguments as `service`, with `extraEnv`
// ("NAME=value") added to its environment, and waits up to 30 s for its start-up line.
// Returns false with the reason in `*error`.
bool startService(const std::string& binary, const std::vector<std::string>& extraEnv,
                  RunningChild* service, std::string* error);

// A connection to the Unix socket at `path`, retried for up to 30 s while the service is still
// setting up; an invalid one when nobody listens by then. Its receives time out after 30 s,
// which only guards against a hang.
kit::ScopedFd connectWhenListening(const std::string& path);

// Everything `fd` delivers until the peer closes; "<still open>" when the hang guard of
// connectWhenListening runs out first.
std::string readUntilClosed(int fd);

// True while the peer of `fd` holds the connection open without having sent anything more;
// never blocks.
bool stillOpen(int fd);

}  // namespace velk::testing
