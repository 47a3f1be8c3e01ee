#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/diagnostics.h"

namespace velk {

using system_commands::detail::writeDiagnostic;

namespace {

// The real uid of the process whose /proc folder is open as `process`, from its status file;
// none when it cannot be read, the process having ended among other reasons.
std::optional<uid_t> realUidOf(int process) {
    if (process < 0) {
        return std::nullopt;
    }
    kit::ScopedFd status(::openat(process, "status", O_RDONLY | O_CLOEXEC));
    char text[4096];
    ssize_t size = -1;
    if (status.valid()) {
        do {
            size = ::read(status.get(), text, sizeof text - 1);
        } while (size < 0 && errno == EINTR);
    }
    if (size <= 0) {
        return std::nullopt;
    }
    text[size] = '\0';
    const char* line = std::strstr(text, "\nUid:\t");
    unsigned long uid = 0;
    if (line == nullptr || std::sscanf(line + 6, "%lu", &uid) != 1) {
        return std::nullopt;
    }
    return static_cast<uid_t>(uid);
}

// True when `pid` may name the service's own process: its id or the id of one of its threads,
// which prlimit takes for the whole process. When the thread list cannot be read, that cannot
// be ruled out.
bool isOwnProcess(int pid) {
    if (pid == ::getpid()) {
        return true;
    }
    kit::ScopedFd threads(::open("/proc/self/task", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    return !threads.valid() ||
           ::fstatat(threads.get(), std::to_string(pid).c_str(), &status, 0) == 0 ||
           errno != ENOENT;
}

}  // namespace

int SystemCommands::setFdLimit(int pid, int value) {
    return setFdLimitFor(pid, value, std::nullopt).reply;
}

SystemCommands::FdLimitOutcome SystemCommands::setFdLimitFor(int pid, int value,
                                                             std::optional<uid_t> caller) {
    rlimit limit{};
    limit.rlim_cur = static_cast<rlim_t>(static_cast<std::int64_t>(value));
    limit.rlim_max = limit.rlim_cur;
    rlimit own{};
    if (::getrlimit(RLIMIT_NOFILE, &own) != 0) {
        writeDiagnostic("getrlimit failed. pid: ", pid, ", value: ", value);
        return {-1, false};
    }
    const FdLimitOutcome failed{static_cast<int>(own.rlim_cur), false};
    // prlimit takes pid 0 as the calling process. A limit cut on the service's own process would
    // stop it from accepting or starting anything.
    if (pid <= 0 || isOwnProcess(pid)) {
        writeDiagnostic("prlimit failed. pid: ", pid, " value: ", value);
        return failed;
    }
    // Held while the owner is judged and the limit set: once the process is gone, and its pid
    // perhaps another's, reads through it fail.
    kit::ScopedFd process;
    if (caller && *caller != 0) {
        process.reset(
            ::open(("/proc/" + std::to_string(pid)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const std::optional<uid_t> owner = realUidOf(process.get());
        if (owner != caller) {
            writeDiagnostic("setFdLimit refused. pid: ", pid, " caller uid: ", *caller,
                            " target uid: ", owner ? std::to_string(*owner) : "unknown");
            return failed;
        }
    }
    bool set = ::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr) == 0;
    // A process that ended before prlimit could have left its pid to another one.
    if (set && process.valid() && realUidOf(process.get()) != caller) {
        set = false;
    }
    if (!set) {
        writeDiagnostic("prlimit failed. pid: ", pid, " value: ", value);
        return failed;
    }
    writeDiagnostic("prlimit succeeded. pid: ", pid, " value: ", value);
    return {value, true};
}

}  // namespace velk
