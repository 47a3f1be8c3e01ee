#include "client.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

namespace elevard_client {
namespace {

using elevard::CommandInfo;
using elevard::ReplyKind;

const char* const kIsOne = "the number; success when it is 1";
const char* const kUnmountCodes =
    "the number: 0 unmounted, 1 busy, 2 no such path, 3 refused or other error, 4 not mounted; "
    "success when 0";

int64_t int64At(const std::string& bytes, size_t offset) {
    int64_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

Outcome malformed(const std::string& what, const std::string& bytes) {
    Outcome outcome;
    outcome.status = kNoReply;
    outcome.err = "elevard-client: malformed reply (" + what + "):\n" + hexDump(bytes);
    return outcome;
}

Outcome decodeStat(const std::string& payload) {
    std::optional<elevard::FileStatus> status = elevard::decodeStatus(payload);
    if (!status) {
        return malformed("a status record has 16 bytes", payload);
    }
    const char* const words[] = {"file", "directory", "other"};
    auto type = static_cast<int32_t>(status->type);
    std::string typeWord = type >= 0 && type <= 2 ? words[type] : std::to_string(type);
    Outcome outcome;
    outcome.status = kSuccess;
    outcome.out = "exists=" + std::to_string(static_cast<unsigned char>(payload[0])) +
                  " type=" + typeWord + " size=" + std::to_string(status->size) + "\n";
    return outcome;
}

Outcome decodeList(const std::string& payload) {
    std::optional<std::vector<elevard::ListEntry>> entries = elevard::decodeList(payload);
    if (!entries) {
        return malformed("the listing does not end with a whole entry", payload);
    }
    Outcome outcome;
    outcome.status = kSuccess;
    for (const elevard::ListEntry& entry : *entries) {
        outcome.out += entry.path + "\t" + std::to_string(entry.size) + "\t" +
                       (entry.isDirectory ? "1" : "0") + "\n";
    }
    return outcome;
}

Outcome decodeDmiInfo(const std::string& payload) {
    std::optional<elevard::MemoryModules> modules = elevard::decodeMemoryModules(payload);
    if (!modules) {
        return malformed("two length-prefixed records expected", payload);
    }
    Outcome outcome;
    outcome.status = kSuccess;
    outcome.out = modules->partNumbers + "\n" + modules->serialNumbers + "\n";
    return outcome;
}

// `text` broken at blanks into lines of at most `width` columns, each indented by `indent`
// blanks and ended with "\n".
std::string wrapped(const std::string& text, size_t indent, size_t width) {
    std::string result;
    std::string line;
    size_t start = 0;
    while (start < text.size()) {
        size_t blank = text.find(' ', start);
        std::string word = text.substr(start, blank == std::string::npos ? blank : blank - start);
        start = blank == std::string::npos ? text.size() : blank + 1;
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            result += std::string(indent, ' ') + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) {
        result += std::string(indent, ' ') + line + "\n";
    }
    return result;
}

// What --help shows for each command's reply and what counts as success.
const char* replyDescription(const std::string& name) {
    static const std::map<std::string, const char*> descriptions = {
        {"mkdir", kIsOne},
        {"rm", kIsOne},
        {"chown", kIsOne},
        {"mount",
         "the number: 0 mounted, 1 permission denied, 2 refused or other error; success when 0"},
        {"mv", kIsOne},
        {"open",
         "the path of the received descriptor, with --cat followed by the file's content; "
         "success when a descriptor arrived. <mode> is the numeric open flags (0 read, 1 "
         "write, 2 read-write, 64 create: 66 is read-write and create)"},
        {"freeSpace", "the number of bytes; success when above 0"},
        {"totalSpace", "the number of bytes; success when above 0"},
        {"exists", kIsOne},
        {"stat", "exists=0|1 type=file|directory|other size=BYTES; success whenever a reply came"},
        {"list",
         "one line per entry: path TAB size TAB isdir (1 or 0); success whenever a reply came"},
        {"devicePath", "the device path; success when it is not empty"},
        {"size", "the number of bytes; success when 0 or more"},
        {"setFdLimit",
         "the number; success when it equals <value> (on failure the service answers its own "
         "soft limit)"},
        {"dmiInfo",
         "a line of part numbers, then a line of serial numbers (the values of each joined "
         "without separator); success when the reply is not empty"},
        {"umount", kUnmountCodes},
        {"unmount", kUnmountCodes},
        {"install",
         "no reply: dpkg runs on the service's side and its output and outcome show only on the "
         "service's output; exit status 3"},
        {"help",
         "no reply: the service prints its help on its own output (elevard help prints it "
         "here); exit status 3"},
    };
    auto found = descriptions.find(name);
    return found == descriptions.end() ? "" : found->second;
}

// `text` as a whole number of seconds from 1 to a day's worth, or nullopt.
std::optional<std::chrono::seconds> wholeSeconds(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 5) {
        return std::nullopt;
    }
    long seconds = std::strtol(text.c_str(), nullptr, 10);
    if (seconds < 1 || seconds > 86400) {
        return std::nullopt;
    }
    return std::chrono::seconds(seconds);
}

}  // namespace

std::optional<Options> parseOptions(int argc, const char* const* argv, std::string* error) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--cat") {
            options.cat = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--socket" && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (arg.rfind("--socket=", 0) == 0) {
            options.socketPath = arg.substr(9);
        } else if (arg == "--socket") {
            *error = "option --socket needs a path";
            return std::nullopt;
        } else if (arg == "--timeout" || arg.rfind("--timeout=", 0) == 0) {
            std::string value =
                arg == "--timeout" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(10);
            std::optional<std::chrono::seconds> timeout = wholeSeconds(value);
            if (!timeout) {
                *error = "option --timeout needs a whole number of seconds above 0";
                return std::nullopt;
            }
            options.timeout = *timeout;
        } else {
            *error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    options.words.assign(argv + i, argv + argc);
    if (options.words.empty() && !options.help) {
        *error = "no command given";
        return std::nullopt;
    }
    return options;
}

