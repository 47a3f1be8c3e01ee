#include "velk/system_commands/entry_facts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <fstream>

namespace velk::system_commands::detail {

int factsOf(int folder, const char* name, int flags, Facts* facts) {
    constexpr unsigned kWanted =
        STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_MNT_ID;
    struct statx status {};
    if (::statx(folder, name, flags | AT_SYMLINK_NOFOLLOW, kWanted, &status) != 0) {
        return errno;
    }
    facts->mode = status.stx_mode;
    facts->links = status.stx_nlink;
    facts->owner = status.stx_uid;
    facts->id = FolderId{::makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
    facts->mountId = (status.stx_mask & STATX_MNT_ID) != 0
                         ? std::optional<std::uint64_t>(status.stx_mnt_id)
                         : std::nullopt;
    facts->mountRoot = (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                       (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return 0;
}

int factsOfHeld(int fd, Facts* facts) {
    return factsOf(fd, "", AT_EMPTY_PATH, facts);
}

bool onOtherMount(const Facts& inner, const Facts& outer) {
    bool otherId = inner.mountId && outer.mountId && *inner.mountId != *outer.mountId;
    return inner.id.device != outer.id.device || otherId || inner.mountRoot;
}

bool namesHeldByRoot(const Facts& folder) {
    return folder.owner == 0 && (folder.mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isOtherMount(int object, int folder) {
    Facts inner;
    Facts outer;
    return factsOfHeld(object, &inner) != 0 || factsOfHeld(folder, &outer) != 0 ||
           onOtherMount(inner, outer);
}

bool kernelProtectsHardLinks() {
    std::ifstream setting("/proc/sys/fs/protected_hardlinks");
    int value = 0;
    return static_cast<bool>(setting >> value) && value != 0;
}

bool mustLeaveLinked(mode_t mode, nlink_t links, uid_t owner, bool leaveLinked) {
    return !S_ISDIR(mode) && links > 1 && (owner == 0 || leaveLinked);
}

}  // namespace velk::system_commands::detail
