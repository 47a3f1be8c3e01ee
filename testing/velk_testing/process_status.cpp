#include "velk_testing/process_status.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>

namespace velk::testing {

std::map<int, std::string> descriptorsOf(pid_t pid) {
    std::map<int, std::string> found;
    std::error_code error;
    std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd", error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        std::error_code ignored;  // a descriptor closed meanwhile just shows no target
        found[std::stoi(entries->path().filename().string())] =
            std::filesystem::read_symlink(entries->path(), ignored).string();
    }
    return found;
}

size_t requestDescriptorCount(pid_t pid) {
    size_t count = 0;
    for (const auto& [fd, target] : descriptorsOf(pid)) {
        count += target != "anon_inode:[eventfd]" && target != "anon_inode:[eventpoll]";
    }
    return count;
}

std::string procField(const std::string& file, const std::string& field) {
    std::ifstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return line.substr(field.size() + 1);
        }
    }
    return {};
}

long statusKiB(pid_t pid, const std::string& field) {
    try {
        // "  1234 kB"
        const std::string value = procField("/proc/" + std::to_string(pid) + "/status", field);
        return value.empty() ? -1 : std::strtol(value.c_str(), nullptr, 10);
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace velk::testing
