#include "velk/system_commands/mount_staging.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands/entry_facts.h"
#include "velk/system_commands/outcome.h"

namespace velk::system_commands::detail {
namespace {

using kit::ScopedFd;

// Serializes the set-up of the staging tmpfs between workers.
std::mutex rootMutex;

// Far more than any helper stacks on its mount point; only bounds the clean-up.
constexpr int kMaxStackedMounts = 1024;

Failure stagingFailure(const std::string& why) {
    return Failure{std::string("staging folder ") + kStagingRoot + ": " + why};
}

Failure stagingFailure(int error) {
    return stagingFailure(systemError(error));
}

std::string magicLink(const ScopedFd& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

// Judges the staging place as it is now, without following a link, and mounts the staging tmpfs
// on a bare root-owned folder. Fails with the refusal.
Outcome<void> judgeRoot(bool mayMount) {
    ScopedFd place(::open(kStagingRoot, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!place.valid()) {
        return errno == ENOTDIR || errno == ELOOP ? stagingFailure("it is not a folder")
                                                  : stagingFailure(errno);
    }
    std::string root = kStagingRoot;
    struct stat own {};
    struct statfs fileSystem {};
    ScopedFd parent(
        ::open(root.substr(0, root.rfind('/')).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (::fstat(place.get(), &own) != 0 || ::fstatfs(place.get(), &fileSystem) != 0 ||
        !parent.valid()) {
        return stagingFailure(errno);
    }
    if (own.st_uid != 0) {
        return stagingFailure("it is not owned by root");
    }
    const bool mounted = isOtherMount(place.get(), parent.get());
    if (!mounted && mayMount) {
        // Mounted on the folder just judged, wherever its name leads by now.
        if (::mount("tmpfs", magicLink(place).c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "mode=0700") != 0) {
            return stagingFailure(errno);
        }
        return judgeRoot(false);
    }
    if (!mounted || fileSystem.f_type != TMPFS_MAGIC) {
        return stagingFailure("another file system is there, not the service's tmpfs");
    }
    if ((own.st_mode & 07777) != 0700) {
        return stagingFailure("its mode is not 0700");
    }
    // Made private every time: whoever mounted it, its mounts must be movable.
    if (::mount(nullptr, magicLink(place).c_str(), nullptr, MS_PRIVATE, nullptr) != 0) {
        return stagingFailure(errno);
    }
    return {};
}

// Makes the staging place ready. Fails with why it cannot be used.
Outcome<void> prepareRoot() {
    std::lock_guard<std::mutex> lock(rootMutex);
    if (::mkdir(kStagingRoot, 0700) != 0 && errno != EEXIST) {
        return stagingFailure(errno);
    }
    return judgeRoot(true);
}

}  // namespace

StagingFolder::~StagingFolder() {
    if (path_.empty()) {
        return;
    }
    // Each round detaches the topmost mount on the folder with every mount below it; EINVAL
    // once nothing is mounted there, the usual case.
    for (int round = 0;
         round < kMaxStackedMounts && ::umount2(path_.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0;
         ++round) {
    }
    ::rmdir(path_.c_str());  // fails only when something else appeared there; the tmpfs keeps it
}

Outcome<void> StagingFolder::create() {
    if (Outcome<void> ready = prepareRoot(); !ready) {
        return ready;
    }
    std::string pattern = std::string(kStagingRoot) + "/mount.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return stagingFailure(errno);
    }
    path_ = pattern;
    return {};
}

Outcome<void> StagingFolder::moveOnto(int target) const {
    // One descriptor for both steps: the mount marked is the mount moved.
    ScopedFd share(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!share.valid()) {
        return Failure{systemError(errno)};
    }
    // Fails with EINVAL when nothing is mounted on the folder.
    mount_attr attributes{};
    attributes.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV;
    if (::mount_setattr(share.get(), "", AT_EMPTY_PATH | AT_RECURSIVE, &attributes,
                        sizeof attributes) != 0 ||
        ::move_mount(share.get(), "", target, "",
                     MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
        return Failure{systemError(errno)};
    }
    return {};
}

void detachStaleStagingMounts() {
    // Runs that set up the tmpfs at the same moment may have stacked two; each round takes one.
    for (int round = 0; round < 16 && ::umount2(kStagingRoot, MNT_DETACH | UMOUNT_NOFOLLOW) == 0;
         ++round) {
    }
}

}  // namespace velk::system_commands::detail
