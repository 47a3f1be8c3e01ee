#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace velk::testing {

// The descriptors open in process `pid`, each with what it refers to ("socket:[...]", a path).
// Empty when the process cannot be examined; a descriptor closed while it is being read shows
// no target.
std::map<int, std::string> descriptorsOf(pid_t pid);

// How many descriptors of `pid` a request could leave behind: all but the event descriptors
// (eventfd, epoll), which the service's workers make when they start to watch, at a moment a
// test cannot choose.
size_t requestDescriptorCount(pid_t pid);

// The value of the "`field`:" line of a /proc file such as status or fdinfo/<n>, with the
// blanks that follow the colon; empty when the file or the line is missing.
std::string procField(const std::string& file, const std::string& field);

// A "kB" line of /proc/`pid`/status (VmRSS, RssAnon, ...) in KiB, or -1 when it cannot be
// read. Never throws.
long statusKiB(pid_t pid, const std::string& field);

// The resident set size of process `pid` in KiB (VmRSS), or -1 when it cannot be read.
inline long residentKiB(pid_t pid) {
    return statusKiB(pid, "VmRSS");
}

}  // namespace velk::testing
