#pragma once

#include <string>

// The failure texts of the changes by path (chown, mkdir -p, rm -rf, rename, and the move of a
// new mount onto its folder). Pure and thread-safe.
namespace velk::system_commands::detail {

// The failure text of a change: what was asked, as its command line would read, and the
// system's words for `error`: "<operation>: <reason>".
std::string changeFailed(const std::string& operation, int error);

// The failure text of a change that failed: on an entry it left alone on purpose (kOtherMount,
// kLinkedFile), the entry `below` the path `path` ("" for the path itself) and why; otherwise
// as changeFailed.
std::string changeFailedAt(const std::string& operation, const std::string& path,
                           const std::string& below, int error);

}  // namespace velk::system_commands::detail
