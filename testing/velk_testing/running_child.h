#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "velk_testing/child_process.h"

namespace velk::testing {

// A child process that keeps running while the test talks to it: its standard output and
// standard error are collected as they come, on demand. Standard input is /dev/null. The child
// is killed with SIGKILL and reaped on destruction if still running, so a failing test never
// leaves it behind. Not thread-safe; move-only is not needed, so neither copy nor move.
class RunningChild {
public:
    RunningChild() = default;
    ~RunningChild();
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;

    // Starts `argv` (argv[0] is a path, not looked up in PATH) with `extraEnv` entries
    // ("NAME=value") added to this process's environment. The child starts with the default
    // broken-pipe disposition and no descriptor of this process but its standard streams. Returns
    // false when already started or the child could not be forked; a failing exec shows as exit
    // status 127.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});

    // Like start(), but the child runs `body` in a copy of this process and exits with the
    // status it returns (an exception leaving `body` exits with 127). For code that must run
    // in a process of its own without being a program, such as a service loop with test
    // commands. Call it while the process has a single thread.
    bool startForked(const std::function<int()>& body);

    // Collects output until standard output (or standard error) holds `text` anywhere since
    // the start, or until `timeout`. Returns whether the text is there.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout);

    // Collects whatever output arrives within `duration`.
    void collectFor(std::chrono::milliseconds duration);

    // Everything collected so far.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    // The child's process id, or -1 before start() and after it was reaped.
    pid_t pid() const { return pid_; }

    // Sends `signal` to the child; false when it is not running or kill failed.
    bool signal(int signal);

    // Waits until the child ends, collecting its output, and reaps it. A child still running
    // after `timeout` is killed with SIGKILL and reported with timedOut set. `out` and `err`
    // of the result hold everything collected since the start. Returns a result with
    // exitStatus -1 when no child is running.
    ChildResult wait(std::chrono::milliseconds timeout);

private:
    // Reads what is available on the open pipes, waiting at most until `deadline`, and stops
    // early once `done()` holds. Returns done().
    template <typename Done>
    bool pump(std::chrono::steady_clock::time_point deadline, Done done);
    void closePipes();
    // Forks a child whose standard input is /dev/null, whose standard output and error are fresh
    // pipes and which holds no other descriptor, and runs `inChild` in it; the child exits with
    // 127 if `inChild` returns.
    bool launch(const std::function<void()>& inChild);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace velk::testing
