#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <utility>

#include "velk/kit/debug.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/dmi_lines.h"
#include "velk/system_commands/mount_params.h"
#include "velk/system_commands/mount_staging.h"
#include "velk/system_commands/path_forms.h"
#include "velk/system_commands/path_walk.h"
#include "velk/system_commands/program_run.h"
#include "velk/system_commands/shell_text.h"
#include "velk/system_commands/system_commands_ini.h"
#include "velk/system_commands/tree_changes.h"

namespace velk {

using system_commands::detail::changeTreeOwner;
using system_commands::detail::format;
using system_commands::detail::isJudgeablePath;
using system_commands::detail::isOtherMount;
using system_commands::detail::kLinkedFile;
using system_commands::detail::kOtherMount;
using system_commands::detail::LastLink;
using system_commands::detail::makeMountCommand;
using system_commands::detail::mountOptions;
using system_commands::detail::MountParams;
using system_commands::detail::normalizePath;
using system_commands::detail::ProgramRun;
using system_commands::detail::removeTree;
using system_commands::detail::resolveLinks;
using system_commands::detail::StagingFolder;
using system_commands::detail::WalkedPath;
using system_commands::detail::withMaskedPassword;

namespace {

// The search path of programs when the service was given none.
constexpr const char* kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Guards the debug stream: every diagnostic line of this file is written under it, so lines of
// concurrent workers neither interleave nor race on the stream, whatever their kind.
std::mutex diagnosticMutex;

// Writes one diagnostic line (prefix, `message`, end of line with flush) to the kit's debug
// stream. The message carries clients' paths and names: its control characters are escaped,
// so that it stays one line and none of its own.
void writeDiagnosticLine(const std::string& message) {
    const std::string shown = system_commands::detail::escapeControls(message);
    std::lock_guard<std::mutex> lock(diagnosticMutex);
    std::ostream* out = kit::debug::stream();
    if (out != nullptr) {
        *out << kit::debug::detail::printPrefix(__FILE__) << shown << std::endl;
    }
}

// Writes the parts as one diagnostic line while enableOutput is on.
template <typename... Parts>
void writeDiagnostic(const Parts&... parts) {
    if (!ini().enableOutput) {
        return;
    }
    std::ostringstream message;
    (message << ... << parts);
    writeDiagnosticLine(message.str());
}

// The rules applied to each form of a path: the root, the system's top-level directories as
// plain prefixes, and the configuration folder as an exception.
bool isForbiddenForOwnership(const std::string& path) {
    static const std::set<std::string> kForbiddenOwnershipPaths = {"/"};
    static const std::set<std::string> kForbiddenOwnershipPrefixes = {
        "/bin",  "/boot", "/cdrom", "/dev",  "/etc", "/lib", "/lib64", "/proc",
        "/root", "/run",  "/sbin",  "/snap", "/srv", "/sys", "/usr",   "/var"};
    if (path == "/etc/velk_ini" || path.rfind("/etc/velk_ini/", 0) == 0) {
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

// Walks `path` for a change and judges where it leads: the path as written, its lexical form,
// the real place of what the change acts on and, when that is a link, the place the link
// names (a link to a system folder is refused even where only the link would change). Returns
// nullopt when the path is refused; otherwise the change acts through the walk's descriptors
// and never looks the path up again.
std::optional<WalkedPath> walkAllowed(const std::string& path, LastLink lastLink) {
    if (!isJudgeablePath(path) || isForbiddenForOwnership(normalizePath(path))) {
        return std::nullopt;
    }
    std::optional<WalkedPath> walked = system_commands::detail::walkPath(path, lastLink);
    if (!walked || isForbiddenForOwnership(walked->realPath)) {
        return std::nullopt;
    }
    if (S_ISLNK(walked->objectType)) {
        std::optional<std::string> target = resolveLinks(walked->realPath);
        if (!target || isForbiddenForOwnership(*target)) {
            return std::nullopt;
        }
    }
    return walked;
}

// The system's words for `error`.
std::string systemError(int error) {
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof(buffer));
}

// A folder right below the root ("/tmp", "/home"): changing or removing it would reach what
// every user and program keeps there.
bool isTopLevel(const std::string& form) {
    return form.size() > 1 && form.find('/', 1) == std::string::npos;
}

// walkAllowed for a change that removes, moves or re-owns: top-level folders are refused too,
// as written and where the path leads.
std::optional<WalkedPath> walkChangeable(const std::string& path, LastLink lastLink) {
    std::optional<WalkedPath> walked = walkAllowed(path, lastLink);
    if (!walked || isTopLevel(walked->realPath) || isTopLevel(normalizePath(path))) {
        return std::nullopt;
    }
    return walked;
}

std::string forbidden(const std::string& path) {
    return format("% is forbidden for chown", path);
}

// The last-error text of a change that failed: what was asked, as its command line would
// read, and the system's reason.
std::string changeFailed(const std::string& operation, int error) {
    return format("%: %", operation, systemError(error));
}

// The last-error text of a change that failed: on an entry it left alone on purpose, the
// entry `below` the path `path` ("" for the path itself) and why; otherwise as changeFailed.
std::string changeFailedAt(const std::string& operation, const std::string& path,
                           const std::string& below, int error) {
    if (error != kOtherMount && error != kLinkedFile) {
        return changeFailed(operation, error);
    }
    std::string entry = path;
    if (!below.empty()) {
        entry += (entry.back() == '/' ? "" : "/") + below;
    }
    return format(
        "%: % left alone: %", operation, entry,
        error == kOtherMount ? "it is the root of another mount" : "it has more than one link");
}

// True when the walked final object is the root of a mount of its own.
bool isMountPoint(const WalkedPath& walked) {
    return walked.object.valid() && walked.folder.valid() &&
           isOtherMount(walked.object.get(), walked.folder.get());
}

// chown on a walked path: the final object (a link there was followed), or with `recursive`
// the final name and everything below it, links changed as themselves. A non-folder of root's
// with more than one link, and with `leaveLinked` any such non-folder, is left alone. The
// entry that failed goes to `*below`.
int changeOwnerOf(const WalkedPath& walked, uid_t uid, gid_t gid, bool recursive, bool leaveLinked,
                  std::string* below) {
    if (walked.unreachable != 0) {
        return walked.unreachable;
    }
    if (!walked.object.valid()) {
        return ENOENT;
    }
    if (recursive) {
        return changeTreeOwner(walked.folder.get(), walked.names.front(), walked.object.get(), uid,
                               gid, leaveLinked, below);
    }
    return system_commands::detail::changeHeldOwner(walked.object.get(), uid, gid, leaveLinked);
}

// What mkdir -p does with a walked path: an existing folder is done; missing levels are made
// below the deepest existing folder; a dangling link or a file in the way fails.
int makeMissingLevels(const WalkedPath& walked) {
    if (walked.throughDanglingLink) {
        return EEXIST;
    }
    if (walked.unreachable == ENOTDIR) {
        return ENOTDIR;
    }
    if (walked.object.valid()) {
        return S_ISDIR(walked.objectType) ? 0 : EEXIST;
    }
    return system_commands::detail::makeFolders(walked.folder.get(), walked.names);
}

// rename(2) between two walked paths, through the folders the walks hold.
int renameBetween(const WalkedPath& from, const WalkedPath& to) {
    if (from.unreachable != 0 || to.unreachable != 0) {
        return from.unreachable != 0 ? from.unreachable : to.unreachable;
    }
    if (!from.object.valid()) {
        return ENOENT;
    }
    // rename(2) refuses "." and ".." as either name.
    if (from.endsWithDots || to.endsWithDots) {
        return EBUSY;
    }
    if (isMountPoint(from) || isMountPoint(to)) {
        return kOtherMount;
    }
    return ::renameat(from.folder.get(), from.names.front().c_str(), to.folder.get(),
                      to.names.front().c_str()) == 0
               ? 0
               : errno;
}

// True when `pid` may name the service's own process: its id or the id of one of its threads,
// which prlimit takes for the whole process. When the thread list cannot be read, that cannot
// be ruled out.
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

// The rule applied to each form of a mount point: a folder under /tmp marked as one of the
// media server's temporary folders.
bool isAllowedMountPoint(const std::string& path) {
    static const std::string kAllowedMountPointPreffix = "/tmp/";
    static const std::string kAllowedMountPointSuffix = "_temp_folder_";
    return path.rfind(kAllowedMountPointPreffix, 0) == 0 &&
           path.find(kAllowedMountPointSuffix) != std::string::npos;
}

// Walks a mount point and judges both its lexical and its real form, so that a link or ".."
// cannot lead the act elsewhere. Returns nullopt when the path is refused.
std::optional<WalkedPath> walkMountPoint(const std::string& path, LastLink lastLink) {
    if (!isJudgeablePath(path) || !isAllowedMountPoint(normalizePath(path))) {
        return std::nullopt;
    }
    std::optional<WalkedPath> walked = system_commands::detail::walkPath(path, lastLink);
    if (!walked || !isAllowedMountPoint(walked->realPath)) {
        return std::nullopt;
    }
    return walked;
}

// umount2 of the walked final name, reached through the descriptor of the folder that holds it:
// no later lookup of a folder on the way can be redirected. Returns 0 or the error number.
int unmountWalked(WalkedPath walked) {
    if (walked.unreachable != 0) {
        return walked.unreachable;
    }
    if (!walked.object.valid() || !walked.folder.valid() || walked.names.empty()) {
        return ENOENT;
    }
    // The final object's own descriptor would keep its file system busy; its folder's does not.
    walked.object.reset();
    const std::string target =
        "/proc/self/fd/" + std::to_string(walked.folder.get()) + "/" + walked.names.front();
    return ::umount2(target.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

// One attempt of the mount helper on the staging folder `point`: no shell, nothing the caller
// typed among its options but the names, and the password only in its environment.
ProgramRun mountAttempt(const MountParams& params, const std::string& point,
                        const std::string& shown) {
    const char* path = std::getenv("PATH");
    ProgramRun run;
    run.program = "mount";
    run.arguments = {"-t", "cifs", params.source, point, "-o", mountOptions(params)};
    run.environment = {std::string("PATH=") + (path != nullptr ? path : kDefaultPath), "LC_ALL=C",
                       "PASSWD=" + params.password.value_or("")};
    run.deadline = std::chrono::seconds(60);
    run.shown = shown;
    return run;
}

// statvfs64 of `path` into `*info`; on failure prints `failure` with perror and returns false.
bool fileSystemOf(const std::string& path, struct statvfs64* info, const char* failure) {
    if (::statvfs64(path.c_str(), info) != 0) {
        std::perror(failure);
        return false;
    }
    return true;
}

}  // namespace

const char* const SystemCommands::kDomainSocket = "/tmp/quorvath_syscmd_socket3f64fa";

SystemCommands::SystemCommands()
    : SystemCommands(system_commands::detail::kernelProtectsHardLinks) {}

SystemCommands::SystemCommands(std::function<bool()> hardLinksProtected)
    : hardLinksProtected_(std::move(hardLinksProtected)) {}

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

bool SystemCommands::fail(std::string text) {
    setLastError(std::move(text));
    return false;
}

bool SystemCommands::execute(const std::string& command, std::function<void(const char*)> callback,
                             std::string* failure) {
    return executeShown(command, command, std::move(callback), failure);
}

bool SystemCommands::executeShown(const std::string& command, const std::string& shown,
                                  std::function<void(const char*)> callback, std::string* failure) {
    auto fail = [&](std::string text) {
        if (failure != nullptr) {
            *failure = text;
        }
        setLastError(std::move(text));
        return false;
    };
    // The shell would see the line only up to a NUL byte, which is another command.
    if (command.find('\0') != std::string::npos) {
        return fail(format("popen for % has failed", shown));
    }
    // "e": the read end is close-on-exec, so shells started by other workers at the same time
    // do not inherit it and keep this command's output open.
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "re");
    if (pipe == nullptr) {
        return fail(format("popen for % has failed", shown));
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
    return fail(format("Command % failed with return code %. Output: %", shown, status, output));
}

bool SystemCommands::runProgram(const ProgramRun& run,
                                const std::function<void(const char*)>& callback) {
    std::string failure;
    return system_commands::detail::runProgram(run, callback, &failure) || fail(failure);
}

bool SystemCommands::checkMountPermissions(const std::string& path) {
    return walkMountPoint(path, LastLink::follow) || fail(format("Mount to % is forbidden", path));
}

MountCode SystemCommands::mount(const std::string& source, const std::string& mountPoint,
                                const std::optional<std::string>& user,
                                const std::optional<std::string>& password) {
    // Held from here on: the share goes onto this folder, wherever its name leads later.
    std::optional<WalkedPath> held = walkMountPoint(mountPoint, LastLink::follow);
    if (!held) {
        setLastError(format("Mount to % is forbidden", mountPoint));
        writeDiagnostic("It's forbidden to mount a remote folder to ", mountPoint);
        return MountCode::otherError;
    }
    if (system_commands::detail::isRefusedSource(source)) {
        setLastError(format("Mount from % is forbidden", source));
        writeDiagnostic("It's forbidden to mount a remote folder from ", source);
        return MountCode::otherError;
    }
    if (const char* fault = system_commands::detail::credentialFault(user, password)) {
        setLastError(format("Mount with these credentials is forbidden: %", fault));
        writeDiagnostic("It's forbidden to mount a remote folder with these credentials: ", fault);
        return MountCode::otherError;
    }
    int error = held->unreachable != 0       ? held->unreachable
                : !held->object.valid()      ? ENOENT
                : !S_ISDIR(held->objectType) ? ENOTDIR
                                             : 0;
    if (error != 0) {
        setLastError(changeFailed("mount " + mountPoint, error));
        writeDiagnostic("Mount to ", mountPoint, " has failed: ", systemError(error));
        return MountCode::otherError;
    }
    for (const MountParams& params :
         system_commands::detail::generateMountParams(source, mountPoint, user, password)) {
        // A fresh folder per attempt: whatever a failed attempt left mounted goes with its own.
        StagingFolder staging;
        if (std::string failure = staging.create(); !failure.empty()) {
            setLastError(failure);
            writeDiagnostic("Mount to ", mountPoint, " has failed: ", failure);
            return MountCode::otherError;
        }
        const std::string shown = makeMountCommand(withMaskedPassword(params));
        std::string output;
        if (runProgram(mountAttempt(params, staging.path(), shown),
                       [&](const char* piece) { output += piece; })) {
            if (error = staging.moveOnto(held->object.get()); error != 0) {
                setLastError(changeFailed("mount " + mountPoint, error));
                writeDiagnostic("Mount command \"", shown, "\" succeeded, but moving the share to ",
                                mountPoint, " has failed: ", systemError(error));
                return MountCode::otherError;
            }
            writeDiagnostic("Mount command \"", shown, "\" succeeded");
            return MountCode::success;
        }
        // "mount error(13): Permission denied" is how the helper reports a refused login; the
        // other versions would be refused too. Only this attempt's own output counts.
        if (output.find("error(13)") != std::string::npos) {
            writeDiagnostic("Mount command \"", shown, "\" failed with 'permission denied'");
            return MountCode::permissionDenied;
        }
        writeDiagnostic("Mount command \"", shown, "\" failed");
    }
    return MountCode::otherError;
}

UnmountCode SystemCommands::unmount(const std::string& path) {
    if (!checkMountPermissions(path)) {
        return UnmountCode::otherError;
    }
    // A link in the last component stays what the guard judged instead of naming its target.
    std::optional<WalkedPath> walked = walkMountPoint(path, LastLink::keep);
    if (!walked) {
        setLastError(format("Mount to % is forbidden", path));
        return UnmountCode::otherError;
    }
    switch (unmountWalked(std::move(*walked))) {
        case 0:
            return UnmountCode::success;
        case EBUSY:
        case ENOMEM:
            return UnmountCode::busy;
        case ENOENT:
            return UnmountCode::notExists;
        case EINVAL:
            return UnmountCode::notMounted;
        default:
            return UnmountCode::otherError;
    }
}

bool SystemCommands::checkOwnerPermissions(const std::string& path) {
    return walkAllowed(path, LastLink::follow) || fail(forbidden(path));
}

bool SystemCommands::changeOwner(const std::string& path, int uid, int gid, bool recursive) {
    std::ostringstream operation;
    operation << "chown " << (recursive ? "-R " : "") << uid << ":" << gid << " " << path;
    // The system call reads -1 as "leave unchanged"; no id below 0 names an owner.
    if (uid < 0 || gid < 0) {
        return fail(changeFailed(operation.str(), EINVAL));
    }
    // chown follows a link given as the path; chown -R (-P) changes the link itself.
    std::optional<WalkedPath> walked =
        walkChangeable(path, recursive ? LastLink::keep : LastLink::follow);
    if (!walked) {
        return fail(forbidden(path));
    }
    // While the kernel lets anyone link to files they cannot write, a second link may be
    // someone else's file planted in the tree; root's files are left alone either way.
    const bool leaveLinked = !hardLinksProtected_();
    std::string below;
    int error = changeOwnerOf(*walked, static_cast<uid_t>(uid), static_cast<gid_t>(gid), recursive,
                              leaveLinked, &below);
    return error == 0 || fail(changeFailedAt(operation.str(), path, below, error));
}

bool SystemCommands::makeDirectory(const std::string& path) {
    std::optional<WalkedPath> walked = walkAllowed(path, LastLink::follow);
    if (!walked) {
        return fail(forbidden(path));
    }
    int error = makeMissingLevels(*walked);
    return error == 0 || fail(changeFailed("mkdir -p " + path, error));
}

bool SystemCommands::removePath(const std::string& path) {
    std::optional<WalkedPath> walked = walkChangeable(path, LastLink::keep);
    if (!walked) {
        return fail(forbidden(path));
    }
    if (walked->unreachable != 0 || !walked->object.valid()) {
        return true;  // nothing there: done, as rm -f says
    }
    std::string below;
    int error = 0;
    if (walked->endsWithDots) {
        // Like rm, never remove a folder named as "." or "..": the caller is working inside it.
        error = EINVAL;
    } else if (isMountPoint(*walked)) {
        error = kOtherMount;
    } else {
        // Through the descriptor judged above: a share mounted on the name since then is
        // never entered.
        error =
            removeTree(walked->folder.get(), walked->names.front(), walked->object.get(), &below);
    }
    return error == 0 || fail(changeFailedAt("rm -rf " + path, path, below, error));
}

bool SystemCommands::rename(const std::string& source, const std::string& target) {
    std::optional<WalkedPath> from = walkChangeable(source, LastLink::keep);
    if (!from) {
        return fail(forbidden(source));
    }
    std::optional<WalkedPath> to = walkChangeable(target, LastLink::keep);
    if (!to) {
        return fail(forbidden(target));
    }
    int error = renameBetween(*from, *to);
    // Which of the two is a mount point: the source is checked first.
    const std::string& mounted = isMountPoint(*from) ? source : target;
    return error == 0 ||
           fail(changeFailedAt("rename " + source + " " + target, mounted, "", error));
}

int SystemCommands::open(const std::string& path, int flags) {
    // Close-on-exec keeps the descriptor out of shells that other workers start before the
    // caller has passed it on; the receiving process gets its own flags either way.
    // O_NONBLOCK keeps a FIFO planted where a file was expected from holding the worker until
    // a writer or reader comes; the caller's own flags are put back before it gets the file.
    kit::ScopedFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0660));
    if (!fd.valid()) {
        std::perror("open");
        return -1;
    }
    // An O_PATH descriptor has no status flags to clear: fcntl refuses it.
    if ((flags & (O_NONBLOCK | O_PATH)) == 0) {
        const int status = fcntl(fd.get(), F_GETFL);
        if (status < 0 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
            std::perror("open: fcntl");
            return -1;
        }
    }
    return fd.release();
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

std::string SystemCommands::serializedDmiInfo() {
    system_commands::detail::DmiInventory inventory;
    // What a failed run gathered is dropped with it.
    ProgramRun run;
    run.program = "/usr/sbin/dmidecode";
    run.arguments = {"-t17"};
    run.environment = {std::string("PATH=") + kDefaultPath, "LC_ALL=C"};
    run.deadline = std::chrono::seconds(30);
    run.shown = "/usr/sbin/dmidecode -t17";
    if (!runProgram(run, [&](const char* piece) { inventory.addPiece(piece); })) {
        return {};
    }
    return inventory.serialized();
}

}  // namespace velk
