#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands/outcome.h"

// A path looked up one component at a time on descriptors, links followed by hand, so that a
// change made afterwards through the descriptors acts on exactly the place that was judged,
// whatever happens to the names in between. Thread-safe; nothing here keeps state.
namespace velk::system_commands::detail {

// Whether a symbolic link met as the last component is followed or taken as itself.
enum class LastLink { follow, keep };

// A folder as the kernel tells one from another.
struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FolderId&) const = default;
};

FolderId folderIdOf(const struct stat& status);

// Where a path leads. The descriptors are O_PATH ones (a folder to act in, an object to change
// the owner of), owned by this record.
struct WalkedPath {
    // Absolute, every link resolved, "." and ".." applied, missing levels appended as written;
    // "/" for the root. May be longer than PATH_MAX.
    std::string realPath;
    // The final object when it exists, else invalid; a link only with LastLink::keep.
    kit::ScopedFd object;
    mode_t objectType = 0;  // the S_IFMT bits of `object`
    // The folder that holds names.front(): the final object's folder when it exists (invalid for
    // the root), else the deepest existing folder on the way.
    kit::ScopedFd folder;
    // When the final object exists, its name in `folder` (nothing for the root); otherwise the
    // levels below `folder` that do not exist, the last one being the final name.
    std::vector<std::string> names;
    // 0 when the kernel would find the final object's folder; ENOENT or ENOTDIR when a level
    // before the last is missing or no folder, so that the path names nothing, even where a
    // later ".." climbs back to something that exists.
    int unreachable = 0;
    // A followed link names a missing place (mkdir -p finds the link in its way).
    bool throughDanglingLink = false;
    // The last component as written is "." or "..".
    bool endsWithDots = false;
};

// Walks `path` from the root (a relative path is taken from the root too): each component is
// opened with O_PATH | O_NOFOLLOW in the folder reached so far; a link before the last
// component, or the last one with LastLink::follow or a trailing slash, is read and followed;
// ".." climbs to the folder the walk came from and nowhere else. A missing name ends the walk
// of real objects: the rest is appended as written. Fails, with the system's words for the
// reason (systemError), for any other failure: a step the system refuses, a NUL byte (EINVAL),
// more than 40 links (ELOOP), a link on a proc file system (EPERM: its text names nothing the
// walk can follow), or a folder moved away from under the walk (ESTALE).
Outcome<WalkedPath> walkPath(std::string_view path, LastLink lastLink);

// Opens (O_PATH) the folder above the folder `fd`, as ".." does, and returns it only when it is
// `expected`. Otherwise returns an invalid descriptor with the reason in `*error`: the
// system's, or ESTALE when the folder above is another one (the folder was moved).
kit::ScopedFd openParentFolder(int fd, const FolderId& expected, int* error);

// Returns the absolute path `path` with every symbolic link among its existing components
// resolved, component by component on descriptors as the kernel would (walkPath, links in the
// last component followed), and its missing components appended lexically (whatever creates
// them makes real directories). A dangling link is replaced by its target, resolved the same
// way. Returns nullopt when the path cannot be judged: any step that fails for a reason other
// than a missing name, more than 40 links followed, or a link inside /proc (its target there
// depends on the process that reads it). The result may be longer than PATH_MAX.
std::optional<std::string> resolveLinks(std::string_view path);

}  // namespace velk::system_commands::detail
