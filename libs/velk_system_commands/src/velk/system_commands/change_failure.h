#pragma once

#include <string>

// The failure texts of the changes by path (chown, mkdir -p, rm -rf, rename, and the move of a
// new mount onto its folder). Pure and thread-safe.
namespace velk::system_commands::detail {

// The failures by which a change says it left an entry alone on purpose; below zero, so that
// no errno (EXDEV from a rename, say) is taken for one.
constexpr int kOtherMount = -1;  // the root of another mount: nothing below it is touched
constexpr int kLinkedFile = -2;  // a non-folder with more than one link

// A change as its failure texts show it: what was asked, as its command line would read
// ("rm -rf /tmp/x"), and the path it was given, to which the entries below are joined.
struct ShownChange {
    std::string operation;
    std::string path;
};

// The failure text of a change: what was asked, as its command line would read, and the
// system's words for `error`: "<operation>: <reason>".
std::string changeFailed(const std::string& operation, int error);
// The same with the reason given as text.
std::string changeFailed(const std::string& operation, const std::string& reason);

// The failure text of a change that failed: on an entry it left alone on purpose (kOtherMount,
// kLinkedFile), the entry `below` the path shown ("" for the path itself) and why; otherwise
// as changeFailed.
std::string changeFailedAt(const ShownChange& shown, const std::string& below, int error);

}  // namespace velk::system_commands::detail
