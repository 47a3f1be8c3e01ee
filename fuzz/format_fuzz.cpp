// The failure-text formatter and the shell quoting against small models of their own.
//
// Input: lines. The first is the pattern, each further line (at most four) an argument; one
// written "#<decimal>" is passed as a number. Every line is also quoted for the shell.

#include <charconv>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "velk/system_commands/line_text.h"

namespace {

using velk::system_commands::detail::escapeSingleQuotes;
using velk::system_commands::detail::format;

struct Arg {
    std::variant<std::string, long> value;

    std::string text() const {
        const long* number = std::get_if<long>(&value);
        return number != nullptr ? std::to_string(*number) : std::get<std::string>(value);
    }
};

std::ostream& operator<<(std::ostream& out, const Arg& arg) {
    std::visit([&out](const auto& value) { out << value; }, arg.value);
    return out;
}

Arg parseArg(const std::string& line) {
    long number = 0;
    const char* end = line.data() + line.size();
    if (line.size() > 1 && line[0] == '#' &&
        std::from_chars(line.data() + 1, end, number).ptr == end) {
        return {number};
    }
    return {line};
}

// Each "%" not preceded by a backslash takes the next argument while one is left; every other
// character is copied.
std::string modelFormat(const std::string& pattern, const std::vector<Arg>& args) {
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const bool escaped = i > 0 && pattern[i - 1] == '\\';
        if (pattern[i] == '%' && !escaped && next < args.size()) {
            out += args[next++].text();
        } else {
            out += pattern[i];
        }
    }
    return out;
}

std::string formatted(const std::string& pattern, const std::vector<Arg>& a) {
    switch (a.size()) {
        case 0:
            return format(pattern);
        case 1:
            return format(pattern, a[0]);
        case 2:
            return format(pattern, a[0], a[1]);
        case 3:
            return format(pattern, a[0], a[1], a[2]);
        default:
            return format(pattern, a[0], a[1], a[2], a[3]);
    }
}

// How the shell reads `text` as one word made of single-quoted parts and backslash escapes;
// nullopt when anything else stands outside the quotes.
std::optional<std::string> shellWord(const std::string& text) {
    std::string word;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\'') {
            std::size_t close = text.find('\'', i + 1);
            if (close == std::string::npos) {
                return std::nullopt;
            }
            word += text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            word += text[i + 1];
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return word;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<std::string> lines = inputLines(data, size);
    if (lines.empty()) {
        return 0;
    }
    std::vector<Arg> args;
    for (std::size_t i = 1; i < lines.size() && args.size() < 4; ++i) {
        args.push_back(parseArg(lines[i]));
    }
    fuzzCheck(formatted(lines[0], args) == modelFormat(lines[0], args),
              "format fills placeholders as the model does", lines[0]);
    for (const std::string& line : lines) {
        fuzzCheck(shellWord("'" + escapeSingleQuotes(line) + "'") == line,
                  "a quoted value reads back as one shell word", line);
    }
    return 0;
}
