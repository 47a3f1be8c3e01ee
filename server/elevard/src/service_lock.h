#pragma once

#include "velk/kit/scoped_fd.h"

// The lock file that keeps one service per host: whoever holds the exclusive lock on it owns
// the socket path and the staging mounts. Root's own folder, so no other user can create,
// replace or hold it.
inline constexpr const char* kServiceLockPath = "/run/elevard.lock";

// Takes the exclusive lock on the file at `path` (created if missing with mode 0600, never
// through a link) without waiting. Returns the descriptor that holds it: the lock lasts until
// that descriptor is closed or the process ends. When another process holds the lock, prints
// "A service already listens on <socket path>" on standard error; on any other failure (a
// link or a file of another owner at `path`, a failing system call) prints the reason; both
// return an invalid descriptor and touch nothing. Not thread-safe; call once at start-up.
velk::kit::ScopedFd takeServiceLock(const char* path = kServiceLockPath);
