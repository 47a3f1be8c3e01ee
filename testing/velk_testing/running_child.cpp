#include "velk_testing/running_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace velk::testing {
namespace {

using Clock = std::chrono::steady_clock;

// How often wait() looks whether the child has ended.
constexpr std::chrono::milliseconds kReapPoll{10};

// Appends what `*fd` has ready to `sink` with one read. At end of stream or on a read error
// other than EINTR, closes `*fd` and sets it to -1.
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

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

RunningChild::~RunningChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait(std::chrono::seconds(30));
    }
    closePipes();
}

bool RunningChild::start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv) {
    if (argv.empty()) {
        return false;
    }
    return launch([&] {
        for (const std::string& entry : extraEnv) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
    });
}

bool RunningChild::startForked(const std::function<int()>& body) {
    return launch([&] {
        int status = 127;
        try {
            status = body();
        } catch (...) {
        }
        _exit(status);
    });
}

bool RunningChild::launch(const std::function<void()>& inChild) {
    if (pid_ > 0) {
        return false;
    }
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return false;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    // Whatever this process still buffers would otherwise be written twice.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // A failed open makes dup2 fail, and the child exit with 127.
        if (dup2(open("/dev/null", O_RDONLY), STDIN_FILENO) < 0 ||
            dup2(outPipe[1], STDOUT_FILENO) < 0 || dup2(errPipe[1], STDERR_FILENO) < 0) {
            _exit(127);
        }
        // Nothing the test process set up may reach the child. A failure only leaves inherited
        // descriptors open, which the program can live with; an ignored SIGPIPE would otherwise
        // be inherited through exec.
        close_range(3, ~0U, 0);
        ::signal(SIGPIPE, SIG_DFL);
        inChild();
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (pid < 0) {
        std::perror("fork");
        closePipes();
        return false;
    }
    pid_ = pid;
    out_.clear();
    err_.clear();
    return true;
}

template <typename Done>
bool RunningChild::pump(Clock::time_point deadline, Done done) {
    while (!done() && (outFd_ >= 0 || errFd_ >= 0)) {
        pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
        int ready = poll(fds, 2, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        int* owners[2] = {&outFd_, &errFd_};
        std::string* sinks[2] = {&out_, &err_};
        for (int i = 0; i < 2; ++i) {
            if (*owners[i] >= 0 && fds[i].revents != 0) {
                readAvailable(owners[i], sinks[i]);
            }
        }
    }
    return done();
}

bool RunningChild::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return pump(Clock::now() + timeout, [&] { return out_.find(text) != std::string::npos; });
}

bool RunningChild::waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    return pump(Clock::now() + timeout, [&] { return err_.find(text) != std::string::npos; });
}

void RunningChild::collectFor(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    pump(deadline, [&] { return Clock::now() >= deadline; });
}

bool RunningChild::signal(int signal) {
    return pid_ > 0 && kill(pid_, signal) == 0;
}

ChildResult RunningChild::wait(std::chrono::milliseconds timeout) {
    ChildResult result;
    if (pid_ <= 0) {
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    pid_t reaped = 0;
    // Output pipes may stay open after the child ends (a grandchild can hold them), so the
    // child's end is watched directly and the pipes are only drained meanwhile.
    while ((reaped = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        if (outFd_ < 0 && errFd_ < 0) {
            std::this_thread::sleep_for(kReapPoll);
        } else {
            pump(std::min(deadline, Clock::now() + kReapPoll), [] { return false; });
        }
    }
    if (reaped == 0) {
        result.timedOut = true;
        kill(pid_, SIGKILL);
    }
    if (reaped <= 0) {
        while ((reaped = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    // Whatever the child wrote before it ended is already in the pipes.
    pump(Clock::now(), [] { return false; });
    if (reaped > 0 && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (reaped > 0 && WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    result.out = out_;
    result.err = err_;
    return result;
}

void RunningChild::closePipes() {
    for (int* fd : {&outFd_, &errFd_}) {
        if (*fd >= 0) {
            close(*fd);  // never retried: the descriptor is gone even on EINTR
            *fd = -1;
        }
    }
}

}  // namespace velk::testing
