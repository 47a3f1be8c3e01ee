#pragma once

// The parts of elevard-client that involve no socket: its options and what it prints for each
// reply (the protocol itself is libelevard_client's). Everything here is pure and thread-safe.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "elevard/protocol.h"

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

struct Options {
    std::string socketPath = elevard::kDefaultSocketPath;
    std::chrono::milliseconds timeout = elevard::kDefaultTimeout;
    bool raw = false;
    bool cat = false;
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words;  // the command name, then its arguments
};

// Reads the options and the command words from argv[1..argc-1]. Options are recognised only
// before the command name ("--" ends them). Returns nullopt with a message in `*error` for an
// unknown option, a missing or invalid option value (--timeout takes whole seconds above 0),
// --json beside --raw or --cat, a missing command (unless --help or --version was given), or
// a word after the command that begins with "--" when no "--" ended the options: it is
// almost always an option written in the wrong place, which would be sent as an argument.
std::optional<Options> parseOptions(int argc, const char* const* argv, std::string* error);

// Checks the arguments in `words` (name first) against the table row of `command` before
// anything is sent: the required ones are there, no more than the command takes, and the
// numeric ones begin with a decimal number in the 32-bit range, as the service reads them.
// Returns the message for the first bad one, or nullopt.
std::optional<std::string> badArgument(const elevard::CommandInfo& command,
                                       const std::vector<std::string>& words);

// The message for `name`, which is no command of the table: it names the nearest command when
// one is close (a different case, or a letter or two off), so that a typing error is never
// sent to the service.
std::string unknownCommand(const std::string& name);

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

// The payload of one buffer message that makes up the whole of `stream`, or nullopt when the
// stream is anything else (cut short, trailing bytes, a negative length).
std::optional<std::string> singleMessagePayload(const std::string& stream);

// `bytes` as lowercase hex pairs, 16 per line, separated by blanks; every line ends with "\n".
std::string hexDump(const std::string& bytes);

// The text of --help.
std::string helpText();

// The text of --version.
std::string versionText();

}  // namespace elevard_client
