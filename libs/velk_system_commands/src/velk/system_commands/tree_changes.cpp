#include "velk/system_commands/tree_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands/path_walk.h"

namespace velk::system_commands::detail {
namespace {

// What is done to one entry once everything below it is done: `self` is the entry held open
// when it is a folder, else -1; `top` says it is the entry the change was asked for. Returns 0
// or an errno.
using Change = std::function<int(int folder, const std::string& name, int self, bool top)>;

// A folder being worked through: its name in the folder above, its identity, and its entries.
struct Level {
    std::string name;
    FolderId id;
    std::vector<std::string> entries;
    std::size_t next = 0;
};

kit::ScopedFd openFolder(int folder, const std::string& name) {
    return kit::ScopedFd(
        ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Why openFolder failed says the entry is no folder to descend into: a file or a link (taken as
// itself), or an entry gone meanwhile.
bool isNoFolder(int error) {
    return error == ENOTDIR || error == ELOOP || error == ENOENT;
}

// The first failure of a tree change and the entry it concerns.
class FirstFailure {
public:
    explicit FirstFailure(std::string* entry) : entry_(entry) {}

    // Keeps `error` unless a failure is already kept. The entry is `name` in the deepest of
    // `levels`, or the top itself when `levels` is empty.
    void keep(int error, const std::vector<Level>& levels, const std::string& name) {
        if (error == 0 || error_ != 0) {
            return;
        }
        error_ = error;
        if (entry_ == nullptr) {
            return;
        }
        entry_->clear();
        for (std::size_t i = 1; i < levels.size(); ++i) {
            *entry_ += levels[i].name + "/";
        }
        *entry_ += levels.empty() ? std::string() : name;
    }

    int error() const { return error_; }

private:
    std::string* entry_;
    int error_ = 0;
};

// Fills `level` with the identity and the entry names of the open folder `fd`. The whole list
// is read before anything changes, so removals do not disturb the reading.
int readLevel(int fd, Level* level) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return errno;
    }
    level->id = folderIdOf(status);
    // A descriptor of the stream's own, which closedir closes.
    int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) {
        return errno;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> list(::fdopendir(listFd), ::closedir);
    if (!list) {
        int error = errno;
        ::close(listFd);
        return error;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(list.get());
        if (entry == nullptr) {
            return errno;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            level->entries.emplace_back(entry->d_name);
        }
    }
}

// Applies `change` to `name` in `top` and, when it is a folder, to everything below it, each
// entry before the folder that holds it. A folder below `name` that is the root of another
// mount is left alone. Descends without recursion and climbs back through "..", checked
// against the folder it came from; a folder moved away meanwhile ends the work.
int changeTree(int top, const std::string& name, const Change& change, std::string* failedEntry) {
    FirstFailure first(failedEntry);
    std::vector<Level> levels;
    kit::ScopedFd current = openFolder(top, name);
    if (!current.valid()) {
        first.keep(isNoFolder(errno) ? change(top, name, -1, true) : errno, levels, name);
        return first.error();
    }
    Level root;
    root.name = name;
    first.keep(readLevel(current.get(), &root), levels, name);
    if (first.error() != 0) {
        return first.error();
    }
    levels.push_back(std::move(root));
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next < level.entries.size()) {
            std::string entry = level.entries[level.next++];
            kit::ScopedFd below = openFolder(current.get(), entry);
            if (!below.valid()) {
                first.keep(isNoFolder(errno) ? change(current.get(), entry, -1, false) : errno,
                           levels, entry);
                continue;
            }
            // Checked on the folder as opened: that is the one the change would go into.
            if (isOtherMount(below.get(), current.get())) {
                first.keep(kOtherMount, levels, entry);
                continue;
            }
            Level next;
            next.name = entry;
            int error = readLevel(below.get(), &next);
            if (error != 0) {
                first.keep(error, levels, entry);
                continue;
            }
            levels.push_back(std::move(next));
            current = std::move(below);
            continue;
        }
        std::string done = std::move(level.name);
        levels.pop_back();
        if (levels.empty()) {
            first.keep(change(top, done, current.get(), true), levels, done);
            continue;
        }
        int error = 0;
        kit::ScopedFd up = openParentFolder(current.get(), levels.back().id, &error);
        if (!up.valid()) {
            first.keep(error, levels, done);
            break;
        }
        first.keep(change(up.get(), done, current.get(), false), levels, done);
        current = std::move(up);
    }
    return first.error();
}

// The identity of the mount that holds the object open as `fd`; nullopt when it cannot be
// examined.
struct MountOf {
    dev_t device;
    std::optional<std::uint64_t> mountId;  // kernels before 5.8 do not report it
    bool isMountRoot;
};

std::optional<MountOf> mountOf(int fd) {
    struct statx status {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_MNT_ID, &status) !=
        0) {
        return std::nullopt;
    }
    MountOf mount{::makedev(status.stx_dev_major, status.stx_dev_minor), std::nullopt, false};
    if ((status.stx_mask & STATX_MNT_ID) != 0) {
        mount.mountId = status.stx_mnt_id;
    }
    mount.isMountRoot = (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                        (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return mount;
}

}  // namespace

bool isOtherMount(int object, int folder) {
    std::optional<MountOf> inner = mountOf(object);
    std::optional<MountOf> outer = mountOf(folder);
    if (!inner || !outer) {
        return true;
    }
    bool otherId = inner->mountId && outer->mountId && *inner->mountId != *outer->mountId;
    return inner->device != outer->device || otherId || inner->isMountRoot;
}

bool kernelProtectsHardLinks() {
    std::ifstream setting("/proc/sys/fs/protected_hardlinks");
    int value = 0;
    return static_cast<bool>(setting >> value) && value != 0;
}

int removeTree(int folder, const std::string& name, std::string* failedEntry) {
    auto remove = [](int parent, const std::string& entry, int self, bool) {
        if (::unlinkat(parent, entry.c_str(), self >= 0 ? AT_REMOVEDIR : 0) == 0 ||
            errno == ENOENT) {
            return 0;
        }
        // On Linux only a mount point (a file bound over a name of the tree) is busy here.
        return errno == EBUSY ? kOtherMount : errno;
    };
    return changeTree(folder, name, remove, failedEntry);
}

int changeTreeOwner(int folder, const std::string& name, uid_t uid, gid_t gid, bool leaveLinked,
                    std::string* failedEntry) {
    auto changeOwner = [=](int parent, const std::string& entry, int self, bool top) {
        if (self >= 0) {
            return ::fchownat(self, "", uid, gid, AT_EMPTY_PATH) == 0 ? 0 : errno;
        }
        // Held from the checks to the change, so that the name cannot be swapped between.
        kit::ScopedFd object(::openat(parent, entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat status {};
        if (!object.valid() || ::fstat(object.get(), &status) != 0) {
            return errno;
        }
        // A file or folder mounted over a name of the tree (a bind mount) is another mount's.
        if (!top && isOtherMount(object.get(), parent)) {
            return kOtherMount;
        }
        if (leaveLinked && !S_ISDIR(status.st_mode) && status.st_nlink > 1) {
            return kLinkedFile;
        }
        return ::fchownat(object.get(), "", uid, gid, AT_EMPTY_PATH) == 0 ? 0 : errno;
    };
    return changeTree(folder, name, changeOwner, failedEntry);
}

int makeFolders(int folder, const std::vector<std::string>& names) {
    kit::ScopedFd held;
    int current = folder;
    for (const std::string& name : names) {
        bool made = ::mkdirat(current, name.c_str(), 0777) == 0;
        if (!made && errno != EEXIST) {
            return errno;
        }
        kit::ScopedFd next(
            ::openat(current, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            return made ? errno : EEXIST;
        }
        held = std::move(next);
        current = held.get();
    }
    return 0;
}

}  // namespace velk::system_commands::detail
