#include "register_commands.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
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
#include "velk/system_commands.h"

namespace {

namespace domain_socket = elevard::wire;
using elevard::CommandId;
using elevard::SuccessRule;
using velk::SystemCommands;

Result judged(bool succeeded) {
    return succeeded ? Result::ok : Result::executionFailed;
}

// Whether a reply value says success, by the rule the command table gives its command; the
// client judges the reply it receives by the same rule.
template <typename Value>
bool succeeds(SuccessRule rule, const Value& value) {
    if constexpr (std::is_same_v<Value, std::string>) {
        return rule == SuccessRule::always || !value.empty();
    } else {
        return elevard::integerSucceeded(rule, static_cast<std::int64_t>(value));
    }
}

// Integer replies carry bools as 0 or 1 and result codes with their sign extended. The outcome
// of a send is not looked at: the Result depends on the operation alone.
template <typename Value>
void sendInteger(int socket, Value value) {
    domain_socket::sendInt64(socket, static_cast<long>(value));
}

void sendBytes(int socket, const std::string& bytes) {
    domain_socket::sendBuffer(socket, bytes.data(), static_cast<long>(bytes.size()));
}

// A handler for the commands that take one required word, the path: it hands the path to
// `operation` (a member of SystemCommands or a callable taking the object and the path), sends
// the value with `send` and judges it by `rule`.
template <typename Operation, typename Send>
CommandHandler onPath(SystemCommands* commands, Operation operation, Send send, SuccessRule rule) {
    return [=](const std::string& line, int socket) {
        std::string path;
        if (!parseCommand(line, &path)) {
            return Result::invalidArgument;
        }
        auto value = std::invoke(operation, commands, path);
        send(socket, value);
        return judged(succeeds(rule, value));
    };
}

Result changeOwner(SystemCommands* commands, const std::string& line, int socket) {
    std::string path;
    std::string uid;
    std::string gid;
    std::optional<std::string> recursive;
    if (!parseCommand(line, &path, &uid, &gid, &recursive)) {
        return Result::invalidArgument;
    }
    std::optional<int> gidNumber = elevard::wire::leadingNumber(gid);
    std::optional<int> uidNumber = elevard::wire::leadingNumber(uid);
    if (!gidNumber || !uidNumber) {
        return Result::invalidArgument;
    }
    // Any fourth word asks for a recursive change, whatever it says.
    bool changed = commands->changeOwner(path, *uidNumber, *gidNumber, recursive.has_value());
    sendInteger(socket, changed);
    return judged(changed);
}

Result mount(SystemCommands* commands, const std::string& line, int socket) {
    std::string url;
    std::string path;
    std::optional<std::string> user;
    std::optional<std::string> password;
    if (!parseCommand(line, &url, &path, &user, &password)) {
        return Result::invalidArgument;
    }
    velk::MountCode code = commands->mount(url, path, user, password);
    sendInteger(socket, code);
    return judged(code == velk::MountCode::success);
}

Result rename(SystemCommands* commands, const std::string& line, int socket) {
    std::string source;
    std::string target;
    if (!parseCommand(line, &source, &target)) {
        return Result::invalidArgument;
    }
    bool renamed = commands->rename(source, target);
    sendInteger(socket, renamed);
    return judged(renamed);
}

Result openFile(SystemCommands* commands, const std::string& line, int socket) {
    std::string path;
    std::string mode;
    if (!parseCommand(line, &path, &mode)) {
        return Result::invalidArgument;
    }
    std::optional<int> flags = elevard::wire::leadingNumber(mode);
    if (!flags) {
        return Result::invalidArgument;
    }
    int fd = commands->open(path, *flags);
    // Passed even when negative, which reaches the client as a connection closed without a
    // descriptor; sendFd closes it here either way.
    domain_socket::sendFd(socket, fd);
    return judged(elevard::integerSucceeded(elevard::commandInfo(CommandId::open).success, fd));
}

Result setFdLimit(SystemCommands* commands, const std::string& line, int socket) {
    std::string pid;
    std::string value;
    if (!parseCommand(line, &pid, &value)) {
        return Result::invalidArgument;
    }
    std::optional<int> valueNumber = elevard::wire::leadingNumber(value);
    std::optional<int> pidNumber = elevard::wire::leadingNumber(pid);
    if (!valueNumber || !pidNumber) {
        return Result::invalidArgument;
    }
    // Over the socket the caller is whoever connected; directly, the administrator.
    std::optional<uid_t> caller;
    if (socket >= 0) {
        caller = peerCredentials(socket).uid;
    }
    const SystemCommands::FdLimitOutcome outcome =
        commands->setFdLimitFor(*pidNumber, *valueNumber, caller);
    sendInteger(socket, outcome.reply);
    // A failure answers the service's own soft limit, which may equal the value asked for.
    return outcome.set ? Result::ok : Result::executionFailed;
}

// Installs the package file through SystemCommands::install. Run directly (no socket), dpkg
// takes the terminal's foreground while it runs; sent through the socket it never does, so
// that the service keeps its Ctrl-C. Nothing is written on the connection.
Result install(SystemCommands* commands, const std::string& line, int socket) {
    std::string debPath;
    std::optional<std::string> force;
    if (!parseCommand(line, &debPath, &force)) {
        return Result::invalidArgument;
    }
    return judged(commands->install(debPath, force, socket < 0));
}

// A handler that calls `handler` with the shared object, the line and the socket.
CommandHandler bound(SystemCommands* commands,
                     Result (*handler)(SystemCommands*, const std::string&, int)) {
    return [commands, handler](const std::string& line, int socket) {
        return handler(commands, line, socket);
    };
}

// The handler of the command in `row`. Every command of the table has its case here, so a
// command added to the table without a handler fails the build.
CommandHandler handlerFor(const elevard::CommandInfo& row, SystemCommands* commands,
                          const CommandsFactory& factory) {
    auto statRecord = [](SystemCommands* c, const std::string& path) {
        return c->stat(path).serialized();
    };
    switch (row.id) {
        case CommandId::makeDirectory:
            return onPath(commands, &SystemCommands::makeDirectory, sendInteger<bool>, row.success);
        case CommandId::removePath:
            return onPath(commands, &SystemCommands::removePath, sendInteger<bool>, row.success);
        case CommandId::changeOwner:
            return bound(commands, changeOwner);
        case CommandId::mount:
            return bound(commands, mount);
        case CommandId::rename:
            return bound(commands, rename);
        case CommandId::open:
            return bound(commands, openFile);
        case CommandId::freeSpace:
            return onPath(commands, &SystemCommands::freeSpace, sendInteger<std::int64_t>,
                          row.success);
        case CommandId::totalSpace:
            return onPath(commands, &SystemCommands::totalSpace, sendInteger<std::int64_t>,
                          row.success);
        case CommandId::exists:
            return onPath(commands, &SystemCommands::isPathExists, sendInteger<bool>, row.success);
        case CommandId::stat:
            return onPath(commands, statRecord, sendBytes, row.success);
        case CommandId::list:
            return onPath(commands, &SystemCommands::serializedFileList, sendBytes, row.success);
        case CommandId::devicePath:
            return onPath(commands, &SystemCommands::devicePath, sendBytes, row.success);
        case CommandId::size:
            return onPath(commands, &SystemCommands::fileSize, sendInteger<std::int64_t>,
                          row.success);
        case CommandId::setFdLimit:
            return bound(commands, setFdLimit);
        case CommandId::dmiInfo:
            // Takes no words, so whatever follows the name is ignored.
            return [commands, rule = row.success](const std::string&, int socket) {
                std::string inventory = commands->serializedDmiInfo();
                sendBytes(socket, inventory);
                return judged(succeeds(rule, inventory));
            };
        case CommandId::unmount:
            return onPath(commands, &SystemCommands::unmount, sendInteger<velk::UnmountCode>,
                          row.success);
        case CommandId::install:
            return bound(commands, install);
        case CommandId::help:
            return [&factory](const std::string&, int) {
                std::printf("%s\n", factory.help().c_str());
                std::fflush(stdout);
                return Result::ok;
            };
    }
    return {};
}

}  // namespace

void registerCommands(CommandsFactory& factory, velk::SystemCommands* commands) {
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
        factory.reg(names, std::move(arguments), handlerFor(row, commands, factory), row.direct);
    }
}
