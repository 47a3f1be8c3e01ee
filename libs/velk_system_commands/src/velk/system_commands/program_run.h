#pragma once

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "velk/system_commands/outcome.h"

// Outside programs started without a shell: an argument vector, an explicit environment, a
// process group of their own and a deadline.
namespace velk::system_commands::detail {

// The search path given to programs when the service was given none.
inline constexpr const char* kDefaultPath =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// One run of an outside program.
struct ProgramRun {
    // A name without "/" is looked up on the service's own PATH as the shell would; a path is
    // run as it is.
    std::string program;
    std::vector<std::string> arguments;    // what follows the program's name in its argv
    std::vector<std::string> environment;  // the child's whole environment, "NAME=value"
    // After this long the child's process group is killed and the run fails.
    std::chrono::milliseconds deadline{30000};
    // How failure texts show the command, so that what must stay unseen (a password) does.
    std::string shown;
    // true: standard input is /dev/null, standard output and error are read by the caller.
    // false: the child shares the service's three standard streams.
    bool captureOutput = true;
    // Without captureOutput: the child takes the terminal's foreground while it runs, when the
    // process had it. Only for a program run on behalf of the one at the terminal.
    bool takeTerminal = false;
};

// Records `soft` as the soft open-file limit that every program started from now on gets,
// whatever limit the process itself has then (a limit above the hard one at that moment gives
// the hard one). Meant for the service, before it raises its own limit; until it is called,
// programs inherit the process's limit. Thread-safe.
void recordStartingFileLimit(rlim_t soft);

// The failure text of a command that ended with the raw wait status `status`:
// "Command <shown> failed with return code <status>. Output: <output>".
std::string commandFailed(const std::string& shown, int status, const std::string& output);

// Runs `run` and waits for it. The child gets a process group of its own, no descriptor but its
// three standard streams, no blocked signal, default signal actions and the recorded soft
// open-file limit. With captureOutput, each piece of its standard output and error (a line with
// its newline, or at most 1023 bytes of a longer line) is passed to `callback`, if set, on this
// thread; the pointer is valid only during that call. Succeeds when the program ended with
// status 0 before the deadline. Otherwise fails with commandFailed's text (a program that could
// not be started ends with status 127 and its output names the reason), "Command <shown> did
// not end within <n> s and was killed. Output: <output>" or "Command <shown> could not be
// started: <reason>". Thread-safe; after killRunningPrograms it never returns (the process is
// about to end).
Outcome<void> runProgram(const ProgramRun& run, const std::function<void(const char*)>& callback);

// Kills the process group of every program still running. For the service's forced stop, just
// before the process ends: the children would outlive it. From then on runProgram blocks for
// good in every thread, so no program starts and no killed one is answered for. Blocks while
// another thread is starting or reaping a program, never longer.
void killRunningPrograms();

}  // namespace velk::system_commands::detail
