#include "elevard/protocol.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "elevard/wire/number_word.h"

namespace elevard {
namespace {

bool isWhitespace(char c) {
    // The service splits words with isspace in the "C" locale.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool holdsWhitespace(const std::string& word) {
    for (char c : word) {
        if (isWhitespace(c)) {
            return true;
        }
    }
    return false;
}

std::int64_t int64At(const std::string& bytes, size_t offset) {
    std::int64_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The end of a listing entry's fields after its path: at `comma`, ",SIZE,F," with SIZE a
// decimal number (maybe negative) and F 0 or 1. Returns the position after the entry, or 0
// when the text at `comma` is not that.
size_t entryFieldsEnd(const std::string& text, size_t comma, std::int64_t* size,
                      bool* isDirectory) {
    size_t digits = comma + 1;
    if (digits < text.size() && text[digits] == '-') {
        ++digits;
    }
    size_t end = digits;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) {
        ++end;
    }
    if (end == digits || end + 2 >= text.size() || text[end] != ',' ||
        (text[end + 1] != '0' && text[end + 1] != '1') || text[end + 2] != ',') {
        return 0;
    }
    *size = std::strtoll(text.c_str() + comma + 1, nullptr, 10);
    *isDirectory = text[end + 1] == '1';
    return end + 3;
}

}  // namespace

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& command : kCommands) {
        if (name == command.name || (command.alias != nullptr && name == command.alias)) {
            return &command;
        }
    }
    return nullptr;
}

std::string usage(const CommandInfo& command) {
    std::string text;
    for (int i = 0; i < static_cast<int>(kMaxArguments) && command.arguments[i] != nullptr; ++i) {
        std::string name = command.arguments[i];
        if (name.rfind("opt_", 0) == 0 && name.size() > 4) {
            name.erase(0, 4);
        }
        text += (text.empty() ? "" : " ") +
                (i < command.requiredArguments ? "<" + name + ">" : "[" + name + "]");
    }
    return text;
}

bool integerReplySucceeded(const CommandInfo& command, const std::vector<std::string>& words,
                           std::int64_t value) {
    if (command.success != SuccessRule::equalsAskedFor) {
        return integerSucceeded(command.success, value);
    }
    // The service answers its own soft limit when it could not set the one asked for.
    std::optional<int> asked =
        words.size() > 2 ? elevard::wire::leadingNumber(words[2]) : std::nullopt;
    return asked.has_value() && integerSucceeded(command.success, value, *asked);
}

std::optional<std::string> joinCommandLine(const std::vector<std::string>& words,
                                           std::string* error) {
    if (words.empty() || words[0].empty() || holdsWhitespace(words[0])) {
        *error = "the command name must be one non-empty word without whitespace";
        return std::nullopt;
    }
    std::string line = words[0];
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        bool quoted = word.empty() || holdsWhitespace(word);
        bool hasQuote = word.find('\'') != std::string::npos;
        if (quoted && hasQuote) {
            *error = "argument " + std::to_string(i) + " (" + word +
                     ") holds both whitespace and a single quote, which the service's command "
                     "syntax cannot carry";
            return std::nullopt;
        }
        if (!quoted && word[0] == '\'') {
            *error = "argument " + std::to_string(i) + " (" + word +
                     ") begins with a single quote, which the service would take as quoting";
            return std::nullopt;
        }
        line += ' ';
        line += quoted ? "'" + word + "'" : word;
    }
    return line;
}

std::optional<FileStatus> decodeStatus(const std::string& payload) {
    if (payload.size() != 16) {
        return std::nullopt;
    }
    std::int32_t type;
    std::memcpy(&type, payload.data() + 4, sizeof type);
    return FileStatus{payload[0] != 0, static_cast<FileType>(type), int64At(payload, 8)};
}

std::optional<std::vector<ListEntry>> decodeList(const std::string& payload) {
    std::vector<ListEntry> entries;
    size_t start = 0;
    while (start < payload.size()) {
        ListEntry entry;
        size_t next = 0;
        for (size_t comma = payload.find(',', start); comma != std::string::npos && next == 0;
             comma = payload.find(',', comma + 1)) {
            next = entryFieldsEnd(payload, comma, &entry.size, &entry.isDirectory);
            entry.path = payload.substr(start, comma - start);
        }
        if (next == 0) {
            return std::nullopt;
        }
        entries.push_back(std::move(entry));
        start = next;
    }
    return entries;
}

std::optional<MemoryModules> decodeMemoryModules(const std::string& payload) {
    std::string texts[2];
    size_t offset = 0;
    for (std::string& text : texts) {
        if (payload.size() - offset < 8) {
            return std::nullopt;
        }
        std::int64_t length = int64At(payload, offset);
        offset += 8;
        if (length < 0 || static_cast<std::uint64_t>(length) > payload.size() - offset) {
            return std::nullopt;
        }
        text = payload.substr(offset, static_cast<size_t>(length));
        offset += static_cast<size_t>(length);
    }
    if (offset != payload.size()) {
        return std::nullopt;
    }
    return MemoryModules{texts[0], texts[1]};
}

}  // namespace elevard
