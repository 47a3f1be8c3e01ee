#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "elevard/wire/domain_socket.h"
#include "velk/kit/scoped_fd.h"

// What a command did, and the reply it answers with, if any; the registry sends the reply.
struct CommandOutcome {
    CommandOutcome(Result result) : result(result) {}  // NOLINT: a handler that sends nothing
    CommandOutcome(Result result, elevard::wire::UnsentReply reply)
        : result(result), reply(std::move(reply)) {}

    Result result;
    std::optional<elevard::wire::UnsentReply> reply;
};

// Carries out one command. Called with the whole command line as received (its first word is
// the command name) and the connection's descriptor, or -1 when the command runs directly.
// The handler reads the descriptor's peer at most; it never writes on it nor closes it.
using CommandHandler = std::function<CommandOutcome(const std::string& command, int socket)>;

// Takes over the replies that connections could not take at once and writes them as the
// connections drain. Called from any worker thread.
class ReplyCarrier {
public:
    virtual void carry(elevard::wire::UnsentReply reply) = 0;

protected:
    ~ReplyCarrier() = default;
};

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
    // command meant for the program's own command line; bit i of `secret` marks argument i as
    // one never shown. Returns *this for chaining.
    CommandsFactory& reg(const std::vector<std::string>& names, std::vector<std::string> arguments,
                         CommandHandler handler, bool direct, unsigned secret = 0);

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

// Runs the request's handler with its line and descriptor (-1 when it has no socket), sends
// the handler's reply on the descriptor, then closes its socket, if any. What a non-blocking
// connection cannot take at once goes with a duplicate of the connection to `carrier`; without
// one, a full connection fails the send like any error. A handler that throws counts as
// Result::invalidArgument and sends nothing; its socket is closed all the same. The outcome
// of the send is not looked at: the Result is the handler's.
Result execute(const std::shared_ptr<ExecutableCommandContext>& context,
               ReplyCarrier* carrier = nullptr);

// True when the request's command was registered as direct.
bool isDirect(const std::shared_ptr<ExecutableCommandContext>& context);

// The request's command line as it may be printed: the word given for each argument
// registered as secret (quotes included) is replaced by "****"; everything else, whitespace
// included, is kept as sent.
std::string shownCommand(const std::shared_ptr<ExecutableCommandContext>& context);
