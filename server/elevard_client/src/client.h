#pragma once

// The parts of elevard-client that involve no socket: the command table the client knows, its
// options, the joining of words into one command line and the decoding of replies. Everything
// here is pure and thread-safe.

#include <optional>
#include <string>
#include <vector>

namespace elevard_client {

// The path on which the service listens. The service's own constant lives in the privileged
// operations library, which the client must not link, so it is repeated here.
inline constexpr const char* kDefaultSocketPath = "/tmp/quorvath_syscmd_socket3f64fa";

// Printed when the connection closes where a reply was expected.
inline constexpr const char* kNoReplyMessage = "elevard-client: no reply: the connection closed\n";

// Exit statuses of the client.
enum ExitStatus {
    kSuccess = 0,  // the reply says the command succeeded
    kFailure = 1,  // the reply says the command failed
    kNoReply = 2,  // no usable reply came, or the command was never sent
};

// The shape of a command's reply.
enum class ReplyKind {
    integer,     // one integer message
    stat,        // a 16-byte status record in a buffer message
    list,        // "path,size,isdir," records in a buffer message
    text,        // plain text in a buffer message (devicePath)
    dmiInfo,     // two length-prefixed texts in a buffer message
    descriptor,  // one descriptor message (open)
    none,        // no reply: the connection closing ends the exchange
    unknown,     // a command the client does not know: anything goes
};

// How the value of an integer reply tells success from failure.
enum class IntegerSuccess {
    isOne,           // 1 is success (mkdir, rm, chown, mv, exists)
    isZero,          // 0 is success (mount, umount, unmount)
    positive,        // > 0 (freeSpace, totalSpace)
    nonNegative,     // >= 0 (size)
    equalsAskedFor,  // the value equals the limit asked for (setFdLimit, second argument)
};

struct CommandInfo {
    const char* name;
    const char* arguments;  // for usage texts, e.g. "<path> <uid> <gid> [recursive]"
    int requiredArguments;
    ReplyKind reply;
    IntegerSuccess success;  // meaningful for ReplyKind::integer only
    const char* shown;       // for --help: what is printed and what counts as success
};

// Every command of the service, in the order of its command table.
const std::vector<CommandInfo>& knownCommands();

// The entry for `name` (exact, case-sensitive), or nullptr for a command the client does not
// know.
const CommandInfo* findCommand(const std::string& name);

struct Options {
    std::string socketPath = kDefaultSocketPath;
    bool raw = false;
    bool cat = false;
    bool help = false;
    std::vector<std::string> words;  // the command name, then its arguments
};

// Reads the options and the command words from argv[1..argc-1]. Options are recognised only
// before the command name ("--" ends them). Returns nullopt with a message in `*error` for an
// unknown option, a missing option value or a missing command (unless --help was given).
std::optional<Options> parseOptions(int argc, const char* const* argv, std::string* error);

// Joins the command name and its arguments with single blanks into the line the service
// reads: an argument holding whitespace is put between single quotes, an empty argument is
// sent as ''. Returns nullopt with a message in `*error` for a word the service's syntax
// cannot carry (no escapes exist): a name that is empty or holds whitespace, an argument that
// holds both whitespace and a single quote, or one that begins with a single quote.
std::optional<std::string> joinCommandLine(const std::vector<std::string>& words,
                                           std::string* error);

// What the client prints and how it exits for one reply.
struct Outcome {
    int status = kNoReply;
    std::string out;  // for standard output
    std::string err;  // for standard error
};

// Decodes an integer reply of `command` (the command's words in `words`, name first).
Outcome decodeInteger(const CommandInfo& command, const std::vector<std::string>& words,
                      long value);

// Decodes the payload of a buffer reply (empty for a zero-length message) of a command whose
// reply kind is stat, list, text or dmiInfo.
Outcome decodeBuffer(const CommandInfo& command, const std::string& payload);

// Judges the raw bytes of a whole reply stream of a known command that is not `open`, as
// --raw does: the status decoding would give, with `out` holding the bytes in hex.
Outcome judgeRaw(const CommandInfo* command, const std::vector<std::string>& words,
                 const std::string& stream);

// The payload of one buffer message that makes up the whole of `stream`, or nullopt when the
// stream is anything else (cut short, trailing bytes, a negative length).
std::optional<std::string> singleMessagePayload(const std::string& stream);

// `bytes` as lowercase hex pairs, 16 per line, separated by blanks; every line ends with "\n".
std::string hexDump(const std::string& bytes);

// A decimal number read the way the service converts numeric words: leading whitespace and a
// sign allowed, digits up to the first other character; nullopt without a leading number or
// outside the 32-bit signed range.
std::optional<long> leadingNumber(const std::string& word);

// The text of --help.
std::string helpText();

}  // namespace elevard_client
