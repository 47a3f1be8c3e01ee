#include "velk/system_commands/shell_text.h"

namespace velk::system_commands::detail {

std::string escapeSingleQuotes(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        if (c == '\'') {
            escaped += "'\\''";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string quoted(const std::string& value) {
    return "'" + escapeSingleQuotes(value) + "'";
}

std::string escapeControls(std::string_view text, bool keepFinalNewline) {
    const bool keepLast = keepFinalNewline && !text.empty() && text.back() == '\n';
    if (keepLast) {
        text.remove_suffix(1);
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size() + 1);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            escaped += "\\x";
            escaped += kDigits[byte >> 4];
            escaped += kDigits[byte & 0xf];
        } else {
            escaped += c;
        }
    }
    if (keepLast) {
        escaped += '\n';
    }
    return escaped;
}

}  // namespace velk::system_commands::detail
