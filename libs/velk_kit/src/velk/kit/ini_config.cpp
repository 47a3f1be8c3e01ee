#include "velk/kit/ini_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "velk/kit/debug.h"

namespace velk::kit {
namespace {

constexpr const char* kDefaultIniDir = "/etc/velk_ini/";

struct BoolParam {
    bool* target;
    bool defaultValue;
    std::string name;
    std::string description;
};

void warn(const std::string& message) {
    std::ostream* out = debug::stream();
    if (out != nullptr) {
        *out << debug::detail::printPrefix(__FILE__) << message << std::endl;
    }
}

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::optional<bool> parseBool(std::string_view value) {
    std::string lower(value);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (lower == "true" || lower == "1" || lower == "yes" || lower == "on") {
        return true;
    }
    if (lower == "false" || lower == "0" || lower == "no" || lower == "off") {
        return false;
    }
    return std::nullopt;
}

}  // namespace

struct IniConfig::Impl {
    std::string fileName;
    std::vector<BoolParam> params;

    // Applies one line of the file; returns an error text for a malformed line, else empty.
    std::string applyLine(std::string_view raw) {
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            return {};
        }
        if (line.front() == '[') {
            return line.back() == ']' ? std::string() : "unterminated section header";
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return "line without '='";
        }
        std::string_view key = trim(line.substr(0, equals));
        std::string_view value = trim(line.substr(equals + 1));
        if (key.empty()) {
            return "line without a key";
        }
        for (BoolParam& param : params) {
            if (param.name != key) {
                continue;
            }
            std::optional<bool> parsed = parseBool(value);
            if (!parsed) {
                return "value of " + param.name + " is not a boolean";
            }
            *param.target = *parsed;
        }
        // Keys nobody registered are left alone: one file may serve several readers.
        return {};
    }
};

IniConfig::IniConfig(const char* fileName) : impl_(std::make_unique<Impl>()) {
    impl_->fileName = fileName == nullptr ? "" : fileName;
}

IniConfig::~IniConfig() = default;

bool IniConfig::regBoolParam(const bool* target, bool defaultValue, const char* name,
                             const char* description) {
    // The caller hands us its member through a pointer to const; the object itself is not
    // const (see the contract in the header), so writing through it on reload is sound.
    impl_->params.push_back(BoolParam{const_cast<bool*>(target), defaultValue,
                                      name == nullptr ? "" : name,
                                      description == nullptr ? "" : description});
    return defaultValue;
}

std::string IniConfig::filePath() const {
    const char* dir = std::getenv("VELK_INI_DIR");
    std::string path = (dir != nullptr && *dir != '\0') ? dir : kDefaultIniDir;
    if (path.back() != '/') {
        path += '/';
    }
    return path + impl_->fileName;
}

void IniConfig::reload() {
    for (BoolParam& param : impl_->params) {
        *param.target = param.defaultValue;
    }
    const std::string path = filePath();
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        if (errno != ENOENT) {
            warn("cannot open " + path + ": " + std::strerror(errno) + "; using defaults");
        }
        return;
    }
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    int lineNumber = 0;
    while ((length = getline(&line, &capacity, file)) >= 0) {
        ++lineNumber;
        std::string error = impl_->applyLine(std::string_view(line, static_cast<size_t>(length)));
        if (!error.empty()) {
            warn(path + ":" + std::to_string(lineNumber) + ": " + error + "; ignored");
        }
    }
    if (std::ferror(file)) {
        warn("cannot read " + path + ": " + std::strerror(errno) + "; the rest keeps defaults");
    }
    std::free(line);
    std::fclose(file);  // read-only stream: nothing to lose if closing fails
}

}  // namespace velk::kit
