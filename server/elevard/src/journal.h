#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <string>

// Who sent a request over the socket, and when its whole command line had arrived.
struct RequestOrigin {
    // The caller's pid, uid and gid as the kernel recorded them at connect (SO_PEERCRED); pid 0
    // and ids of -1 when they could not be read.
    ucred caller{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    std::chrono::steady_clock::time_point arrived;
};

// The credentials of the peer of the connected Unix socket `socket`, or the unknown ones of
// RequestOrigin when they cannot be read. Thread-safe.
ucred peerCredentials(int socket);

// Whether standard output is the journal's stream: systemd names its device and inode in
// JOURNAL_STREAM ("device:inode"), and they must be those of descriptor 1. Decided on the
// first call and kept; thread-safe.
bool standardOutputIsJournal();

// What the journal gets for one request.
struct JournalEntry {
    std::string message;  // the outcome line, without its final newline
    bool ok = false;      // priority 6 (informational) when set, 5 (notice) otherwise
    std::string command;  // the first word of the line; none for a line never received
    std::string result;   // the outcome word: "ok", "execution failed", "not found", ...
    RequestOrigin origin;
    std::chrono::steady_clock::time_point finished;
};

// Sends `entry` to the journal with the fields MESSAGE, PRIORITY, OBJECT_PID (the caller's pid,
// from which journald adds the caller's program and unit), ELEVARD_CALLER_UID,
// ELEVARD_CALLER_GID, ELEVARD_COMMAND (when there is one), ELEVARD_RESULT and ELEVARD_DURATION_USEC
// (from arrival to finish). Returns false when the journal did not take it. Thread-safe.
bool sendJournalEntry(const JournalEntry& entry);

// The first word of `line`: its bytes up to the first blank, tab or line break.
std::string firstWord(const std::string& line);
