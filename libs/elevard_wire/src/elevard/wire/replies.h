#pragma once

// Each structured reply's encoder beside its decoder: the payload of the buffer or integer
// message that carries it, and the message around a payload. The service writes what the
// encoders give; the client library and elevard-client read with the decoders. Integers are in
// host byte order. A text reply (devicePath) is its bytes as they are; a descriptor reply is
// the framing's descriptor message (domain_socket.h). Everything here is pure and thread-safe.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "elevard/command_table.h"

namespace elevard::wire {

// The 8-byte payload of an integer message, and back; nullopt for any other length.
std::string encodeInteger(std::int64_t value);
std::optional<std::int64_t> decodeInteger(const std::string& payload);

// The 16-byte status record: exists flag (1 byte), three zero bytes, int32 type, int64 size.
// The decoder gives nullopt for any other length and keeps a type outside FileType as it is.
std::string encodeStatus(const FileStatus& status);
std::optional<FileStatus> decodeStatus(const std::string& payload);

// A listing: "path,size,isdir," per entry (isdir 1 or 0) with nothing between entries. A path
// may hold commas; the decoder ends an entry at the first "," followed by a number, "," and 0
// or 1 and ",", so a path holding such a run itself does not come back whole. The decoder
// gives nullopt when the text does not end with a whole entry.
std::string encodeList(const std::vector<ListEntry>& entries);
std::optional<std::vector<ListEntry>> decodeList(const std::string& payload);
// Appends one entry of a listing to `payload`, as encodeList writes it, for a listing built
// entry by entry.
void appendListEntry(std::string* payload, std::string_view path, std::int64_t size,
                     bool isDirectory);

// The memory inventory: two records, part numbers then serial numbers, each an int64 length
// N followed by N bytes. The decoder gives nullopt for anything else (an empty payload too).
std::string encodeMemoryModules(const MemoryModules& modules);
std::optional<MemoryModules> decodeMemoryModules(const std::string& payload);

// One buffer message: the int64 length of `payload`, then `payload`.
std::string encodeMessage(const std::string& payload);

// The payload of the one buffer message that makes up the whole of `stream`, or nullopt when
// the stream is anything else (cut short, trailing bytes, a negative length).
std::optional<std::string> decodeMessage(const std::string& stream);

}  // namespace elevard::wire
