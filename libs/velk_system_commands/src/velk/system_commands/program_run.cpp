#include "velk/system_commands/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/outcome.h"

namespace velk::system_commands::detail {
namespace {

using kit::ScopedFd;
using Clock = std::chrono::steady_clock;

// The process groups of the programs running now. A group is entered before its leader can
// run and left only while the leader is still unreaped, so its id never names a stranger.
struct Registry {
    std::mutex mutex;
    std::set<pid_t> groups;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

// The soft open-file limit of started programs. RLIM_INFINITY until one is recorded, and until
// then they keep the limit of the process.
std::atomic<rlim_t> startingFileLimit{RLIM_INFINITY};

// What the child needs, prepared before fork: after it only async-signal-safe calls are made.
struct Launch {
    std::vector<std::string> candidates;  // the paths tried in turn
    std::vector<char*> argv;
    std::vector<char*> envp;
    bool foreground = false;  // hand the terminal of standard input to the child
    int input = -1;           // with captured output: /dev/null, and the pipe's write end
    int output = -1;
    int report = -1;                  // close-on-exec pipe on which a failed exec writes its errno
    std::optional<rlimit> fileLimit;  // the open-file limits the child gets, if any
};

// The paths the shell would try for `program`: itself when it holds a "/", else each entry of
// PATH in turn, an empty entry standing for the working folder.
std::vector<std::string> candidatesFor(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return {program};
    }
    const char* path = std::getenv("PATH");
    std::string entries = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = entries.find(':', start);
        std::string folder = entries.substr(start, end - start);
        candidates.push_back(folder.empty() ? program : folder + "/" + program);
        if (end == std::string::npos) {
            return candidates;
        }
        start = end + 1;
    }
}

// `fd` moved above the standard streams, which the child's own copies take over; close-on-exec.
ScopedFd aboveStandardStreams(ScopedFd fd) {
    if (!fd.valid() || fd.get() > STDERR_FILENO) {
        return fd;
    }
    return ScopedFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

// Runs in the forked child; never returns.
[[noreturn]] void becomeProgram(const Launch& launch) {
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    if (launch.foreground) {
        // A process outside the terminal's foreground group is stopped by SIGTTOU when it
        // takes the foreground over, unless that signal is blocked.
        sigset_t ttou;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        ::pthread_sigmask(SIG_BLOCK, &ttou, nullptr);
        ::tcsetpgrp(STDIN_FILENO, ::getpid());
    }
    // Ignored signals stay ignored across exec; caught ones would be reset anyway.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            ::sigaction(signal, &defaults, nullptr);  // refused only for glibc's own signals
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
    if (launch.output >= 0) {
        ::dup2(launch.input, STDIN_FILENO);
        ::dup2(launch.output, STDOUT_FILENO);
        ::dup2(launch.output, STDERR_FILENO);
    }
    // Everything else goes, whoever opened it; the report pipe closes itself on exec.
    if (launch.report > STDERR_FILENO + 1) {
        ::close_range(STDERR_FILENO + 1, launch.report - 1, 0);
    }
    ::close_range(launch.report + 1, ~0U, 0);
    if (launch.fileLimit) {
        ::setrlimit(RLIMIT_NOFILE, &*launch.fileLimit);  // lowering the soft limit cannot fail
    }
    int error = ENOENT;
    for (const std::string& candidate : launch.candidates) {
        ::execve(candidate.c_str(), launch.argv.data(), launch.envp.data());
        // As the shell: a later entry may still hold the program.
        if (errno != ENOENT && errno != ENOTDIR) {
            error = errno;
            if (error != EACCES) {
                break;
            }
        }
    }
    while (::write(launch.report, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// Forks the child and enters its group while holding the registry, so that a forced stop sees
// every child. Returns its pid, or -1 with errno set.
pid_t startChild(const Launch& launch) {
    Registry& running = registry();
    std::lock_guard<std::mutex> lock(running.mutex);
    pid_t pid = ::fork();
    if (pid == 0) {
        becomeProgram(launch);
    }
    if (pid > 0) {
        // The child does the same; whichever comes first, the group exists before kill needs
        // it. Fails once the child has exec'd, by which time it has done so itself.
        ::setpgid(pid, pid);
        running.groups.insert(pid);
    }
    return pid;
}

// Waits until `pid` has ended, leaves its group in the registry, then reaps it. Returns the raw
// wait status.
int reap(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    {
        Registry& running = registry();
        std::lock_guard<std::mutex> lock(running.mutex);
        running.groups.erase(pid);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

// Cuts the output into the pieces the callback gets: a line with its newline, or 1023 bytes
// of a longer one; the whole output is kept as well.
class Pieces {
public:
    explicit Pieces(const std::function<void(const char*)>& callback) : callback_(callback) {}

    void add(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            pending_ += data[i];
            if (data[i] == '\n' || pending_.size() == 1023) {
                flush();
            }
        }
    }

    void flush() {
        if (pending_.empty()) {
            return;
        }
        output_ += pending_;
        if (callback_) {
            callback_(pending_.c_str());
        }
        pending_.clear();
    }

    const std::string& output() const { return output_; }

private:
    const std::function<void(const char*)>& callback_;
    std::string pending_;
    std::string output_;
};

// Reads the child's output (when `output` is valid) until it ends and waits until the child
// has ended, both until `deadline`. Returns false when the deadline came first.
bool follow(pid_t pid, const ScopedFd& output, Clock::time_point deadline, Pieces* pieces) {
    // glibc 2.36 declares pidfd_open without C linkage, so its wrapper cannot be linked.
    ScopedFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!exited.valid()) {
        return false;  // nothing tells when it ends: treated as overdue
    }
    bool reading = output.valid();
    bool running = true;
    while (reading || running) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd watched[2] = {{exited.get(), POLLIN, 0}, {output.get(), POLLIN, 0}};
        watched[0].fd = running ? exited.get() : -1;
        watched[1].fd = reading ? output.get() : -1;
        if (::poll(watched, 2, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        running = running && watched[0].revents == 0;
        if (watched[1].revents != 0) {
            char buffer[4096];
            ssize_t got = ::read(output.get(), buffer, sizeof buffer);
            if (got > 0) {
                pieces->add(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                reading = false;
            }
        }
    }
    return true;
}

// The pipe for the child's output (read end, write end), both close-on-exec; invalid ends on
// failure.
std::pair<ScopedFd, ScopedFd> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return {};
    }
    return {ScopedFd(ends[0]), aboveStandardStreams(ScopedFd(ends[1]))};
}

// The open-file limits a started program gets: the recorded soft limit under the hard limit of
// the moment; nothing when none was recorded or the limits cannot be read.
std::optional<rlimit> childFileLimit() {
    const rlim_t soft = startingFileLimit.load();
    rlimit limit{};
    if (soft == RLIM_INFINITY || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    limit.rlim_cur = std::min(soft, limit.rlim_max);
    return limit;
}

}  // namespace

std::string commandFailed(const std::string& shown, int status, const std::string& output) {
    return format("Command % failed with return code %. Output: %", shown, status, output);
}

Outcome<void> runProgram(const ProgramRun& run, const std::function<void(const char*)>& callback) {
    Launch launch;
    launch.candidates = candidatesFor(run.program);
    std::vector<std::string> argv = {run.program};
    argv.insert(argv.end(), run.arguments.begin(), run.arguments.end());
    for (std::string& word : argv) {
        launch.argv.push_back(word.data());
    }
    launch.argv.push_back(nullptr);
    std::vector<std::string> envp = run.environment;
    for (std::string& entry : envp) {
        launch.envp.push_back(entry.data());
    }
    launch.envp.push_back(nullptr);
    launch.foreground = !run.captureOutput && run.takeTerminal && ::isatty(STDIN_FILENO) == 1 &&
                        ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
    launch.fileLimit = childFileLimit();

    Pieces pieces(callback);
    auto failed = [](std::string text) { return Outcome<void>(Failure{std::move(text)}); };
    auto [readOutput, writeOutput] =
        run.captureOutput ? makePipe() : std::pair<ScopedFd, ScopedFd>();
    ScopedFd input = run.captureOutput
                         ? aboveStandardStreams(ScopedFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)))
                         : ScopedFd();
    auto [readReport, writeReport] = makePipe();
    if ((run.captureOutput && (!writeOutput.valid() || !input.valid())) || !writeReport.valid()) {
        return failed(format("Command % could not be started: %", run.shown, systemError(errno)));
    }
    launch.input = input.get();
    launch.output = writeOutput.get();
    launch.report = writeReport.get();
    const Clock::time_point deadline = Clock::now() + run.deadline;
    const pid_t pid = startChild(launch);
    if (pid < 0) {
        return failed(format("Command % could not be started: %", run.shown, systemError(errno)));
    }
    writeOutput.reset();
    writeReport.reset();
    input.reset();

    int execError = 0;
    ssize_t got;
    while ((got = ::read(readReport.get(), &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    const bool started = got != static_cast<ssize_t>(sizeof execError);
    const bool inTime = !started || follow(pid, readOutput, deadline, &pieces);
    if (!inTime) {
        ::kill(-pid, SIGKILL);
    }
    const int status = reap(pid);
    if (launch.foreground) {
        // Back to the service, which is no longer in the foreground and so must not be stopped
        // for taking it.
        sigset_t ttou;
        sigset_t previous;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        ::pthread_sigmask(SIG_BLOCK, &ttou, &previous);
        ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (!started) {
        const std::string reason = run.program + ": " + systemError(execError) + "\n";
        pieces.add(reason.data(), reason.size());
    }
    pieces.flush();
    if (!inTime) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(run.deadline);
        return failed(format("Command % did not end within % s and was killed. Output: %",
                             run.shown, seconds.count(), pieces.output()));
    }
    if (status != 0) {
        return failed(commandFailed(run.shown, status, pieces.output()));
    }
    return {};
}

void recordStartingFileLimit(rlim_t soft) {
    startingFileLimit = soft;
}

void killRunningPrograms() {
    Registry& running = registry();
    // Never unlocked: no program starts any more, and a worker whose program dies here waits in
    // reap instead of answering its client before the process ends.
    running.mutex.lock();
    for (pid_t group : running.groups) {
        ::kill(-group, SIGKILL);  // a group already gone needs nothing
    }
}

}  // namespace velk::system_commands::detail
