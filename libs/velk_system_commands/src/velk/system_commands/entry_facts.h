#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "velk/system_commands/path_walk.h"

// What the guards learn of an entry from the kernel, and the tests they make of it: where a
// mount begins, who may change a folder's names, which files are left alone for their links.
// Pure or stateless; thread-safe.
namespace velk::system_commands::detail {

// What one statx tells of an object: everything the guards judge.
struct Facts {
    mode_t mode = 0;
    nlink_t links = 0;
    uid_t owner = 0;
    FolderId id;
    std::optional<std::uint64_t> mountId;  // kernels before 5.8 do not report it
    bool mountRoot = false;
};

// statx of `name` in `folder` (with AT_EMPTY_PATH, "" for `folder` itself), never through a
// link. Returns 0 or the errno, like the call.
int factsOf(int folder, const char* name, int flags, Facts* facts);

// factsOf the object held open as `fd`.
int factsOfHeld(int fd, Facts* facts);

// True when `inner` lies on another mount than the folder `outer` holding it, or is the root
// of one (a file or folder bound over a name).
bool onOtherMount(const Facts& inner, const Facts& outer);

// Whether nobody but root can change what the names of the folder `folder` stand for: it
// belongs to root and neither its group class (which carries the mask of an access control
// list) nor others may write it. Renaming, linking, unlinking and mounting there need root.
bool namesHeldByRoot(const Facts& folder);

// Where a mount begins, the one test of it for every change, the staging of mounts and the
// guards: true when the object open as `object` is the root of another mount than the folder
// open as `folder`: another device, another mount id (a bind mount of the same file system),
// or marked as a mount root by the kernel. Also true when either cannot be examined, so that
// doubt never lets a change cross. (Only a removal by name also hears it from the kernel, as
// EBUSY, for a name that is a mount point.)
bool isOtherMount(int object, int folder);

// Whether fs.protected_hardlinks is on, read from /proc/sys/fs/protected_hardlinks each call:
// only then does the kernel stop users from linking to files they cannot write. False when the
// setting cannot be read.
bool kernelProtectsHardLinks();

// The hard-link rule of chown: a non-folder with more than one link is left alone when it
// belongs to root (a user may have linked root's file into the tree), and any such file with
// `leaveLinked` (the kernel lets anyone link to any file).
bool mustLeaveLinked(mode_t mode, nlink_t links, uid_t owner, bool leaveLinked);

}  // namespace velk::system_commands::detail
