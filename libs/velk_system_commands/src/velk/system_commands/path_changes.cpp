#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <utility>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/change_failure.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/outcome.h"
#include "velk/system_commands/path_guard.h"
#include "velk/system_commands/tree_changes.h"

namespace velk {

using system_commands::Failure;
using system_commands::Outcome;
using system_commands::detail::changeFailed;
using system_commands::detail::changeFailedAt;
using system_commands::detail::changeTreeOwner;
using system_commands::detail::isMountPoint;
using system_commands::detail::kOtherMount;
using system_commands::detail::LastLink;
using system_commands::detail::removeTree;
using system_commands::detail::ShownChange;
using system_commands::detail::walkAllowed;
using system_commands::detail::walkChangeable;
using system_commands::detail::WalkedPath;

namespace {

// chown on a walked path: the final object (a link there was followed), or with `recursive`
// the final name and everything below it, links changed as themselves. A non-folder of root's
// with more than one link, and with `leaveLinked` any such non-folder, is left alone.
Outcome<void> changeOwnerOf(const WalkedPath& walked, uid_t uid, gid_t gid, bool recursive,
                            bool leaveLinked, const ShownChange& shown) {
    if (walked.unreachable != 0 || !walked.object.valid()) {
        return Failure{
            changeFailed(shown.operation, walked.unreachable != 0 ? walked.unreachable : ENOENT)};
    }
    if (recursive) {
        return changeTreeOwner(walked.folder.get(), walked.names.front(), walked.object.get(), uid,
                               gid, leaveLinked, shown);
    }
    return system_commands::detail::changeHeldOwner(walked.object.get(), uid, gid, leaveLinked,
                                                    shown);
}

// What mkdir -p does with a walked path: an existing folder is done; missing levels are made
// below the deepest existing folder; a dangling link or a file in the way fails.
Outcome<void> makeMissingLevels(const WalkedPath& walked, const ShownChange& shown) {
    int error = 0;
    if (walked.throughDanglingLink) {
        error = EEXIST;
    } else if (walked.unreachable == ENOTDIR) {
        error = ENOTDIR;
    } else if (walked.object.valid()) {
        error = S_ISDIR(walked.objectType) ? 0 : EEXIST;
    } else {
        return system_commands::detail::makeFolders(walked.folder.get(), walked.names, shown);
    }
    if (error != 0) {
        return Failure{changeFailed(shown.operation, error)};
    }
    return {};
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

// chown, as changeOwner does it; `hardLinksProtected` says whether the kernel protects hard
// links, asked once the path is judged.
Outcome<void> changeOwnerAt(const std::string& path, int uid, int gid, bool recursive,
                            const std::function<bool()>& hardLinksProtected) {
    std::ostringstream operation;
    operation << "chown " << (recursive ? "-R " : "") << uid << ":" << gid << " " << path;
    // The system call reads -1 as "leave unchanged"; no id below 0 names an owner.
    if (uid < 0 || gid < 0) {
        return Failure{changeFailed(operation.str(), EINVAL)};
    }
    // chown follows a link given as the path; chown -R (-P) changes the link itself.
    Outcome<WalkedPath> walked =
        walkChangeable(path, recursive ? LastLink::keep : LastLink::follow);
    if (!walked) {
        return Failure{walked.error()};
    }
    // While the kernel lets anyone link to files they cannot write, a second link may be
    // someone else's file planted in the tree; root's files are left alone either way.
    const bool leaveLinked = !hardLinksProtected();
    return changeOwnerOf(walked.value(), static_cast<uid_t>(uid), static_cast<gid_t>(gid),
                         recursive, leaveLinked, ShownChange{operation.str(), path});
}

Outcome<void> makeDirectoryAt(const std::string& path) {
    Outcome<WalkedPath> walked = walkAllowed(path, LastLink::follow);
    if (!walked) {
        return Failure{walked.error()};
    }
    return makeMissingLevels(walked.value(), ShownChange{"mkdir -p " + path, path});
}

Outcome<void> removePathAt(const std::string& path) {
    Outcome<WalkedPath> judged = walkChangeable(path, LastLink::keep);
    if (!judged) {
        return Failure{judged.error()};
    }
    const WalkedPath& walked = judged.value();
    if (walked.unreachable != 0 || !walked.object.valid()) {
        return {};  // nothing there: done, as rm -f says
    }
    const ShownChange shown{"rm -rf " + path, path};
    if (walked.endsWithDots) {
        // Like rm, never remove a folder named as "." or "..": the caller is working inside it.
        return Failure{changeFailed(shown.operation, EINVAL)};
    }
    if (isMountPoint(walked)) {
        return Failure{changeFailedAt(shown, "", kOtherMount)};
    }
    // Through the descriptor judged above: a share mounted on the name since then is never
    // entered.
    return removeTree(walked.folder.get(), walked.names.front(), walked.object.get(), shown);
}

Outcome<void> renameAt(const std::string& source, const std::string& target) {
    Outcome<WalkedPath> from = walkChangeable(source, LastLink::keep);
    if (!from) {
        return Failure{from.error()};
    }
    Outcome<WalkedPath> to = walkChangeable(target, LastLink::keep);
    if (!to) {
        return Failure{to.error()};
    }
    int error = renameBetween(from.value(), to.value());
    if (error != 0) {
        // Which of the two is a mount point: the source is checked first.
        const std::string& mounted = isMountPoint(from.value()) ? source : target;
        return Failure{changeFailedAt({"rename " + source + " " + target, mounted}, "", error)};
    }
    return {};
}

// The file `path` opened as SystemCommands::open says; fails with the text perror would print.
Outcome<kit::ScopedFd> openFile(const std::string& path, int flags) {
    // Close-on-exec keeps the descriptor out of programs that other workers start before the
    // caller has passed it on; the receiving process gets its own flags either way.
    // O_NONBLOCK keeps a FIFO planted where a file was expected from holding the worker until
    // a writer or reader comes; the caller's own flags are put back before it gets the file.
    kit::ScopedFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0660));
    if (!fd.valid()) {
        return Failure{"open: " + system_commands::systemError(errno)};
    }
    // An O_PATH descriptor has no status flags to clear: fcntl refuses it.
    if ((flags & (O_NONBLOCK | O_PATH)) == 0) {
        const int status = fcntl(fd.get(), F_GETFL);
        if (status < 0 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
            return Failure{"open: fcntl: " + system_commands::systemError(errno)};
        }
    }
    return fd;
}

}  // namespace

bool SystemCommands::changeOwner(const std::string& path, int uid, int gid, bool recursive) {
    return recorded(changeOwnerAt(path, uid, gid, recursive, hardLinksProtected_));
}

bool SystemCommands::makeDirectory(const std::string& path) {
    return recorded(makeDirectoryAt(path));
}

bool SystemCommands::removePath(const std::string& path) {
    return recorded(removePathAt(path));
}

bool SystemCommands::rename(const std::string& source, const std::string& target) {
    return recorded(renameAt(source, target));
}

int SystemCommands::open(const std::string& path, int flags) {
    Outcome<kit::ScopedFd> opened = openFile(path, flags);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().c_str());
        return -1;
    }
    return std::move(opened).value().release();
}

}  // namespace velk
