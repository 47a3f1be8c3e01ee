#pragma once

// Shared by the fuzz targets.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Stops the run when a property fails, so that libFuzzer keeps the input as a crash.
inline void fuzzCheck(bool holds, const char* property, const std::string& detail = {}) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n%s\n", property, detail.c_str());
        std::abort();
    }
}

// The pieces of `text` between the `separator`s, empty ones included.
inline std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    for (;;) {
        std::size_t end = text.find(separator);
        pieces.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            return pieces;
        }
        text.remove_prefix(end + 1);
    }
}

// The input's lines.
inline std::vector<std::string> inputLines(const unsigned char* data, std::size_t size) {
    return split(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
}
