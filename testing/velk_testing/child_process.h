#pragma once

#include <string>
#include <vector>

namespace velk::testing {

// What a finished child process left behind.
struct ChildResult {
    int exitStatus = -1;  // the exit code, or -1 when the child did not exit normally
    int termSignal = 0;   // the signal that ended it, or 0
    bool timedOut = false;
    std::string out;  // everything it wrote to standard output
    std::string err;  // everything it wrote to standard error
};

// Runs `argv` (argv[0] is a path, not looked up in PATH) with `extraEnv` entries
// ("NAME=value") added to this process's environment and `input` on its standard input.
// Kills the child with SIGKILL when it runs past `timeoutSeconds`; that only guards against
// hangs. Blocks until the child has ended and been reaped.
ChildResult runChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv = {}, const std::string& input = "",
                     int timeoutSeconds = 60);

// Shared by runChild and RunningChild; not meant for tests themselves.
namespace detail {

// In a child just forked: makes `in`, `out` and `err` its standard streams. With `isolate`,
// every other descriptor is closed and the broken-pipe signal gets its default disposition, so
// nothing the test process set up reaches what the child runs. Exits with status 127 when a
// stream cannot be set up.
void adoptStreams(int in, int out, int err, bool isolate);

// In a child just forked: adoptStreams, then adds `extraEnv` ("NAME=value") to its environment
// and executes `argv` (argv[0] is a path). Exits with status 127 when a stream cannot be set
// up or the program cannot be run; never returns.
[[noreturn]] void execChild(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnv, int in, int out, int err,
                            bool isolate);

// Appends what `*fd` has ready to `sink` with one read. At end of stream or on a read error
// other than EINTR, closes `*fd` and sets it to -1.
void readAvailable(int* fd, std::string* sink);

}  // namespace detail

}  // namespace velk::testing
