#include "velk/system_commands/path_forms.h"

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <vector>

namespace velk::system_commands::detail {
namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

std::deque<std::string> splitComponents(std::string_view path) {
    std::deque<std::string> parts;
    std::size_t pos = 0;
    while (pos < path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > pos) {
            parts.emplace_back(path.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return parts;
}

// `path` is "" for the root or "/a/b"; removes its last component.
void dropLastComponent(std::string& path) {
    if (!path.empty()) {
        path.erase(path.rfind('/'));
    }
}

std::optional<std::string> readLink(const std::string& path) {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        }
        // The target may have been cut: try again with room to spare.
        buffer.resize(buffer.size() * 2);
    }
}

bool isInsideProc(const std::string& path) {
    return path == "/proc" || path.rfind("/proc/", 0) == 0;
}

}  // namespace

std::string normalizePath(std::string_view path) {
    std::string normalized;
    for (const std::string& part : splitComponents(path)) {
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            dropLastComponent(normalized);
            continue;
        }
        normalized += '/';
        normalized += part;
    }
    return normalized.empty() ? "/" : normalized;
}

std::optional<std::string> resolveLinks(std::string_view path) {
    std::deque<std::string> pending = splitComponents(path);
    std::string resolved;  // "" is the root, otherwise "/a/b"
    int linksFollowed = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            // `resolved` holds no links, so its parent is the kernel's parent too.
            dropLastComponent(resolved);
            continue;
        }
        std::string candidate = resolved + "/" + part;
        struct stat status {};
        // A component that cannot be examined counts as missing and is taken as written.
        if (::lstat(candidate.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            resolved = std::move(candidate);
            continue;
        }
        if (++linksFollowed > kMaxLinks || isInsideProc(candidate)) {
            return std::nullopt;
        }
        std::optional<std::string> target = readLink(candidate);
        if (!target) {
            return std::nullopt;
        }
        std::deque<std::string> targetParts = splitComponents(*target);
        pending.insert(pending.begin(), targetParts.begin(), targetParts.end());
        if (!target->empty() && target->front() == '/') {
            resolved.clear();
        }
    }
    return resolved.empty() ? "/" : resolved;
}

}  // namespace velk::system_commands::detail
