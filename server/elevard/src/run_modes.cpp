#include "run_modes.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "commands.h"
#include "register_commands.h"
#include "velk/system_commands.h"
#include "velk/system_commands/shell_text.h"

using velk::system_commands::detail::escapeControls;

namespace {

// Writes `line` to standard output whole. Lines up to PIPE_BUF bytes go out in one write, which
// the journal's pipe never mixes with another thread's, and so without stdout's lock, which
// sixteen workers printing at once would contend for on every request; longer lines are written
// under that lock.
void printLine(const std::string& line) {
    const bool locked = line.size() > PIPE_BUF;
    if (locked) {
        flockfile(stdout);
    }
    for (size_t done = 0; done < line.size();) {
        const ssize_t written = write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;  // like printf, a failed outcome line does not fail the command
        }
        done += static_cast<size_t>(written);
    }
    if (locked) {
        funlockfile(stdout);
    }
}

}  // namespace

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
        printLine(escapeControls(shownCommand(context), true) + " --> " + toString(result) + "\n");
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

bool isOptionWord(const char* word) {
    return std::string(word).rfind("--", 0) == 0;
}

int runOption(const char** argv) {
    std::string option = argv[1];
    if (option == "--version") {
        std::printf("elevard %s\n", ELEVARD_VERSION);
        return 0;
    }
    if (option != "--help") {
        std::fprintf(stderr, "elevard: unknown option %s (see elevard --help)\n", option.c_str());
        return -1;
    }
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    std::printf(
        "Usage: elevard                    run the service on %s (as root),\n"
        "                                  until SIGTERM or SIGINT\n"
        "       elevard COMMAND [ARG...]   run one command line once and exit with 0 when it\n"
        "                                  succeeded, 255 otherwise\n"
        "       elevard --help | --version\n\n"
        "Members of the group quorvath talk to the service with elevard-client.\n\n%s",
        velk::SystemCommands::kDomainSocket, factory.help().c_str());
    return 0;
}
