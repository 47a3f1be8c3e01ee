#include "velk/system_commands/path_guard.h"

#include <sys/stat.h>

#include <set>
#include <utility>

#include "velk/system_commands.h"
#include "velk/system_commands/entry_facts.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/path_forms.h"

namespace velk::system_commands::detail {
namespace {

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

// A folder right below the root ("/tmp", "/home"): changing or removing it would reach what
// every user and program keeps there.
bool isTopLevel(const std::string& form) {
    return form.size() > 1 && form.find('/', 1) == std::string::npos;
}

// The rule applied to each form of a mount point: a folder under /tmp marked as one of the
// media server's temporary folders.
bool isAllowedMountPoint(const std::string& path) {
    static const std::string kAllowedMountPointPreffix = "/tmp/";
    static const std::string kAllowedMountPointSuffix = "_temp_folder_";
    return path.rfind(kAllowedMountPointPreffix, 0) == 0 &&
           path.find(kAllowedMountPointSuffix) != std::string::npos;
}

std::optional<WalkedPath> allowedWalk(const std::string& path, LastLink lastLink) {
    if (!isJudgeablePath(path) || isForbiddenForOwnership(normalizePath(path))) {
        return std::nullopt;
    }
    std::optional<WalkedPath> walked = walkPath(path, lastLink);
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

std::optional<WalkedPath> changeableWalk(const std::string& path, LastLink lastLink) {
    std::optional<WalkedPath> walked = allowedWalk(path, lastLink);
    if (!walked || isTopLevel(walked->realPath) || isTopLevel(normalizePath(path))) {
        return std::nullopt;
    }
    return walked;
}

std::optional<WalkedPath> mountPointWalk(const std::string& path, LastLink lastLink) {
    if (!isJudgeablePath(path) || !isAllowedMountPoint(normalizePath(path))) {
        return std::nullopt;
    }
    std::optional<WalkedPath> walked = walkPath(path, lastLink);
    if (!walked || !isAllowedMountPoint(walked->realPath)) {
        return std::nullopt;
    }
    return walked;
}

// The refusal text of the ownership guard.
std::string forbiddenForChown(const std::string& path) {
    return format("% is forbidden for chown", path);
}

// The refusal text of the mount guard.
std::string forbiddenMountPoint(const std::string& path) {
    return format("Mount to % is forbidden", path);
}

}  // namespace

Outcome<WalkedPath> walkAllowed(const std::string& path, LastLink lastLink) {
    std::optional<WalkedPath> walked = allowedWalk(path, lastLink);
    if (!walked) {
        return Failure{forbiddenForChown(path)};
    }
    return std::move(*walked);
}

Outcome<WalkedPath> walkChangeable(const std::string& path, LastLink lastLink) {
    std::optional<WalkedPath> walked = changeableWalk(path, lastLink);
    if (!walked) {
        return Failure{forbiddenForChown(path)};
    }
    return std::move(*walked);
}

Outcome<WalkedPath> walkMountPoint(const std::string& path, LastLink lastLink) {
    std::optional<WalkedPath> walked = mountPointWalk(path, lastLink);
    if (!walked) {
        return Failure{forbiddenMountPoint(path)};
    }
    return std::move(*walked);
}

bool isMountPoint(const WalkedPath& walked) {
    return walked.object.valid() && walked.folder.valid() &&
           isOtherMount(walked.object.get(), walked.folder.get());
}

}  // namespace velk::system_commands::detail

namespace velk {

bool SystemCommands::checkOwnerPermissions(const std::string& path) {
    return recorded(
        system_commands::detail::walkAllowed(path, system_commands::detail::LastLink::follow));
}

bool SystemCommands::checkMountPermissions(const std::string& path) {
    return recorded(
        system_commands::detail::walkMountPoint(path, system_commands::detail::LastLink::follow));
}

}  // namespace velk
