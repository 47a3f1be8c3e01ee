#include "command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "elevard/wire/number_word.h"

namespace elevard_client {
namespace {

using elevard::CommandId;
using elevard::CommandInfo;
using elevard::ReplyKind;

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

// The gloss --help puts after a result code's name and number, or "" for none.
const char* gloss(elevard::MountCode code) {
    switch (code) {
        case elevard::MountCode::success:
            return "mounted";
        case elevard::MountCode::otherError:
            return "refused or another error";
        default:
            return "";
    }
}

const char* gloss(elevard::UnmountCode code) {
    switch (code) {
        case elevard::UnmountCode::success:
            return "unmounted";
        case elevard::UnmountCode::notExists:
            return "no such path";
        case elevard::UnmountCode::otherError:
            return "refused or another error";
        default:
            return "";
    }
}

// Every code of Code by its name and number, as the table names them. The codes run from 0
// without a gap: the first value without a name ends the list.
template <typename Code>
std::string resultCodes() {
    std::string text = "the result's name and number: ";
    for (int value = 0; elevard::codeName(static_cast<Code>(value)) != nullptr; ++value) {
        Code code = static_cast<Code>(value);
        std::string note = gloss(code);
        text += std::string(value == 0 ? "" : ", ") + elevard::codeName(code) + " (" +
                std::to_string(value) + ")" + (note.empty() ? "" : " " + note);
    }
    return text;
}

// When a reply of `command` counts as success, from its row's rule.
std::string successText(const CommandInfo& command) {
    switch (command.success) {
        case elevard::SuccessRule::isOne:
            return "success when it is 1";
        case elevard::SuccessRule::isZero:
            return "success when 0";
        case elevard::SuccessRule::positive:
            return "success when above 0";
        case elevard::SuccessRule::nonNegative:
            return "success when 0 or more";
        case elevard::SuccessRule::equalsAskedFor:
            return std::string("success when it equals <") + command.arguments[1] + ">";
        case elevard::SuccessRule::always:
            return "success whenever a reply came";
        case elevard::SuccessRule::notEmpty:
            return command.reply == ReplyKind::descriptor ? "success when a descriptor arrived"
                   : command.reply == ReplyKind::text     ? "success when it is not empty"
                                                          : "success when the reply is not empty";
    }
    return "";
}

// What --help shows for each command's reply, then what counts as success by the row's rule.
// Every command of the table has its case, so one added without a description fails the build.
std::string replyDescription(const CommandInfo& command) {
    std::string shown;
    std::string note;
    switch (command.id) {
        case CommandId::makeDirectory:
        case CommandId::removePath:
        case CommandId::changeOwner:
        case CommandId::rename:
        case CommandId::exists:
            shown = "the number";
            break;
        case CommandId::setFdLimit:
            shown = "the number";
            note = " (on failure the service answers its own soft limit)";
            break;
        case CommandId::mount:
            shown = resultCodes<elevard::MountCode>();
            break;
        case CommandId::unmount:
            shown = resultCodes<elevard::UnmountCode>();
            break;
        case CommandId::open:
            shown =
                "the path of the received descriptor, with --cat followed by the file's "
                "content";
            note =
                ". <mode> is the numeric open flags (0 read, 1 write, 2 read-write, 64 "
                "create: 66 is read-write and create)";
            break;
        case CommandId::freeSpace:
        case CommandId::totalSpace:
        case CommandId::size:
            shown = "the number of bytes";
            break;
        case CommandId::stat:
            shown = "exists=0|1 type=file|directory|other size=BYTES";
            break;
        case CommandId::list:
            shown = "one line per entry: path TAB size TAB isdir (1 or 0)";
            break;
        case CommandId::devicePath:
            shown = "the device path";
            break;
        case CommandId::dmiInfo:
            shown =
                "a line of part numbers, then a line of serial numbers (the values of each "
                "joined without separator)";
            break;
        case CommandId::install:
            shown =
                "no reply: dpkg runs on the service's side and its output and outcome show "
                "only on the service's output";
            break;
        case CommandId::help:
            shown =
                "no reply: the service prints its help on its own output (elevard help "
                "prints it here)";
            break;
    }
    if (command.reply == ReplyKind::none) {
        return shown + "; exit status 3";
    }
    return shown + "; " + successText(command) + note;
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
                        "\n" + wrapped(replyDescription(command), 6, 96);
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

}  // namespace elevard_client
