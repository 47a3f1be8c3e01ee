#include "velk/system_commands/path_forms.h"

namespace velk::system_commands::detail {

std::vector<std::string> splitComponents(std::string_view path) {
    std::vector<std::string> parts;
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

bool isJudgeablePath(std::string_view path) {
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string_view::npos;
}

std::string normalizePath(std::string_view path) {
    std::string normalized;
    for (const std::string& part : splitComponents(path)) {
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (!normalized.empty()) {
                normalized.erase(normalized.rfind('/'));
            }
            continue;
        }
        normalized += '/';
        normalized += part;
    }
    return normalized.empty() ? "/" : normalized;
}

}  // namespace velk::system_commands::detail
