#include "run_modes.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

#include "commands.h"

int executeCommand(const CommandsFactory& factory, const std::string& command,
                   velk::kit::ScopedFd socket) {
    std::shared_ptr<ExecutableCommandContext> context = factory.get(command, std::move(socket));
    if (!context) {
        std::printf("Command %s not found\n", command.c_str());
        return -1;
    }
    Result result = execute(context);
    if (!isDirect(context)) {
        std::printf("%s --> %s\n", shownCommand(context).c_str(), toString(result).c_str());
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
