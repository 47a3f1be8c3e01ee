#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>

namespace elevard::wire {

// A numeric word of a command line read as std::stoi reads it, but without exceptions:
// leading whitespace and a sign allowed, decimal digits up to the first other character
// ("12abc" is 12). Empty without a leading number or outside the 32-bit signed range. Shared
// by the service and its clients so that both read a number the same way; thread-safe.
inline std::optional<int> leadingNumber(const std::string& word) {
    const char* start = word.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

}  // namespace elevard::wire
