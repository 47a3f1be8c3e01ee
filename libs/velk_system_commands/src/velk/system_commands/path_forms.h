#pragma once

#include <string>
#include <string_view>
#include <vector>

// The forms of a client's path that the guards judge. Thread-safe; nothing here
// keeps state.
namespace velk::system_commands::detail {

// True when `path` can be judged at all: it is absolute (a relative path would be judged
// against this service's working directory) and holds no NUL byte (the system would see a
// shorter path than the guard).
bool isJudgeablePath(std::string_view path);

// Returns the lexical form of the absolute path `path`: repeated slashes collapsed, "."
// components dropped, each ".." removing the component before it (".." at the root stays at
// the root), no trailing slash. The root itself is "/". The file system is not consulted.
std::string normalizePath(std::string_view path);

// The non-empty components of `path` between its slashes, in order.
std::vector<std::string> splitComponents(std::string_view path);

}  // namespace velk::system_commands::detail
