#include "commands.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <sstream>
#include <utility>

#include "velk/system_commands/line_text.h"

class CommandContext {
public:
    CommandContext(std::vector<std::string> arguments, CommandHandler handler, bool direct,
                   unsigned secret)
        : arguments(std::move(arguments)),
          handler(std::move(handler)),
          direct(direct),
          secret(secret) {}

    std::vector<std::string> arguments;
    CommandHandler handler;
    bool direct;
    unsigned secret;  // bit i: argument i is never shown
};

class ExecutableCommandContext : public CommandContext {
public:
    ExecutableCommandContext(const CommandContext& context, const std::string& command,
                             velk::kit::ScopedFd socket)
        : CommandContext(context), command(command), socket(std::move(socket)) {}

    std::string command;
    velk::kit::ScopedFd socket;  // none in direct mode
};

namespace {

constexpr size_t kOptionalPrefixLength = 4;  // "opt_"

// The argument list of one command for the help text: "<name> " or "[name] " per argument.
std::string help(const CommandContext& context) {
    std::string text;
    for (const std::string& name : context.arguments) {
        if (name.size() > kOptionalPrefixLength && name.compare(0, 4, "opt_") == 0) {
            text += "[" + name.substr(kOptionalPrefixLength) + "] ";
        } else {
            text += "<" + name + "> ";
        }
    }
    return text;
}

namespace domain_socket = elevard::wire;

// Sends `reply` on `socket`; what a full connection cannot take goes, with a duplicate of the
// connection, to `carrier`.
void deliver(int socket, domain_socket::UnsentReply reply, ReplyCarrier* carrier) {
    if (domain_socket::sendReply(socket, &reply, carrier != nullptr) !=
        domain_socket::Progress::blocked) {
        return;
    }
    // The request closes its own descriptor when the command ends; the reply keeps the
    // connection open through a duplicate until it is out, and holds only what is left of it.
    const size_t written = std::exchange(reply.written, 0);
    const size_t ofHead = std::min(written, reply.head.size());
    reply.head.erase(0, ofHead);
    reply.lengthBytes = reply.head.size();
    if (written > ofHead) {
        reply.bytes = reply.bytes.substr(written - ofHead);
    }
    reply.socket.reset(fcntl(socket, F_DUPFD_CLOEXEC, 0));
    if (!reply.socket.valid()) {
        std::perror(reply.lengthBytes > 0  ? "sendData"
                    : !reply.bytes.empty() ? "write"
                                           : "sendmsg");
        return;
    }
    carrier->carry(std::move(reply));
}

}  // namespace

CommandsFactory& CommandsFactory::reg(const std::vector<std::string>& names,
                                      std::vector<std::string> arguments, CommandHandler handler,
                                      bool direct, unsigned secret) {
    if (names.empty()) {
        return *this;
    }
    auto context =
        std::make_shared<CommandContext>(std::move(arguments), std::move(handler), direct, secret);
    for (const std::string& name : names) {
        commands_.emplace(name, context);
    }
    return *this;
}

std::shared_ptr<ExecutableCommandContext> CommandsFactory::get(const std::string& command,
                                                               velk::kit::ScopedFd socket) const {
    std::string name;
    CommandIterator position = command.begin();
    extractWord(&position, command.end(), &name);
    auto found = commands_.find(name);
    if (found == commands_.end()) {
        return nullptr;
    }
    return std::make_shared<ExecutableCommandContext>(*found->second, command, std::move(socket));
}

std::string CommandsFactory::help() const {
    size_t width = 0;
    for (const auto& [name, context] : commands_) {
        width = std::max(width, name.size());
    }
    ++width;
    std::ostringstream text;
    auto list = [&](bool direct) {
        for (const auto& [name, context] : commands_) {
            if (context->direct == direct) {
                text << ' ' << name << std::string(width - name.size(), ' ') << ::help(*context)
                     << '\n';
            }
        }
    };
    text << "Velk elevard service. Accepts and server Velk Mediaserver tcp requests"
         << " and is called directly in some cases.\n\n"
         << "Supported socket commands:\n";
    list(false);
    text << "\nSupported direct commands:\n";
    list(true);
    return text.str();
}

Result execute(const std::shared_ptr<ExecutableCommandContext>& context, ReplyCarrier* carrier) {
    const int descriptor = context->socket.get();
    Result result;
    try {
        CommandOutcome outcome = context->handler(context->command, descriptor);
        result = outcome.result;
        if (outcome.reply) {
            deliver(descriptor, std::move(*outcome.reply), carrier);
        }
    } catch (const std::exception& error) {
        // A malformed number in the line ends up here; the request fails, the service goes on.
        std::fprintf(stderr, "Command handler failed: %s\n", error.what());
        result = Result::invalidArgument;
    } catch (...) {
        std::fprintf(stderr, "Command handler failed with an unknown exception\n");
        result = Result::invalidArgument;
    }
    // Before the caller prints the outcome line: the client sees the end of the exchange first.
    context->socket.reset();
    return result;
}

bool isDirect(const std::shared_ptr<ExecutableCommandContext>& context) {
    return context->direct;
}

std::string shownCommand(const std::shared_ptr<ExecutableCommandContext>& context) {
    std::string shown;
    const std::string& line = context->command;
    // The words are found the way the command's arguments are read for its handler.
    CommandIterator position = line.begin();
    skipSpaces(&position, line.end());
    advanceWhile(&position, line.end(), isNotSpace);
    CommandIterator copied = line.begin();
    for (size_t index = 0; index < context->arguments.size(); ++index) {
        skipSpaces(&position, line.end());
        if (position == line.end()) {
            break;
        }
        CommandIterator start = position;
        std::optional<std::string> word;
        extractWord(&position, line.end(), &word);
        if ((context->secret >> index & 1u) != 0) {
            shown.append(copied, start);
            shown += velk::system_commands::detail::kMaskedSecret;
            copied = position;
        }
    }
    shown.append(copied, line.end());
    return shown;
}
