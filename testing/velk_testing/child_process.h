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

// Runs `argv` to its end as a RunningChild started with `argv` and `extraEnv`, and hands back
// what it left. Kills the child with SIGKILL when it runs past `timeoutSeconds`; that only
// guards against hangs. Blocks until the child has ended and been reaped. A child that could
// not be forked gives exitStatus -1, one that could not be run 127.
ChildResult runChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv = {}, int timeoutSeconds = 60);

}  // namespace velk::testing
