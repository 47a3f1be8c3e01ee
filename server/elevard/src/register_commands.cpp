#include "register_commands.h"

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "commands.h"
#include "elevard/command_table.h"
#include "elevard/wire/domain_socket.h"
#include "elevard/wire/number_word.h"
#include "journal.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/program_run.h"

namespace {

namespace domain_socket = elevard::wire;
using elevard::CodeSet;
using elevard::CommandId;
using elevard::CommandInfo;
using elevard::ReplyKind;
using elevard::SuccessRule;
using velk::SystemCommands;
using velk::kit::ScopedFd;

constexpr std::size_t kMax = elevard::kMaxArguments;

// One command line read by its row of the table, as its handler sees it.
struct Call {
    SystemCommands& commands;
    const CommandsFactory& factory;
    int socket;  // the connection, only to learn who is on it; -1 when run directly
    std::array<std::string, kMax> words = {};
    std::array<bool, kMax> given = {};   // the word was there and not empty
    std::array<int, kMax> numbers = {};  // the leading number of each numeric argument

    const std::string& word(std::size_t i) const { return words[i]; }
    std::optional<std::string> optional(std::size_t i) const {
        return given[i] ? std::optional<std::string>(words[i]) : std::nullopt;
    }
};

// An integer the operation judged itself: the row's rule is how the client reads it, but the
// operation knows better (setFdLimit answers a failure with a limit that may equal the one
// asked for).
struct Judged {
    std::int64_t value;
    bool succeeded;
};

// Reads the words after the command name of `line` into `call` by `row`: its required words
// (an empty quoted word counts), then its optional ones (an empty word counts as not given,
// and so does every one after the end of the line), then its numbers. Words past the row's
// arguments are ignored. False when a required word is missing or a number is not one.
bool parse(const CommandInfo& row, const std::string& line, Call* call) {
    CommandIterator position = line.begin();
    skipSpaces(&position, line.end());
    advanceWhile(&position, line.end(), isNotSpace);
    for (std::size_t i = 0; i < kMax && row.arguments[i] != nullptr; ++i) {
        skipSpaces(&position, line.end());
        if (position == line.end()) {
            if (static_cast<int>(i) < row.requiredArguments) {
                return false;
            }
            break;
        }
        extractWord(&position, line.end(), &call->words[i]);
        call->given[i] = !call->words[i].empty();
    }
    for (std::size_t i = 0; i < kMax; ++i) {
        if ((row.numericArguments >> i & 1u) != 0) {
            std::optional<int> number = elevard::wire::leadingNumber(call->words[i]);
            if (!number) {
                return false;
            }
            call->numbers[i] = *number;
        }
    }
    return true;
}

// Whether a handler returning Value may serve `row`: the reply kind (and for an integer the
// set of codes it carries) decides the type; a command without a reply says whether it
// succeeded.
template <typename Value>
constexpr bool fits(const CommandInfo& row) {
    switch (row.reply) {
        case ReplyKind::integer:
            switch (row.codes) {
                case CodeSet::mount:
                    return std::is_same_v<Value, velk::MountCode>;
                case CodeSet::unmount:
                    return std::is_same_v<Value, velk::UnmountCode>;
                case CodeSet::none:
                    return std::is_same_v<Value, bool> || std::is_same_v<Value, std::int64_t> ||
                           std::is_same_v<Value, Judged>;
            }
            return false;
        case ReplyKind::stat:
        case ReplyKind::list:
        case ReplyKind::text:
        case ReplyKind::dmiInfo:
            return std::is_same_v<Value, std::string>;
        case ReplyKind::descriptor:
            return std::is_same_v<Value, ScopedFd>;
        case ReplyKind::none:
            return std::is_same_v<Value, bool>;
    }
    return false;
}

// Whether `value` says success by the row's rule; the client reads the reply by the same rule.
template <typename Value>
bool succeeded(const CommandInfo& row, const Call& call, const Value& value) {
    if constexpr (std::is_same_v<Value, Judged>) {
        return value.succeeded;
    } else if constexpr (std::is_same_v<Value, std::string>) {
        return row.success == SuccessRule::always || !value.empty();
    } else if constexpr (std::is_same_v<Value, ScopedFd>) {
        return elevard::integerSucceeded(row.success, value.get());
    } else {
        return row.reply == ReplyKind::none
                   ? static_cast<bool>(value)
                   : elevard::integerSucceeded(row.success, static_cast<std::int64_t>(value),
                                               call.numbers[1]);
    }
}

// The reply that carries `value`. Integer replies carry bools as 0 or 1 and result codes with
// their sign extended.
template <typename Value>
domain_socket::UnsentReply replyOf(Value value) {
    if constexpr (std::is_same_v<Value, Judged>) {
        return domain_socket::integerReply(static_cast<long>(value.value));
    } else if constexpr (std::is_same_v<Value, std::string>) {
        return domain_socket::bufferReply(std::move(value));
    } else if constexpr (std::is_same_v<Value, ScopedFd>) {
        // Passed even when there is none, which reaches the client as a connection closed
        // without a descriptor.
        return domain_socket::descriptorReply(std::move(value));
    } else {
        return domain_socket::integerReply(static_cast<long>(value));
    }
}

// The typed function of each command: what it does with the words its row read. Every row
// needs one: a command without it fails the build in adapter().
template <CommandId id>
auto handle(const Call& call);

template <>
auto handle<CommandId::makeDirectory>(const Call& call) {
    return call.commands.makeDirectory(call.word(0));
}

template <>
auto handle<CommandId::removePath>(const Call& call) {
    return call.commands.removePath(call.word(0));
}

template <>
auto handle<CommandId::changeOwner>(const Call& call) {
    // Any fourth word asks for a recursive change, whatever it says.
    return call.commands.changeOwner(call.word(0), call.numbers[1], call.numbers[2], call.given[3]);
}

template <>
auto handle<CommandId::mount>(const Call& call) {
    return call.commands.mount(call.word(0), call.word(1), call.optional(2), call.optional(3));
}

template <>
auto handle<CommandId::rename>(const Call& call) {
    return call.commands.rename(call.word(0), call.word(1));
}

template <>
auto handle<CommandId::open>(const Call& call) {
    return ScopedFd(call.commands.open(call.word(0), call.numbers[1]));
}

template <>
auto handle<CommandId::freeSpace>(const Call& call) {
    return call.commands.freeSpace(call.word(0));
}

template <>
auto handle<CommandId::totalSpace>(const Call& call) {
    return call.commands.totalSpace(call.word(0));
}

template <>
auto handle<CommandId::exists>(const Call& call) {
    return call.commands.isPathExists(call.word(0));
}

template <>
auto handle<CommandId::stat>(const Call& call) {
    return call.commands.stat(call.word(0)).serialized();
}

template <>
auto handle<CommandId::list>(const Call& call) {
    return call.commands.serializedFileList(call.word(0));
}

template <>
auto handle<CommandId::devicePath>(const Call& call) {
    return call.commands.devicePath(call.word(0));
}

template <>
auto handle<CommandId::size>(const Call& call) {
    return call.commands.fileSize(call.word(0));
}

template <>
auto handle<CommandId::setFdLimit>(const Call& call) {
    // Over the socket the caller is whoever connected; directly, the administrator.
    std::optional<uid_t> caller;
    if (call.socket >= 0) {
        caller = peerCredentials(call.socket).uid;
    }
    const SystemCommands::FdLimitOutcome outcome =
        call.commands.setFdLimitFor(call.numbers[0], call.numbers[1], caller);
    return Judged{outcome.reply, outcome.set};
}

template <>
auto handle<CommandId::dmiInfo>(const Call& call) {
    return call.commands.serializedDmiInfo();
}

template <>
auto handle<CommandId::unmount>(const Call& call) {
    return call.commands.unmount(call.word(0));
}

template <>
auto handle<CommandId::install>(const Call& call) {
    // Run directly (no socket), dpkg takes the terminal's foreground while it runs; sent
    // through the socket it never does, so that the service keeps its Ctrl-C.
    return call.commands.install(call.word(0), call.optional(1), call.socket < 0);
}

template <>
auto handle<CommandId::help>(const Call& call) {
    std::printf("%s\n", call.factory.help().c_str());
    std::fflush(stdout);
    return true;
}

// The handler of the command `id`: reads the line by its row, runs its typed function, judges
// the value by the row's rule and answers with the reply of the row's kind.
template <CommandId id>
CommandHandler adapter(SystemCommands* commands, const CommandsFactory& factory) {
    using Value = decltype(handle<id>(std::declval<const Call&>()));
    static_assert(fits<Value>(elevard::commandInfo(id)),
                  "the handler's return type does not match its row's reply");
    return [commands, &factory](const std::string& line, int socket) -> CommandOutcome {
        const CommandInfo& row = elevard::commandInfo(id);
        Call call{*commands, factory, socket};
        if (!parse(row, line, &call)) {
            return Result::invalidArgument;
        }
        Value value = handle<id>(call);
        const Result result = succeeded(row, call, value) ? Result::ok : Result::executionFailed;
        if constexpr (elevard::commandInfo(id).reply == ReplyKind::none) {
            return result;
        } else {
            return {result, replyOf(std::move(value))};
        }
    };
}

template <std::size_t... index>
std::array<CommandHandler, sizeof...(index)> adapters(SystemCommands* commands,
                                                      const CommandsFactory& factory,
                                                      std::index_sequence<index...>) {
    return {adapter<static_cast<CommandId>(index)>(commands, factory)...};
}

}  // namespace

void registerCommands(CommandsFactory& factory, velk::SystemCommands* commands) {
    std::array<CommandHandler, elevard::kCommands.size()> handlers =
        adapters(commands, factory, std::make_index_sequence<elevard::kCommands.size()>());
    for (const elevard::CommandInfo& row : elevard::kCommands) {
        std::vector<std::string> names = {row.name};
        if (row.alias != nullptr) {
            names.push_back(row.alias);
        }
        std::vector<std::string> arguments;
        for (const char* argument : row.arguments) {
            if (argument != nullptr) {
                arguments.push_back(argument);
            }
        }
        factory.reg(names, std::move(arguments),
                    std::move(handlers[static_cast<std::size_t>(row.id)]), row.direct, row.secret);
    }
}
