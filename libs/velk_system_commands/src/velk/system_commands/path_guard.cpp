#include "velk/system_commands/path_guard.h"

#include <sys/stat.h>

#include <set>

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
    auto refused = [&path] { return Failure{forbiddenForChown(path)}; };
    if (!isJudgeablePath(path) || isForbiddenForOwnership(normalizePath(path))) {
        return refused();
    }
    Outcome<WalkedPath> walked = walkPath(path, lastLink);
    if (!walked || isForbiddenForOwnership(walked.value().realPath)) {
        return refused();
    }
    if (S_ISLNK(walked.value().objectType)) {
        std::optional<std::string> target = resolveLinks(walked.value().realPath);
        if (!target || isForbiddenForOwnership(*target)) {
            return refused();
        }
    }
    return walked;
}

Outcome<WalkedPath> walkChangeable(const std::string& path, LastLink lastLink) {
    Outcome<WalkedPath> walked = walkAllowed(path, lastLink);
    if (walked && (isTopLevel(walked.value().realPath) || isTopLevel(normalizePath(path)))) {
        return Failure{forbiddenForChown(path)};
    }
    return walked;
}

Outcome<WalkedPath> walkMountPoint(const std::string& path, LastLink lastLink) {
    auto refused = [&path] { return Failure{forbiddenMountPoint(path)}; };
    if (!isJudgeablePath(path) || !isAllowedMountPoint(normalizePath(path))) {
        return refused();
    }
    Outcome<WalkedPath> walked = walkPath(path, lastLink);
    if (!walked || !isAllowedMountPoint(walked.value().realPath)) {
        return refused();
    }
    return walked;
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
