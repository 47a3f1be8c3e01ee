#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <string_view>

// Text for lines: failure texts, values single-quoted so that a command line shows each as one
// word, text made safe for a line of output, and the mask of secrets.
// Everything here is pure and thread-safe.
namespace velk::system_commands::detail {

// What a line shows in place of a secret (a password) wherever the secret was given.
inline constexpr const char* kMaskedSecret = "****";

// True for the ASCII control characters: bytes below 0x20, and 0x7f.
constexpr bool isAsciiControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// Writes the rest of `pattern` (from `pos`) once no argument is left: every character is
// copied, "%" and backslashes included.
inline std::string formatImpl(std::string_view pattern, std::size_t pos, std::ostringstream& out) {
    out << pattern.substr(pos);
    return out.str();
}

// Copies `pattern` from `pos` to `out` until a placeholder, writes `current` there and goes on
// with the remaining arguments. A "%" right after a backslash (never the pattern's first
// character) is a literal and uses no argument; the backslash stays.
template <typename Current, typename... Rest>
std::string formatImpl(std::string_view pattern, std::size_t pos, std::ostringstream& out,
                       const Current& current, const Rest&... rest) {
    for (; pos < pattern.size(); ++pos) {
        char c = pattern[pos];
        bool escaped = pos > 0 && pattern[pos - 1] == '\\';
        if (c != '%' || escaped) {
            out << c;
            continue;
        }
        out << current;
        return formatImpl(pattern, pos + 1, out, rest...);
    }
    // The pattern ended while arguments remained: they are dropped.
    return out.str();
}

// Replaces each placeholder "%" of `pattern` with the next argument, printed with a default
// formatted stream. Argument texts are never scanned for placeholders; extra arguments are
// ignored and placeholders without an argument stay as they are. Returns the whole text.
template <typename... Args>
std::string format(const std::string& pattern, const Args&... args) {
    std::ostringstream out;
    return formatImpl(pattern, 0, out, args...);
}

// Returns `value` with every single quote replaced by the four characters '\'' so that it
// stays one word when placed between single quotes in a command line. Everything else is copied
// unchanged.
std::string escapeSingleQuotes(const std::string& value);

// Returns `value` escaped and between single quotes: one word that stands for `value`.
std::string quoted(const std::string& value);

// Returns `text` with every control character written as "\x" and two lowercase hex digits, so
// that a client's text placed in a line of output can neither end that line nor start one that
// reads as the program's own: bytes below 0x20 and 0x7f, each byte of a C1 control (U+0080 to
// U+009F) or of U+2028 and U+2029 in UTF-8, and each byte from 0x80 up that is no part of valid
// UTF-8 (a terminal may take it for a C1 control). With `keepFinalNewline`, one newline that ends
// `text` stays as it is. Every other byte, valid UTF-8 included, is copied unchanged.
std::string escapeControls(std::string_view text, bool keepFinalNewline = false);

}  // namespace velk::system_commands::detail
