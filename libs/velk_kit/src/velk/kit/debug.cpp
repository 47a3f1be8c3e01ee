#include "velk/kit/debug.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>

namespace velk::kit::debug {

std::ostream*& stream() {
    static std::ostream* current = &std::cerr;
    return current;
}

namespace detail {

std::string printPrefix(const char* sourceFile) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for CLOCK_REALTIME
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    size_t used = strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    snprintf(stamp + used, sizeof(stamp) - used, ".%03ld", now.tv_nsec / 1000000);

    const char* base = sourceFile == nullptr ? "" : sourceFile;
    if (const char* slash = strrchr(base, '/')) {
        base = slash + 1;
    }
    std::string prefix(stamp);
    prefix += " [";
    prefix += std::to_string(static_cast<long>(syscall(SYS_gettid)));
    prefix += "] ";
    prefix += base;
    prefix += ": ";
    return prefix;
}

}  // namespace detail
}  // namespace velk::kit::debug
