#include "client.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace elevard_client {
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

// Status record, 16 bytes in host byte order:
//   offset 0: exists flag, 1 byte; offsets 1-3: zero
//   offset 4: int32 type, 0 regular file, 1 directory, 2 other
//   offset 8: int64 size
Outcome decodeStat(const std::string& payload) {
    if (payload.size() != 16) {
        return malformed("a status record has 16 bytes", payload);
    }
    int32_t type;
    std::memcpy(&type, payload.data() + 4, sizeof type);
    const char* const words[] = {"file", "directory", "other"};
    std::string typeWord = type >= 0 && type <= 2 ? words[type] : std::to_string(type);
    Outcome outcome;
    outcome.status = kSuccess;
    outcome.out = "exists=" + std::to_string(static_cast<unsigned char>(payload[0])) +
                  " type=" + typeWord + " size=" + std::to_string(int64At(payload, 8)) + "\n";
    return outcome;
}

// File list: "path,size,isdir," per entry with nothing between entries. A comma inside a path
// cannot be told from a separator, so fields are taken left to right in groups of three.
Outcome decodeList(const std::string& payload) {
    Outcome outcome;
    outcome.status = kSuccess;
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma; (comma = payload.find(',', start)) != std::string::npos; start = comma + 1) {
        fields.push_back(payload.substr(start, comma - start));
        if (fields.size() == 3) {
            outcome.out += fields[0] + "\t" + fields[1] + "\t" + fields[2] + "\n";
            fields.clear();
        }
    }
    std::string rest;
    for (const std::string& field : fields) {
        rest += field + ",";
    }
    rest += payload.substr(start);
    if (!rest.empty()) {
        outcome.err = "elevard-client: incomplete list entry ignored: " + rest + "\n";
    }
    return outcome;
}

// Memory inventory: two records, part numbers then serial numbers, each an int64 length N
// followed by N bytes of text.
Outcome decodeDmiInfo(const std::string& payload) {
    std::string lines;
    size_t offset = 0;
    for (int record = 0; record < 2; ++record) {
        if (payload.size() - offset < 8) {
            return malformed("two length-prefixed records expected", payload);
        }
        int64_t length = int64At(payload, offset);
        offset += 8;
        if (length < 0 || static_cast<uint64_t>(length) > payload.size() - offset) {
            return malformed("record length out of range", payload);
        }
        lines += payload.substr(offset, static_cast<size_t>(length)) + "\n";
        offset += static_cast<size_t>(length);
    }
    if (offset != payload.size()) {
        return malformed("bytes after the two records", payload);
    }
    Outcome outcome;
    outcome.status = kSuccess;
    outcome.out = lines;
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

bool integerSucceeded(const CommandInfo& command, const std::vector<std::string>& words,
                      long value) {
    switch (command.success) {
        case IntegerSuccess::isOne:
            return value == 1;
        case IntegerSuccess::isZero:
            return value == 0;
        case IntegerSuccess::positive:
            return value > 0;
        case IntegerSuccess::nonNegative:
            return value >= 0;
        case IntegerSuccess::equalsAskedFor: {
            // The service answers its own soft limit when it could not set the one asked for.
            std::optional<long> asked =
                words.size() > 2 ? leadingNumber(words[2]) : std::optional<long>();
            return asked.has_value() && *asked == value;
        }
    }
    return false;
}

}  // namespace

