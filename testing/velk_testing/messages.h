#pragma once

// The bytes of the socket framing's messages as they travel on the wire (host byte order), for
// building requests and the replies a test expects.

#include <cstdint>
#include <cstring>
#include <string>

namespace velk::testing {

// The 8-byte length field that opens a buffer message.
inline std::string lengthField(int64_t length) {
    return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

// A buffer message: the length field, then `payload`.
inline std::string bufferMessage(const std::string& payload) {
    return lengthField(static_cast<int64_t>(payload.size())) + payload;
}

// An integer message: a buffer message holding one int64.
inline std::string integerMessage(int64_t value) {
    return lengthField(sizeof value) + lengthField(value);
}

// The 16-byte status record of the stat command: exists as one byte and three zero bytes, the
// type as an int32, the size as an int64.
inline std::string statRecord(bool exists, int32_t type, int64_t size) {
    std::string record(16, '\0');
    record[0] = exists ? 1 : 0;
    std::memcpy(record.data() + 4, &type, sizeof type);
    std::memcpy(record.data() + 8, &size, sizeof size);
    return record;
}

}  // namespace velk::testing
