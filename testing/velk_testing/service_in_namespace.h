#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk_testing/running_child.h"

namespace velk::testing {

// Moves this process into a private mount namespace (enterPrivateMountNamespace, keeping the
// build tree that holds `binary` reachable) whose /etc/group holds a "quorvath" group when
// `withGroup` is set and none otherwise, so that the service's socket lives on the namespace's
// own /tmp, never the machine's. Call while the process has a single thread, as root. Returns
// false with the reason in `*error`.
bool enterServiceNamespace(const std::string& binary, std::string* error, bool withGroup = true);

// Starts `binary` (the built elevard) without arguments as `service`, with `extraEnv`
// ("NAME=value") added to its environment, and waits up to 30 s for its start-up line.
// Returns false with the reason in `*error`.
bool startService(const std::string& binary, const std::vector<std::string>& extraEnv,
                  RunningChild* service, std::string* error);

// A connection to the Unix socket at `path`, retried for up to 30 s while the service is still
// setting up; an invalid one when nobody listens by then. The connect, while the backlog is
// full, and each send and receive on the connection time out after 30 s, which only guards
// against a hang.
kit::ScopedFd connectWhenListening(const std::string& path);

// Everything `fd` delivers until the peer closes; "<still open>" when the hang guard of
// connectWhenListening runs out first.
std::string readUntilClosed(int fd);

// True while the peer of `fd` holds the connection open without having sent anything more;
// never blocks.
bool stillOpen(int fd);

// Sends `line` as the request of a new connection to `path` and returns the reply's bytes up to
// the close: "<no connection>" when nobody listens, "<not sent>" when the send failed, else
// what readUntilClosed returns.
std::string exchangeLine(const std::string& path, const std::string& line);

// Sends `service`, listening on `path`, the line "nosuch `name`", which no command takes, and
// waits up to 30 s for the line it prints for it: a mark in its output between what came before
// and what comes after. Returns that line with its newline, or "" when a reply came or the line
// did not show.
std::string awaitMarker(RunningChild* service, const std::string& path, const std::string& name);

// A Unix stream socket listening at `path` (mode 0777) whose creator is the user `uid`, as
// SO_PEERCRED shows it to whoever connects: a local user squatting on a socket path. Only the
// calling thread takes the uid, for the calls that make the socket; it needs root and keeps
// root afterwards. Invalid when any step failed.
kit::ScopedFd listenAs(const std::string& path, uid_t uid);

// Calls `condition` every 10 ms until it holds, for 30 s at most; returns its last answer.
bool eventually(const std::function<bool()>& condition);

// Opens a connection to `path` for each of `messages` and sends each connection its message a
// byte at a time, one byte every `interval` (an empty message: nothing at all), until the
// service has closed them all, for 30 s at most. `meanwhile` runs once every connection has had
// its first byte. Returns "" when the service closed each connection at its deadline: not
// before 9.5 s after it was opened (the deadline counts from the accept, which follows the
// connect), not before `meanwhile` returned, and before its whole message had arrived; else a
// line for each connection that it did not.
std::string trickleUntilClosed(const std::string& path, const std::vector<std::string>& messages,
                               std::chrono::milliseconds interval,
                               const std::function<void()>& meanwhile = {});

}  // namespace velk::testing
