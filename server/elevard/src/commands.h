#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "velk/kit/scoped_fd.h"

// Carries out one command. Called with the whole command line as received (its first word is
// the command name) and the connection's descriptor, or -1 when the command runs directly.
// The handler writes its own reply on the descriptor and never closes it.
using CommandHandler = std::function<Result(const std::string& command, int socket)>;

class CommandContext;
class ExecutableCommandContext;

// The registry of named commands. Filled by one thread at start-up through reg(); afterwards
// only its const members are called, from any number of threads at once.
class CommandsFactory {
public:
    CommandsFactory() = default;
    CommandsFactory(const CommandsFactory&) = delete;
    CommandsFactory& operator=(const CommandsFactory&) = delete;

    // Registers one command under every name in `names`; a name already registered keeps its
    // first binding. `arguments` are the argument names shown by help(); a name of more than
    // four characters starting with "opt_" marks an optional argument. `direct` marks a
    // command meant for the program's own command line. Returns *this for chaining.
    CommandsFactory& reg(const std::vector<std::string>& names, std::vector<std::string> arguments,
                         CommandHandler handler, bool direct);

    // A request bound to `command` and `socket` (none in direct mode), which it then owns; or
    // an empty pointer when the first word of `command` (read from its very first byte) is not
    // a registered name, `socket` having been closed.
    std::shared_ptr<ExecutableCommandContext> get(const std::string& command,
                                                  velk::kit::ScopedFd socket) const;

    // The help text listing every socket command, then every direct command.
    std::string help() const;

private:
    std::unordered_map<std::string, std::shared_ptr<CommandContext>> commands_;
};

// Runs the request's handler with its line and descriptor (-1 when it has no socket), then
// closes its socket, if any. A handler that throws counts as Result::invalidArgument; its
// socket is closed all the same.
Result execute(const std::shared_ptr<ExecutableCommandContext>& context);

// True when the request's command was registered as direct.
bool isDirect(const std::shared_ptr<ExecutableCommandContext>& context);

// The request's command line as it may be printed: the word given for each argument whose
// registered name ends in "password" (quotes included) is replaced by "****"; everything else,
// whitespace included, is kept as sent.
std::string shownCommand(const std::shared_ptr<ExecutableCommandContext>& context);
