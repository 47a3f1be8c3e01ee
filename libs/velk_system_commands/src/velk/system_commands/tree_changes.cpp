#include "velk/system_commands/tree_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands/path_walk.h"

namespace velk::system_commands::detail {
namespace {

// What is done to one entry once everything below it is done. Returns 0 or an errno.
using Change = std::function<int(int folder, const std::string& name, bool isFolder)>;

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

void keepFirst(int* first, int error) {
    if (*first == 0) {
        *first = error;
    }
}

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
// entry before the folder that holds it. Descends without recursion and climbs back through
// "..", checked against the folder it came from; a folder moved away meanwhile ends the work.
int changeTree(int top, const std::string& name, const Change& change) {
    kit::ScopedFd current = openFolder(top, name);
    if (!current.valid()) {
        return isNoFolder(errno) ? change(top, name, false) : errno;
    }
    std::vector<Level> levels(1);
    levels[0].name = name;
    int first = readLevel(current.get(), &levels[0]);
    if (first != 0) {
        return first;
    }
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next < level.entries.size()) {
            std::string entry = level.entries[level.next++];
            kit::ScopedFd below = openFolder(current.get(), entry);
            if (!below.valid()) {
                keepFirst(&first, isNoFolder(errno) ? change(current.get(), entry, false) : errno);
                continue;
            }
            Level next;
            next.name = entry;
            int error = readLevel(below.get(), &next);
            if (error != 0) {
                keepFirst(&first, error);
                continue;
            }
            levels.push_back(std::move(next));
            current = std::move(below);
            continue;
        }
        std::string done = std::move(level.name);
        levels.pop_back();
        if (levels.empty()) {
            keepFirst(&first, change(top, done, true));
            continue;
        }
        int error = 0;
        kit::ScopedFd up = openParentFolder(current.get(), levels.back().id, &error);
        if (!up.valid()) {
            keepFirst(&first, error);
            break;
        }
        current = std::move(up);
        keepFirst(&first, change(current.get(), done, true));
    }
    return first;
}

}  // namespace

int removeTree(int folder, const std::string& name) {
    return changeTree(folder, name, [](int parent, const std::string& entry, bool isFolder) {
        if (::unlinkat(parent, entry.c_str(), isFolder ? AT_REMOVEDIR : 0) == 0 ||
            errno == ENOENT) {
            return 0;
        }
        return errno;
    });
}

int changeTreeOwner(int folder, const std::string& name, uid_t uid, gid_t gid) {
    return changeTree(folder, name, [uid, gid](int parent, const std::string& entry, bool) {
        return ::fchownat(parent, entry.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    });
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
