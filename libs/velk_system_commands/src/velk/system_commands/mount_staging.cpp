#include "velk/system_commands/mount_staging.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace velk::system_commands::detail {
namespace {

// Serializes the set-up of the staging tmpfs between workers.
std::mutex rootMutex;

// Mounts the staging tmpfs unless it is there, and keeps its mounts to itself. Returns 0 or
// the system's error number.
int prepareRoot() {
    std::lock_guard<std::mutex> lock(rootMutex);
    if (::mkdir(kStagingRoot, 0700) != 0 && errno != EEXIST) {
        return errno;
    }
    std::string root = kStagingRoot;
    std::string above = root.substr(0, root.rfind('/'));
    struct stat own {};
    struct stat parent {};
    if (::lstat(root.c_str(), &own) != 0 || ::stat(above.empty() ? "/" : above.c_str(), &parent)) {
        return errno;
    }
    if (!S_ISDIR(own.st_mode)) {
        return ENOTDIR;
    }
    // A mount of its own lies on another device than the folder above it.
    if (own.st_dev == parent.st_dev &&
        ::mount("tmpfs", kStagingRoot, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0700") !=
            0) {
        return errno;
    }
    // Made private every time: whoever mounted it, its mounts must be movable.
    return ::mount(nullptr, kStagingRoot, nullptr, MS_PRIVATE, nullptr) == 0 ? 0 : errno;
}

}  // namespace

StagingFolder::~StagingFolder() {
    if (path_.empty()) {
        return;
    }
    // EINVAL when nothing is mounted there, the usual case.
    ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());  // fails only when something else appeared there; the tmpfs keeps it
}

int StagingFolder::create() {
    if (int error = prepareRoot(); error != 0) {
        return error;
    }
    std::string pattern = std::string(kStagingRoot) + "/mount.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return errno;
    }
    path_ = pattern;
    return 0;
}

int StagingFolder::moveOnto(int target) const {
    return ::move_mount(AT_FDCWD, path_.c_str(), target, "", MOVE_MOUNT_T_EMPTY_PATH) == 0 ? 0
                                                                                           : errno;
}

void detachStaleStagingMounts() {
    // Runs that set up the tmpfs at the same moment may have stacked two; each round takes one.
    for (int round = 0; round < 16 && ::umount2(kStagingRoot, MNT_DETACH) == 0; ++round) {
    }
}

}  // namespace velk::system_commands::detail
