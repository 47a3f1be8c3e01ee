#include "velk/system_commands/line_text.h"

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

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xc0) == 0x80;
}

// The length of the valid UTF-8 sequence of two to four bytes that starts `text` (overlong forms
// and surrogates are not valid), or 0 when none does; its code point goes to `*codePoint`.
std::size_t utf8Sequence(std::string_view text, char32_t* codePoint) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t lowest = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, lowest = 0x80, *codePoint = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, lowest = 0x800, *codePoint = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, lowest = 0x10000, *codePoint = lead & 0x07;
    }
    if (length == 0 || text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!isContinuation(byte)) {
            return 0;
        }
        *codePoint = (*codePoint << 6) | (byte & 0x3f);
    }
    const bool surrogate = *codePoint >= 0xd800 && *codePoint <= 0xdfff;
    return *codePoint < lowest || *codePoint > 0x10ffff || surrogate ? 0 : length;
}

// True for the characters that end a line or steer a terminal: C1 controls and the Unicode line
// and paragraph separators.
bool isWideControl(char32_t codePoint) {
    return (codePoint >= 0x80 && codePoint <= 0x9f) || codePoint == 0x2028 || codePoint == 0x2029;
}

void appendHex(std::string* out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    *out += "\\x";
    *out += kDigits[byte >> 4];
    *out += kDigits[byte & 0xf];
}

}  // namespace

std::string escapeControls(std::string_view text, bool keepFinalNewline) {
    const bool keepLast = keepFinalNewline && !text.empty() && text.back() == '\n';
    if (keepLast) {
        text.remove_suffix(1);
    }
    std::string escaped;
    escaped.reserve(text.size() + 1);
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (isAsciiControl(text[i])) {
                appendHex(&escaped, byte);
            } else {
                escaped += text[i];
            }
            ++i;
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = utf8Sequence(text.substr(i), &codePoint);
        if (length == 0) {
            appendHex(&escaped, byte);
            ++i;
            continue;
        }
        for (std::size_t end = i + length; i < end; ++i) {
            if (isWideControl(codePoint)) {
                appendHex(&escaped, static_cast<unsigned char>(text[i]));
            } else {
                escaped += text[i];
            }
        }
    }
    if (keepLast) {
        escaped += '\n';
    }
    return escaped;
}

}  // namespace velk::system_commands::detail
