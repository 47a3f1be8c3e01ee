#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "elevard/wire/replies.h"
#include "velk/system_commands.h"
#include "velk/system_commands/outcome.h"

namespace velk {
namespace {

// statvfs64 of `path`; fails with the system's words for the error.
system_commands::Outcome<struct statvfs64> fileSystemOf(const std::string& path) {
    struct statvfs64 info {};
    if (::statvfs64(path.c_str(), &info) != 0) {
        return system_commands::Failure{system_commands::systemError(errno)};
    }
    return info;
}

// The size `count` yields for the file system of `path`, or -1 after printing the failure on
// standard error after `what`, as perror prints.
std::int64_t sizeOf(const std::string& path, const char* what,
                    std::int64_t (*count)(const struct statvfs64&)) {
    const system_commands::Outcome<struct statvfs64> info = fileSystemOf(path);
    if (!info) {
        std::fprintf(stderr, "%s: %s\n", what, info.error().c_str());
        return -1;
    }
    return count(info.value());
}

}  // namespace

std::string StatResult::serialized() const {
    return elevard::wire::encodeStatus({pathExists, type, size});
}

std::int64_t SystemCommands::freeSpace(const std::string& path) {
    return sizeOf(path, "freeSpace: statvfs64 failed:", [](const struct statvfs64& info) {
        return static_cast<std::int64_t>(info.f_bavail * info.f_bsize);
    });
}

std::int64_t SystemCommands::totalSpace(const std::string& path) {
    return sizeOf(path, "totalSpace: statvfs64 failed:", [](const struct statvfs64& info) {
        return static_cast<std::int64_t>(info.f_blocks * info.f_frsize);
    });
}

StatResult SystemCommands::stat(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return StatResult{};
    }
    StatResult result;
    result.pathExists = true;
    if (S_ISDIR(status.st_mode)) {
        result.type = FileType::directory;
    } else if (S_ISREG(status.st_mode)) {
        result.type = FileType::regularFile;
    } else {
        result.type = FileType::other;
    }
    result.size = status.st_size;
    return result;
}

bool SystemCommands::isPathExists(const std::string& path) {
    return stat(path).pathExists;
}

std::int64_t SystemCommands::fileSize(const std::string& path) {
    return stat(path).size;
}

std::string SystemCommands::devicePath(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    std::ifstream partitions("/proc/partitions");
    if (!partitions) {
        return {};
    }
    // Pass over the header line: the table starts at the first digit.
    while (partitions && !std::isdigit(partitions.peek())) {
        partitions.get();
    }
    unsigned int deviceMajor = 0;
    unsigned int deviceMinor = 0;
    std::int64_t blocks = 0;
    std::string name;
    while (partitions >> deviceMajor >> deviceMinor >> blocks >> name) {
        if (deviceMajor == major(status.st_dev) && deviceMinor == minor(status.st_dev)) {
            return "/dev/" + name;
        }
    }
    return {};
}

std::string SystemCommands::serializedFileList(const std::string& path) {
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.c_str()), ::closedir);
    if (!directory) {
        return {};
    }
    std::string separator = path.empty() || path.back() == '/' ? "" : "/";
    std::string list;
    // readdir on a stream of our own is thread-safe; its end and its errors both end the list.
    while (const dirent* entry = ::readdir(directory.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        // The full path is never cut: a cut one would name another file.
        std::string fullPath = path + separator + entry->d_name;
        struct stat status {};
        if (::stat(fullPath.c_str(), &status) != 0) {
            continue;
        }
        const bool isDirectory = S_ISDIR(status.st_mode);
        elevard::wire::appendListEntry(&list, fullPath,
                                       isDirectory ? 0 : static_cast<std::int64_t>(status.st_size),
                                       isDirectory);
    }
    return list;
}

}  // namespace velk
