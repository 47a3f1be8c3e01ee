#include "reply_outcome.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "elevard/wire/number_word.h"
#include "json_output.h"

namespace elevard_client {
namespace {

using elevard::CommandId;
using elevard::CommandInfo;
using elevard::ReplyKind;

const char* const kIsOne = "the number; success when it is 1";
const char* const kUnmountCodes =
    "the result's name and number: success (0) unmounted, busy (1), notExists (2) no such path, "
    "otherError (3) refused or another error, notMounted (4); success when 0";

int64_t int64At(const std::string& bytes, size_t offset) {
    int64_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::string jsonBool(bool value) {
    return value ? "true" : "false";
}

// The --json members shared by every outcome without a reply.
std::string jsonError(const char* error, const std::string& message) {
    return jsonMember("error", jsonString(error)) + "," +
           jsonMember("message", jsonString(message));
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The number of letters to insert, delete, change or swap with a neighbour to turn `a` into
// `b` (optimal string alignment).
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

Outcome malformed(const std::string& what, const std::string& bytes) {
    Outcome outcome;
    outcome.status = kNoReply;
    outcome.err = "elevard-client: malformed reply (" + what + "):\n" + hexDump(bytes);
    outcome.json = jsonError("malformedReply", what);
    return outcome;
}

// The name of `error` as the library spells it.
const char* errorName(elevard::ClientError error) {
    using elevard::ClientError;
    switch (error) {
        case ClientError::notConnected:
            return "notConnected";
        case ClientError::unsendable:
            return "unsendable";
        case ClientError::closedWithoutReply:
            return "closedWithoutReply";
        case ClientError::malformedReply:
            return "malformedReply";
        case ClientError::timedOut:
            return "timedOut";
        case ClientError::untrustedListener:
            return "untrustedListener";
    }
    return "unknown";
}

// A success flag that ends the --json members of a decoded reply.
std::string jsonSuccess(bool success) {
    return jsonMember("success", jsonBool(success));
}

// "name (value)" for a result code, or nullopt when `value` is no code of Code.
template <typename Code>
std::optional<std::string> namedCode(std::int64_t value) {
    std::optional<Code> code = elevard::codeFromReply<Code>(value);
    if (!code) {
        return std::nullopt;
    }
    return std::string(elevard::codeName(*code)) + " (" + std::to_string(value) + ")";
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
    outcome.json = jsonMember("exists", jsonBool(status->exists)) + "," +
                   jsonMember("type", jsonString(typeWord)) + "," +
                   jsonMember("size", std::to_string(status->size)) + "," + jsonSuccess(true);
    return outcome;
}

Outcome decodeList(const std::string& payload) {
    std::optional<std::vector<elevard::ListEntry>> entries = elevard::decodeList(payload);
    if (!entries) {
        return malformed("the listing does not end with a whole entry", payload);
    }
    Outcome outcome;
    outcome.status = kSuccess;
    std::string items;
    for (const elevard::ListEntry& entry : *entries) {
        outcome.out += entry.path + "\t" + std::to_string(entry.size) + "\t" +
                       (entry.isDirectory ? "1" : "0") + "\n";
        items += std::string(items.empty() ? "" : ",") + "{" +
                 jsonMember("path", jsonString(entry.path)) + "," +
                 jsonMember("size", std::to_string(entry.size)) + "," +
                 jsonMember("isDirectory", jsonBool(entry.isDirectory)) + "}";
    }
    outcome.json = jsonMember("entries", "[" + items + "]") + "," + jsonSuccess(true);
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
    outcome.json = jsonMember("partNumbers", jsonString(modules->partNumbers)) + "," +
                   jsonMember("serialNumbers", jsonString(modules->serialNumbers)) + "," +
                   jsonSuccess(true);
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

// What --help shows for each command's reply and what counts as success. Every command of the
// table has its case, so one added without a description fails the build.
const char* replyDescription(CommandId id) {
    switch (id) {
        case CommandId::makeDirectory:
        case CommandId::removePath:
        case CommandId::changeOwner:
        case CommandId::rename:
        case CommandId::exists:
            return kIsOne;
        case CommandId::mount:
            return "the result's name and number: success (0) mounted, permissionDenied (1), "
                   "otherError (2) refused or another error; success when 0";
        case CommandId::open:
            return "the path of the received descriptor, with --cat followed by the file's "
                   "content; success when a descriptor arrived. <mode> is the numeric open flags "
                   "(0 read, 1 write, 2 read-write, 64 create: 66 is read-write and create)";
        case CommandId::freeSpace:
        case CommandId::totalSpace:
            return "the number of bytes; success when above 0";
        case CommandId::stat:
            return "exists=0|1 type=file|directory|other size=BYTES; success whenever a reply "
                   "came";
        case CommandId::list:
            return "one line per entry: path TAB size TAB isdir (1 or 0); success whenever a "
                   "reply came";
        case CommandId::devicePath:
            return "the device path; success when it is not empty";
        case CommandId::size:
            return "the number of bytes; success when 0 or more";
        case CommandId::setFdLimit:
            return "the number; success when it equals <value> (on failure the service answers "
                   "its own soft limit)";
        case CommandId::dmiInfo:
            return "a line of part numbers, then a line of serial numbers (the values of each "
                   "joined without separator); success when the reply is not empty";
        case CommandId::unmount:
            return kUnmountCodes;
        case CommandId::install:
            return "no reply: dpkg runs on the service's side and its output and outcome show "
                   "only on the service's output; exit status 3";
        case CommandId::help:
            return "no reply: the service prints its help on its own output (elevard help "
                   "prints it here); exit status 3";
    }
    return "";
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
    bool ended = false;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            ended = true;
            break;
        }
        if (arg.empty() || arg[0] != '-') {
            break;
        }
        if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--cat") {
            options.cat = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
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
    for (size_t word = 1; word < options.words.size() && !ended; ++word) {
        if (options.words[word].rfind("--", 0) == 0) {
            *error = "option " + options.words[word] +
                     " after the command; options go before COMMAND (write -- before COMMAND "
                     "to send an argument that begins with --)";
            return std::nullopt;
        }
    }
    if (options.json && (options.raw || options.cat)) {
        *error = "--json cannot be combined with --raw or --cat";
        return std::nullopt;
    }
    if (options.words.empty() && !options.help && !options.version) {
        *error = "no command given";
        return std::nullopt;
    }
    return options;
}

std::optional<std::string> badArgument(const CommandInfo& command,
                                       const std::vector<std::string>& words) {
    std::string arguments = elevard::usage(command);
    std::string usage = "; usage: " + words[0] + (arguments.empty() ? "" : " ") + arguments;
    int given = static_cast<int>(words.size()) - 1;
    if (given < command.requiredArguments) {
        return "missing argument" + usage;
    }
    if (given > elevard::table_detail::argumentCount(command)) {
        return "too many arguments" + usage;
    }
    for (size_t i = 1; i < words.size() && i <= elevard::kMaxArguments; ++i) {
        if ((command.numericArguments >> (i - 1) & 1) != 0 &&
            !elevard::wire::leadingNumber(words[i])) {
            return std::string("argument ") + command.arguments[i - 1] + " (" + words[i] +
                   ") is not a number" + usage;
        }
    }
    return std::nullopt;
}

std::string unknownCommand(const std::string& name) {
    const char* nearest = nullptr;
    size_t nearestDistance = 0;
    for (const CommandInfo& command : elevard::kCommands) {
        for (const char* candidate : {command.name, command.alias}) {
            if (candidate == nullptr) {
                continue;
            }
            size_t distance = editDistance(lowerCase(name), lowerCase(candidate));
            // One slip in a short name, two in a longer one; more is another word.
            size_t allowed = std::string(candidate).size() < 5 ? 1 : 2;
            if (distance <= allowed && (nearest == nullptr || distance < nearestDistance)) {
                nearest = candidate;
                nearestDistance = distance;
            }
        }
    }
    std::string message = "unknown command " + name;
    return nearest != nullptr ? message + "; did you mean " + nearest + "?"
                              : message + "; elevard-client --help lists the commands";
}

Outcome decodeInteger(const CommandInfo& command, const std::vector<std::string>& words,
                      std::int64_t value) {
    std::optional<std::string> named = std::to_string(value);
    if (command.id == CommandId::mount) {
        named = namedCode<elevard::MountCode>(value);
    } else if (command.id == CommandId::unmount) {
        named = namedCode<elevard::UnmountCode>(value);
    }
    if (!named) {
        return malformed("no result code of " + std::string(command.name), std::string());
    }
    Outcome outcome;
    bool success = elevard::integerReplySucceeded(command, words, value);
    outcome.status = success ? kSuccess : kFailure;
    outcome.out = *named + "\n";
    outcome.json = jsonMember("value", std::to_string(value)) + ",";
    if (*named != std::to_string(value)) {
        outcome.json += jsonMember("result", jsonString(named->substr(0, named->find(' ')))) + ",";
    }
    outcome.json += jsonSuccess(success);
    return outcome;
}

Outcome noReply(elevard::ClientError error, const std::string& message) {
    Outcome outcome;
    outcome.status = kNoReply;
    outcome.err = error == elevard::ClientError::closedWithoutReply
                      ? kNoReplyMessage
                      : "elevard-client: " + message + "\n";
    if (error == elevard::ClientError::notConnected &&
        message.find(std::strerror(EACCES)) != std::string::npos) {
        outcome.err +=
            "elevard-client: only root and members of the group quorvath may use the service; "
            "ask an administrator to add your account (usermod -aG quorvath USER) and log in "
            "again\n";
    }
    outcome.json = jsonError(errorName(error), message);
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
            outcome.json =
                jsonMember("devicePath", jsonString(payload)) + "," + jsonSuccess(!payload.empty());
            return outcome;
        case ReplyKind::dmiInfo:
            if (payload.empty()) {
                outcome.status = kFailure;
                outcome.err =
                    "elevard-client: empty reply: the memory inventory could not be "
                    "read\n";
                outcome.json = jsonSuccess(false);
                return outcome;
            }
            return decodeDmiInfo(payload);
        default:
            outcome.status = kSuccess;
            outcome.out = hexDump(payload);
            outcome.json = jsonMember("bytes", jsonString(payload));
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
    outcome.json = jsonMember("bytes", jsonString(stream));
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
        outcome = noReply(elevard::ClientError::closedWithoutReply, "closed without a reply");
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
        outcome.json = jsonError("malformedReply", "not of the command's shape");
    }
    return outcome;
}

std::string helpText() {
    std::string text =
        R"(Usage: elevard-client [--socket PATH] [--timeout SECONDS] [--raw] [--cat] [--json] COMMAND [ARG...]

Sends one command line to the elevard service over its Unix domain socket and shows the reply.
Needs no root rights, only access to the socket.

Options (only before COMMAND: a later word that begins with "--" is refused unless "--"
ended the options):
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
  --json         print each reply as one JSON object on one line, {"command":NAME,...}
                 (see elevard-client(1)); not with --raw or --cat
  -h, --help     print this text
  --version      print the version

COMMAND and the ARGs are joined with single blanks into one line. An ARG that holds whitespace
is sent between single quotes, an empty ARG as ''. The service's syntax has no escapes, so an
ARG that holds both whitespace and a single quote, or that begins with a single quote, cannot
be sent and is refused. A COMMAND that is none of those below, a missing required ARG and an
ARG too many are reported without connecting.

Commands and what is printed for their replies:
)";
    for (const CommandInfo& command : elevard::kCommands) {
        std::string arguments = elevard::usage(command);
        for (const char* name : {command.name, command.alias}) {
            if (name != nullptr) {
                text += std::string("  ") + name + (arguments.empty() ? "" : " ") + arguments +
                        "\n" + wrapped(replyDescription(command.id), 6, 96);
            }
        }
    }
    text += R"(
A listing's entry ends at the first ",SIZE,0," or ",SIZE,1," after its path, so a path may
hold commas unless it holds such a run itself.

Exit status:
  0  the reply says the command succeeded
  1  the reply says the command failed
  2  no usable reply: the connection was refused, or closed before a reply (a malformed
     argument: the service's output says which), the reply was malformed or did not come
     within the timeout; or nothing was sent: COMMAND is unknown, an ARG is missing, too many,
     not a number where one is needed or cannot be sent, or the options are wrong
  3  sent, but the command answers nothing (help, install): the outcome is on the service's
     output, so neither success nor failure is claimed
)";
    return text;
}

std::string versionText() {
    return "elevard-client " ELEVARD_VERSION "\n";
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
