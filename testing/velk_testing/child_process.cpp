#include "velk_testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace velk::testing {

namespace detail {

void adoptStreams(int in, int out, int err, bool isolate) {
    if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(err, STDERR_FILENO) < 0) {
        _exit(127);
    }
    if (isolate) {
        // A failure only leaves inherited descriptors open, which the program can live with.
        close_range(3, ~0U, 0);
        // An ignored SIGPIPE in the test would otherwise be inherited through exec.
        ::signal(SIGPIPE, SIG_DFL);
    }
}

void execChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
               int in, int out, int err, bool isolate) {
    adoptStreams(in, out, err, isolate);
    for (const std::string& entry : extraEnv) {
        putenv(const_cast<char*>(entry.c_str()));
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

void readAvailable(int* fd, std::string* sink) {
    char buffer[4096];
    ssize_t got = read(*fd, buffer, sizeof buffer);
    if (got > 0) {
        sink->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        close(*fd);  // never retried: the descriptor is gone even on EINTR
        *fd = -1;
    }
}

}  // namespace detail

namespace {

// Drains `fds` into `sinks` until both reach end of stream or `deadline` passes.
bool drain(int fds[2], std::string* sinks[2], std::chrono::steady_clock::time_point deadline) {
    while (fds[0] >= 0 || fds[1] >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfds[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        int ready = poll(pfds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (fds[i] >= 0 && pfds[i].revents != 0) {
                detail::readAvailable(&fds[i], sinks[i]);
            }
        }
    }
    return true;
}

}  // namespace

ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     const std::string& input, int timeoutSeconds) {
    ChildResult result;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
        pipe2(errPipe, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::abort();
    }
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::abort();
    }
    if (pid == 0) {
        detail::execChild(argv, extraEnv, inPipe[0], outPipe[1], errPipe[1], false);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    // Small inputs fit the pipe buffer; a child that ignores its input must not block us.
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty() && write(inPipe[1], input.data(), input.size()) < 0) {
        std::perror("write to child");
    }
    close(inPipe[1]);

    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    if (!drain(fds, sinks, deadline)) {
        result.timedOut = true;
        kill(pid, SIGKILL);
    }
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    return result;
}

}  // namespace velk::testing
