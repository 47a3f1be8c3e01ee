#include "json_output.h"

#include <cstddef>

namespace elevard_client {
namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none
// (overlong forms, surrogates and values above U+10FFFF included).
size_t utf8Length(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    size_t length = lead < 0xc2 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : lead < 0xf5 ? 4 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) {
            return 0;
        }
    }
    unsigned char second = byte(at + 1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f)) {
        return 0;
    }
    return length;
}

std::string hexEscape(const char* prefix, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    return std::string(prefix) + digits[byte >> 4] + digits[byte & 0xf];
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += text[i++];
        } else if (byte < 0x20 || byte == 0x7f) {
            json += hexEscape("\\u00", byte);
            ++i;
        } else if (byte < 0x80) {
            json += text[i++];
        } else if (size_t length = utf8Length(text, i); length != 0) {
            json.append(text, i, length);
            i += length;
        } else {
            json += hexEscape("\\udc", byte);
            ++i;
        }
    }
    return json + "\"";
}

std::string jsonMember(const std::string& key, const std::string& value) {
    return jsonString(key) + ":" + value;
}

std::string jsonObject(const std::string& command, const std::string& members) {
    return "{" + jsonMember("command", jsonString(command)) + (members.empty() ? "" : ",") +
           members + "}\n";
}

}  // namespace elevard_client
