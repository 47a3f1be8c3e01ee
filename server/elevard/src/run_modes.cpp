#include "run_modes.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "commands.h"
#include "velk/system_commands/shell_text.h"

using velk::system_commands::detail::escapeControls;

int executeCommand(const CommandsFactory& factory, const std::string& command,
                   velk::kit::ScopedFd socket) {
    std::shared_ptr<ExecutableCommandContext> context = factory.get(command, std::move(socket));
    if (!context) {
        std::printf("Command %s not found\n", escapeControls(command, true).c_str());
        return -1;
    }
    Result result = execute(context);
    if (!isDirect(context)) {
        // A client's line must not end the outcome line early nor add one of its own; the
        // newline that ends a line sent from a shell stays.
        std::printf("%s --> %s\n", escapeControls(shownCommand(context), true).c_str(),
                    toString(result).c_str());
    }
    return result == Result::ok ? 0 : -1;
}

bool setupIds() {
    if (setreuid(geteuid(), geteuid()) != 0) {
        std::perror("setreuid");
        return false;
    }
    if (setregid(getegid(), getegid()) != 0) {
        std::perror("setregid");
        return false;
    }
    return true;
}

std::string makeCommandString(const char** argv) {
    std::string command;
    for (const char** arg = argv + 1; *arg != nullptr; ++arg) {
        command += *arg;
        command += ' ';
    }
    return command;
}

int runDirect(const CommandsFactory& factory, const char** argv) {
    if (!setupIds()) {
        return -1;
    }
    return executeCommand(factory, makeCommandString(argv), velk::kit::ScopedFd());
}