Outcome decodeInteger(const CommandInfo& command, const std::vector<std::string>& words,
                      std::int64_t value) {
    Outcome outcome;
    outcome.status = elevard::integerReplySucceeded(command, words, value) ? kSuccess : kFailure;
    outcome.out = std::to_string(value) + "\n";
    return outcome;
}

Outcome decodeBuffer(const CommandInfo& command, const std::string& payload) {
    Outcome outcome;
    switch (command.reply) {
        case ReplyKind::stat:
            return decodeStat(payload);
        case ReplyKind::list:
            return decodeList(payload);
        case ReplyKind::text:
            if (payload.empty()) {
                outcome.status = kFailure;
                outcome.err = "elevard-client: empty reply: no block device found\n";
            } else {
                outcome.status = kSuccess;
                outcome.out = payload + "\n";
            }
            return outcome;
        case ReplyKind::dmiInfo:
            if (payload.empty()) {
                outcome.status = kFailure;
                outcome.err =
                    "elevard-client: empty reply: the memory inventory could not be "
                    "read\n";
                return outcome;
            }
            return decodeDmiInfo(payload);
        default:
            outcome.status = kSuccess;
            outcome.out = hexDump(payload);
            return outcome;
    }
}

std::optional<std::string> singleMessagePayload(const std::string& stream) {
    if (stream.size() < 8) {
        return std::nullopt;
    }
    int64_t length = int64At(stream, 0);
    if (length < 0 || static_cast<uint64_t>(length) != stream.size() - 8) {
        return std::nullopt;
    }
    return stream.substr(8);
}

Outcome judgeRaw(const CommandInfo* command, const std::vector<std::string>& words,
                 const std::string& stream) {
    Outcome outcome;
    outcome.out = hexDump(stream);
    if (command != nullptr && command->reply == ReplyKind::none) {
        // The service took the line; what became of it only the service's output shows.
        outcome.status = kNotVisible;
        outcome.err = std::string("elevard-client: sent; ") + command->name + " answers nothing" +
                      (command->name == std::string("help")
                           ? ": the help is on the service's output (elevard help prints it "
                             "here)\n"
                           : ": its result shows only on the service's output\n");
        if (!stream.empty()) {
            outcome.err += "elevard-client: unexpected reply to a command that has none\n";
        }
        return outcome;
    }
    if (stream.empty()) {
        outcome.status = kNoReply;
        outcome.err = kNoReplyMessage;
        return outcome;
    }
    if (command == nullptr) {
        outcome.status = kSuccess;
        return outcome;
    }
    std::optional<std::string> payload = singleMessagePayload(stream);
    Outcome decoded;
    if (payload && command->reply != ReplyKind::integer) {
        decoded = decodeBuffer(*command, *payload);
    } else if (payload && payload->size() == 8) {
        decoded = decodeInteger(*command, words, int64At(*payload, 0));
    }
    outcome.status = decoded.status;
    if (decoded.status == kNoReply) {
        outcome.err = "elevard-client: malformed reply\n";
    }
    return outcome;
}

std::string helpText() {
    std::string text =
        R"(Usage: elevard-client [--socket PATH] [--timeout SECONDS] [--raw] [--cat] COMMAND [ARG...]

Sends one command line to the elevard service over its Unix domain socket and shows the reply.
Needs no root rights, only access to the socket.

Options (recognised only before COMMAND; "--" ends them):
  --socket PATH  the service's socket, by default )" +
        std::string(elevard::kDefaultSocketPath) + R"(
  --timeout SECONDS
                 give up when no whole reply came within SECONDS (whole seconds, 1 to 86400),
                 by default )" +
        std::to_string(elevard::kDefaultTimeout.count()) +
        R"(, enough for a mount that tries all ten of its option sets
  --raw          print the bytes of the reply in hex, 16 per line, instead of decoding them;
                 the exit status is judged as without it (open still prints the received
                 descriptor's path)
  --cat          open only: also copy the opened file's content to standard output
  -h, --help     print this text

COMMAND and the ARGs are joined with single blanks into one line. An ARG that holds whitespace
is sent between single quotes, an empty ARG as ''. The service's syntax has no escapes, so an
ARG that holds both whitespace and a single quote, or that begins with a single quote, cannot
be sent and is refused. A missing required ARG is reported without connecting.

Commands and what is printed for their replies:
)";
    for (const CommandInfo& command : elevard::knownCommands()) {
        text += std::string("  ") + command.name + (*command.arguments != '\0' ? " " : "") +
                command.arguments + "\n" + wrapped(replyDescription(command.name), 6, 96);
    }
    text += R"(  any other command
      is sent as it is; whatever comes back is printed in hex

A listing's entry ends at the first ",SIZE,0," or ",SIZE,1," after its path, so a path may
hold commas unless it holds such a run itself.

Exit status:
  0  the reply says the command succeeded
  1  the reply says the command failed
  2  no usable reply: the connection was refused, or closed before a reply (an unknown
     command, a missing or malformed argument: the service's output says which), the reply
     was malformed or did not come within the timeout, an ARG is missing or cannot be sent,
     or the options are wrong
  3  sent, but the command answers nothing (help, install): the outcome is on the service's
     output, so neither success nor failure is claimed
)";
    return text;
}

std::string hexDump(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto byte = static_cast<unsigned char>(bytes[i]);
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text;
}

}  // namespace elevard_client