const std::vector<CommandInfo>& knownCommands() {
    using K = ReplyKind;
    using S = IntegerSuccess;
    const char* const isOne = "the number; success when it is 1";
    const char* const unmountCodes =
        "the number: 0 unmounted, 1 busy, 2 no such path, 3 refused or other error, 4 not "
        "mounted; success when 0";
    static const std::vector<CommandInfo> commands = {
        {"mkdir", "<path>", 1, K::integer, S::isOne, isOne},
        {"rm", "<path>", 1, K::integer, S::isOne, isOne},
        {"chown", "<path> <uid> <gid> [recursive]", 3, K::integer, S::isOne, isOne},
        {"mount", "<url> <path> [user] [password]", 2, K::integer, S::isZero,
         "the number: 0 mounted, 1 permission denied, 2 refused or other error; success when 0"},
        {"mv", "<source_path> <target_path>", 2, K::integer, S::isOne, isOne},
        {"open", "<file_path> <mode>", 2, K::descriptor, S::isOne,
         "the path of the received descriptor, with --cat followed by the file's content; "
         "success when a descriptor arrived. <mode> is the numeric open flags (0 read, 1 "
         "write, 2 read-write, 64 create: 66 is read-write and create)"},
        {"freeSpace", "<path>", 1, K::integer, S::positive,
         "the number of bytes; success when above 0"},
        {"totalSpace", "<path>", 1, K::integer, S::positive,
         "the number of bytes; success when above 0"},
        {"exists", "<path>", 1, K::integer, S::isOne, isOne},
        {"stat", "<path>", 1, K::stat, S::isOne,
         "exists=0|1 type=file|directory|other size=BYTES; success whenever a reply came"},
        {"list", "<path>", 1, K::list, S::isOne,
         "one line per entry: path TAB size TAB isdir (1 or 0); success whenever a reply came"},
        {"devicePath", "<path>", 1, K::text, S::isOne,
         "the device path; success when it is not empty"},
        {"size", "<path>", 1, K::integer, S::nonNegative,
         "the number of bytes; success when 0 or more"},
        {"setFdLimit", "<pid> <value>", 2, K::integer, S::equalsAskedFor,
         "the number; success when it equals <value> (on failure the service answers its own "
         "soft limit)"},
        {"dmiInfo", "", 0, K::dmiInfo, S::isOne,
         "a line of part numbers, then a line of serial numbers (the values of each joined "
         "without separator); success when the reply is not empty"},
        {"umount", "<path>", 1, K::integer, S::isZero, unmountCodes},
        {"unmount", "<path>", 1, K::integer, S::isZero, unmountCodes},
        {"install", "<deb_path> [force-conflicts]", 1, K::none, S::isOne,
         "no reply: the connection closing is success; the output stays with the service"},
        {"help", "", 0, K::none, S::isOne,
         "no reply: the service prints its help on its own output; the connection closing is "
         "success"},
    };
    return commands;
}

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& command : knownCommands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

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

Outcome decodeInteger(const CommandInfo& command, const std::vector<std::string>& words,
                      long value) {
    Outcome outcome;
    outcome.status = integerSucceeded(command, words, value) ? kSuccess : kFailure;
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
        outcome.status = kSuccess;
        if (!stream.empty()) {
            outcome.err = "elevard-client: unexpected reply to a command that has none\n";
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
        decoded = decodeInteger(*command, words, static_cast<long>(int64At(*payload, 0)));
    }
    outcome.status = decoded.status;
    if (decoded.status == kNoReply) {
        outcome.err = "elevard-client: malformed reply\n";
    }
    return outcome;
}

std::string helpText() {
    std::string text = R"(Usage: elevard-client [--socket PATH] [--raw] [--cat] COMMAND [ARG...]

Sends one command line to the elevard service over its Unix domain socket and shows the reply.
Needs no root rights, only access to the socket.

Options (recognised only before COMMAND; "--" ends them):
  --socket PATH  the service's socket, by default )" +
                       std::string(kDefaultSocketPath) + R"(
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
    for (const CommandInfo& command : knownCommands()) {
        text += std::string("  ") + command.name + (*command.arguments != '\0' ? " " : "") +
                command.arguments + "\n" + wrapped(command.shown, 6, 96);
    }
    text += R"(  any other command
      is sent as it is; whatever comes back is printed in hex

A listing cannot tell a comma inside a path from the field separator: its fields are read left
to right in groups of three, so a path holding a comma shows up split.

Exit status:
  0  the reply says the command succeeded
  1  the reply says the command failed
  2  no usable reply: the connection was refused or closed before a reply, the reply was
     malformed, an ARG is missing or cannot be sent, or the options are wrong
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

std::optional<long> leadingNumber(const std::string& word) {
    const char* start = word.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return value;
}

}  // namespace elevard_client
