#include "run_modes.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

#include "commands.h"
#include "journal.h"
#include "register_commands.h"
#include "velk/system_commands.h"
#include "velk/system_commands/line_text.h"

using velk::system_commands::detail::escapeControls;

namespace {

// Writes `line` to standard output whole. Every line is written under stdout's lock: on a pipe
// or the journal's stream a write of more than PIPE_BUF bytes may be split, and a line written
// beside it without the lock would then land in its middle.
void printLine(const std::string& line) {
    flockfile(stdout);
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
    funlockfile(stdout);
}

// Reports the outcome `line` of a request: one journal entry when the request came over the
// socket and standard output is the journal, else the line itself when `printed` (a direct
// command prints none). A journal that refuses the entry gets the line on standard output.
void report(const RequestOrigin* origin, const std::string& command, const std::string& line,
            const std::string& result, bool ok, bool printed) {
    if (origin != nullptr && standardOutputIsJournal()) {
        JournalEntry entry;
        entry.message = line.substr(0, line.size() - 1);
        entry.ok = ok;
        entry.command = escapeControls(firstWord(command));
        entry.result = result;
        entry.origin = *origin;
        entry.finished = std::chrono::steady_clock::now();
        if (sendJournalEntry(entry)) {
            return;
        }
    }
    if (printed) {
        printLine(line);
    }
}

}  // namespace

int executeCommand(const CommandsFactory& factory, const std::string& command,
                   velk::kit::ScopedFd socket, const RequestOrigin* origin, ReplyCarrier* carrier) {
    std::shared_ptr<ExecutableCommandContext> context = factory.get(command, std::move(socket));
    if (!context) {
        report(origin, command, "Command " + escapeControls(command, true) + " not found\n",
               "not found", false, true);
        return -1;
    }
    Result result = execute(context, carrier);
    // A client's line must not end the outcome line early nor add one of its own; the newline
    // that ends a line sent from a shell stays.
    report(origin, command,
           escapeControls(shownCommand(context), true) + " --> " + toString(result) + "\n",
           toString(result), result == Result::ok, !isDirect(context));
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
