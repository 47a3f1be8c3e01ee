#include "elevard/wire/replies.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace elevard::wire {
namespace {

std::int64_t int64At(const std::string& bytes, size_t offset) {
    std::int64_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <typename T>
void append(std::string* bytes, T value) {
    char raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    bytes->append(raw, sizeof raw);
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

std::string encodeInteger(std::int64_t value) {
    std::string payload;
    append(&payload, value);
    return payload;
}

std::optional<std::int64_t> decodeInteger(const std::string& payload) {
    if (payload.size() != sizeof(std::int64_t)) {
        return std::nullopt;
    }
    return int64At(payload, 0);
}

std::string encodeStatus(const FileStatus& status) {
    std::string payload(4, '\0');
    payload[0] = status.exists ? 1 : 0;
    append(&payload, static_cast<std::int32_t>(status.type));
    append(&payload, status.size);
    return payload;
}

std::optional<FileStatus> decodeStatus(const std::string& payload) {
    if (payload.size() != 16) {
        return std::nullopt;
    }
    std::int32_t type;
    std::memcpy(&type, payload.data() + 4, sizeof type);
    return FileStatus{payload[0] != 0, static_cast<FileType>(type), int64At(payload, 8)};
}

void appendListEntry(std::string* payload, std::string_view path, std::int64_t size,
                     bool isDirectory) {
    *payload += path;
    *payload += ',';
    *payload += std::to_string(size);
    *payload += isDirectory ? ",1," : ",0,";
}

std::string encodeList(const std::vector<ListEntry>& entries) {
    std::string payload;
    for (const ListEntry& entry : entries) {
        appendListEntry(&payload, entry.path, entry.size, entry.isDirectory);
    }
    return payload;
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

std::string encodeMemoryModules(const MemoryModules& modules) {
    std::string payload;
    for (const std::string* text : {&modules.partNumbers, &modules.serialNumbers}) {
        append(&payload, static_cast<std::int64_t>(text->size()));
        payload += *text;
    }
    return payload;
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

std::string encodeMessage(const std::string& payload) {
    std::string stream;
    append(&stream, static_cast<std::int64_t>(payload.size()));
    return stream + payload;
}

std::optional<std::string> decodeMessage(const std::string& stream) {
    if (stream.size() < 8) {
        return std::nullopt;
    }
    std::int64_t length = int64At(stream, 0);
    if (length < 0 || static_cast<std::uint64_t>(length) != stream.size() - 8) {
        return std::nullopt;
    }
    return stream.substr(8);
}

}  // namespace elevard::wire
