#include "service_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velk/system_commands.h"

velk::kit::ScopedFd takeServiceLock(const char* path) {
    velk::kit::ScopedFd lock(::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock.valid()) {
        std::fprintf(stderr, "lock file %s: %s\n", path, std::strerror(errno));
        return {};
    }
    struct stat info {};
    if (fstat(lock.get(), &info) != 0) {
        std::fprintf(stderr, "lock file %s: %s\n", path, std::strerror(errno));
        return {};
    }
    // A file that someone else made could be held open, and so locked, by them for good.
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        std::fprintf(stderr, "lock file %s: not a regular file of user %u\n", path,
                     static_cast<unsigned>(geteuid()));
        return {};
    }
    int result;
    do {
        result = flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
        std::fprintf(stderr, "A service already listens on %s\n",
                     velk::SystemCommands::kDomainSocket);
        return {};
    }
    if (result != 0) {
        std::fprintf(stderr, "lock file %s: %s\n", path, std::strerror(errno));
        return {};
    }
    return lock;
}
