#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <utility>

#include "velk/kit/debug.h"
#include "velk/system_commands.h"
#include "velk/system_commands/path_forms.h"
#include "velk/system_commands/shell_text.h"
#include "velk/system_commands/system_commands_ini.h"

namespace velk {

using system_commands::detail::escapeSingleQuotes;
using system_commands::detail::format;

namespace {

// Writes one diagnostic line (prefix, the parts, end of line with flush) to the kit's debug
// stream while enableOutput is on. The line is built first and written under a lock, so lines
// of concurrent workers neither interleave nor race on the stream.
template <typename... Parts>
void writeDiagnostic(const Parts&... parts) {
    if (!ini().enableOutput) {
        return;
    }
    std::ostringstream message;
    (message << ... << parts);
    static std::mutex streamMutex;
    std::lock_guard<std::mutex> lock(streamMutex);
    std::ostream* out = kit::debug::stream();
    if (out != nullptr) {
        *out << kit::debug::detail::printPrefix(__FILE__) << message.str() << std::endl;
    }
}

// The rules applied to each form of a path: the root, the system's top-level directories as
// plain prefixes, and the configuration folder as an exception.
bool isForbiddenForOwnership(const std::string& path) {
    static const std::set<std::string> kForbiddenOwnershipPaths = {"/"};
    static const std::set<std::string> kForbiddenOwnershipPrefixes = {
        "/bin",  "/boot", "/cdrom", "/dev",  "/etc", "/lib", "/lib64", "/proc",
        "/root", "/run",  "/sbin",  "/snap", "/srv", "/sys", "/usr",   "/var"};
    if (path.rfind("/etc/velk_ini", 0) == 0) {
        return false;
    }
    if (kForbiddenOwnershipPaths.count(path) != 0) {
        return true;
    }
    for (const std::string& prefix : kForbiddenOwnershipPrefixes) {
        if (path.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// statvfs64 of `path` into `*info`; on failure prints `failure` with perror and returns false.
bool fileSystemOf(const std::string& path, struct statvfs64* info, const char* failure) {
    if (::statvfs64(path.c_str(), info) != 0) {
        std::perror(failure);
        return false;
    }
    return true;
}

// A path as one single-quoted shell word.
std::string quoted(const std::string& path) {
    return "'" + escapeSingleQuotes(path) + "'";
}

}  // namespace

const char* const SystemCommands::kDomainSocket = "/tmp/quorvath_syscmd_socket3f64fa";

std::string StatResult::serialized() const {
    std::string bytes(16, '\0');
    bytes[0] = pathExists ? 1 : 0;
    std::int32_t typeValue = static_cast<std::int32_t>(type);
    std::memcpy(bytes.data() + 4, &typeValue, sizeof(typeValue));
    std::memcpy(bytes.data() + 8, &size, sizeof(size));
    return bytes;
}

std::string SystemCommands::lastError() const {
    std::lock_guard<std::mutex> lock(lastErrorMutex_);
    return lastError_;
}

void SystemCommands::setLastError(std::string text) {
    std::lock_guard<std::mutex> lock(lastErrorMutex_);
    lastError_ = std::move(text);
}

bool SystemCommands::execute(const std::string& command, std::function<void(const char*)> callback,
                             std::string* failure) {
    auto fail = [&](std::string text) {
        if (failure != nullptr) {
            *failure = text;
        }
        setLastError(std::move(text));
        return false;
    };
    // The shell would see the line only up to a NUL byte, which is another command.
    if (command.find('\0') != std::string::npos) {
        return fail(format("popen for % has failed", command));
    }
    // "e": the read end is close-on-exec, so shells started by other workers at the same time
    // do not inherit it and keep this command's output open.
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "re");
    if (pipe == nullptr) {
        return fail(format("popen for % has failed", command));
    }
    std::string output;
    char buffer[1024];
    for (;;) {
        if (std::fgets(buffer, sizeof(buffer), pipe) == nullptr) {
            if (std::ferror(pipe) && errno == EINTR) {
                std::clearerr(pipe);
                continue;
            }
            break;
        }
        output += buffer;
        if (callback) {
            callback(buffer);
        }
    }
    // pclose waits for the shell and retries that wait on EINTR itself.
    int status = ::pclose(pipe);
    if (status == 0) {
        return true;
    }
    return fail(format("Command % failed with return code %. Output: %", command, status, output));
}

bool SystemCommands::checkOwnerPermissions(const std::string& path) {
    // A relative path would be judged against this service's working directory; a NUL byte
    // would let the guard see a different path than the kernel and the shell.
    bool allowed = !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos &&
                   !isForbiddenForOwnership(system_commands::detail::normalizePath(path));
    if (allowed) {
        std::optional<std::string> resolved = system_commands::detail::resolveLinks(path);
        allowed = resolved && !isForbiddenForOwnership(*resolved);
    }
    if (!allowed) {
        setLastError(format("% is forbidden for chown", path));
    }
    return allowed;
}

bool SystemCommands::changeOwner(const std::string& path, int uid, int gid, bool recursive) {
    if (!checkOwnerPermissions(path)) {
        return false;
    }
    std::ostringstream line;
    line << "chown " << (recursive ? "-R " : "") << uid << ":" << gid << " " << quoted(path);
    return execute(line.str(), {});
}

bool SystemCommands::makeDirectory(const std::string& path) {
    if (!checkOwnerPermissions(path)) {
        return false;
    }
    return execute("mkdir -p " + quoted(path), {});
}

bool SystemCommands::removePath(const std::string& path) {
    if (!checkOwnerPermissions(path)) {
        return false;
    }
    return execute("rm -rf " + quoted(path), {});
}

bool SystemCommands::rename(const std::string& source, const std::string& target) {
    if (!checkOwnerPermissions(source) || !checkOwnerPermissions(target)) {
        return false;
    }
    return ::rename(source.c_str(), target.c_str()) == 0;
}

int SystemCommands::open(const std::string& path, int flags) {
    // Close-on-exec keeps the descriptor out of shells that other workers start before the
    // caller has passed it on; the receiving process gets its own flags either way.
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0660);
    if (fd < 0) {
        std::perror("open");
    }
    return fd;
}

std::int64_t SystemCommands::freeSpace(const std::string& path) {
    struct statvfs64 info {};
    if (!fileSystemOf(path, &info, "freeSpace: statvfs64 failed:")) {
        return -1;
    }
    return static_cast<std::int64_t>(info.f_bavail * info.f_bsize);
}

std::int64_t SystemCommands::totalSpace(const std::string& path) {
    struct statvfs64 info {};
    if (!fileSystemOf(path, &info, "totalSpace: statvfs64 failed:")) {
        return -1;
    }
    return static_cast<std::int64_t>(info.f_blocks * info.f_frsize);
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
        bool isDirectory = S_ISDIR(status.st_mode);
        list += fullPath;
        list += ',';
        list += std::to_string(isDirectory ? 0 : static_cast<std::int64_t>(status.st_size));
        list += ',';
        list += isDirectory ? "1," : "0,";
    }
    return list;
}

int SystemCommands::setFdLimit(int pid, int value) {
    rlimit limit{};
    limit.rlim_cur = static_cast<rlim_t>(static_cast<std::int64_t>(value));
    limit.rlim_max = limit.rlim_cur;
    rlimit own{};
    if (::getrlimit(RLIMIT_NOFILE, &own) != 0) {
        writeDiagnostic("getrlimit failed. pid: ", pid, ", value: ", value);
        return -1;
    }
    // prlimit takes pid 0 as the calling process: a client could lower the service's own limit.
    bool set = pid > 0 && ::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr) == 0;
    if (!set) {
        writeDiagnostic("prlimit failed. pid: ", pid, " value: ", value);
        return static_cast<int>(own.rlim_cur);
    }
    writeDiagnostic("prlimit succeeded. pid: ", pid, " value: ", value);
    return value;
}

}  // namespace velk
