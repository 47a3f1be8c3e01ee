#pragma once

// What a client must know of the service's command line and replies beyond the command table
// (elevard/command_table.h): the joining of words into one line and the decoding of the
// structured replies. Everything here is pure and thread-safe.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elevard/command_table.h"

namespace elevard {

// The row of the command named `name` (exact, case-sensitive; an alias too), or nullptr for a
// command the table does not hold.
const CommandInfo* findCommand(const std::string& name);

// The arguments of `command` for a usage text: "<name>" for a required one, "[name]" for the
// others, separated by blanks; "<path> <uid> <gid> [recursive]" for chown.
std::string usage(const CommandInfo& command);

// Whether the integer reply `value` of `command` says success; `words` are the command's words,
// name first (setFdLimit compares with the limit asked for).
bool integerReplySucceeded(const CommandInfo& command, const std::vector<std::string>& words,
                           std::int64_t value);

// Joins the command name and its arguments with single blanks into the line the service
// reads: an argument holding whitespace is put between single quotes, an empty argument is
// sent as ''. Returns nullopt with a message in `*error` for a word the service's syntax
// cannot carry (it has no escapes): a name that is empty or holds whitespace, an argument that
// holds both whitespace and a single quote, or one that begins with a single quote.
std::optional<std::string> joinCommandLine(const std::vector<std::string>& words,
                                           std::string* error);

// The 16-byte status record: exists flag (1 byte), three zero bytes, int32 type, int64 size,
// in host byte order. nullopt for any other length.
std::optional<FileStatus> decodeStatus(const std::string& payload);

// A listing: "path,size,isdir," per entry with nothing between entries. A path may hold
// commas; an entry ends at the first "," followed by a number, "," and 0 or 1 and ",".
// nullopt when the text does not end with a whole entry.
std::optional<std::vector<ListEntry>> decodeList(const std::string& payload);

// The memory inventory: two records, part numbers then serial numbers, each an int64 length N
// followed by N bytes. nullopt for anything else (an empty payload included).
std::optional<MemoryModules> decodeMemoryModules(const std::string& payload);

}  // namespace elevard
