#pragma once

// What elevard-client prints and how it exits for each reply, decoded with the wire folder's
// decoders; no socket is involved. Everything here is pure and thread-safe.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elevard/protocol.h"
#include "elevard/reply.h"

namespace elevard_client {

// Printed when the connection closes where a reply was expected.
inline constexpr const char* kNoReplyMessage =
    "elevard-client: no reply: the service closed the connection without answering. That "
    "usually means an unknown command or a missing or malformed argument; the service's output "
    "says which\n";

// Exit statuses of the client.
enum ExitStatus {
    kSuccess = 0,     // the reply says the command succeeded
    kFailure = 1,     // the reply says the command failed
    kNoReply = 2,     // no usable reply came (a timeout too), or the command was never sent
    kNotVisible = 3,  // sent, but the command answers nothing: its outcome is on the service's
                      // output (help, install)
};

// What the client prints and how it exits for one reply.
struct Outcome {
    int status = kNoReply;
    std::string out;   // for standard output
    std::string err;   // for standard error
    std::string json;  // the members of the --json object after "command" (json_output.h)
};

// The outcome of an exchange that brought back no reply: `error` and `message` as the client
// library gives them. A refused permission adds the hint to join the group.
Outcome noReply(elevard::ClientError error, const std::string& message);

// Decodes an integer reply of `command` (the command's words in `words`, name first).
Outcome decodeInteger(const elevard::CommandInfo& command, const std::vector<std::string>& words,
                      std::int64_t value);

// Decodes the payload of a buffer reply (empty for a zero-length message) of a command whose
// reply kind is stat, list, text or dmiInfo.
Outcome decodeBuffer(const elevard::CommandInfo& command, const std::string& payload);

// Judges the raw bytes of a whole reply stream of a command that is not `open` (`command` is
// nullptr for one the client does not know), as --raw does: the status decoding would give,
// with `out` holding the bytes in hex. A command without a reply gives kNotVisible.
Outcome judgeRaw(const elevard::CommandInfo* command, const std::vector<std::string>& words,
                 const std::string& stream);

// `bytes` as lowercase hex pairs, 16 per line, separated by blanks; every line ends with "\n".
std::string hexDump(const std::string& bytes);

}  // namespace elevard_client
