#include "velk_testing/run_forked.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velk/kit/scoped_fd.h"

namespace velk::testing {
namespace {

bool writeAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Runs in the child: never returns, so the child cannot fall back into the test runner.
[[noreturn]] void runChildBody(const std::function<std::string()>& body, int fd) {
    try {
        _exit(writeAll(fd, body()) ? 0 : 2);
    } catch (...) {
        _exit(3);
    }
}

}  // namespace

ForkResult runForked(const std::function<std::string()>& body) {
    ForkResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.text = std::string("pipe2: ") + std::strerror(errno);
        return result;
    }
    kit::ScopedFd readEnd(fds[0]);
    kit::ScopedFd writeEnd(fds[1]);
    result.pid = fork();
    if (result.pid < 0) {
        result.text = std::string("fork: ") + std::strerror(errno);
        return result;
    }
    if (result.pid == 0) {
        readEnd.reset();
        runChildBody(body, writeEnd.get());
    }
    writeEnd.reset();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(readEnd.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.text.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (waitpid(result.pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.text += std::string(" (waitpid: ") + std::strerror(errno) + ")";
            return result;
        }
    }
    result.exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

}  // namespace velk::testing
