#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Changes made through a folder held by descriptor, never by a path: whatever happens to the
// names above the folder, they stay inside it. Links inside a tree are changed or removed as
// links, never followed. Work lists live on the heap and at most three descriptors are open
// at once, so any depth the file system holds is handled. Thread-safe; nothing here keeps
// state. Each returns 0, or the errno (or one of the two codes below) of the first failure.
namespace velk::system_commands::detail {

// The failures by which a change says it left an entry alone on purpose; below zero, so that
// no errno (EXDEV from a rename, say) is taken for one.
constexpr int kOtherMount = -1;  // the root of another mount: nothing below it is touched
constexpr int kLinkedFile = -2;  // a non-folder with more than one link

// True when the object open as `object` is the root of another mount than the folder open as
// `folder`: another device, another mount id (a bind mount of the same file system), or marked
// as a mount root by the kernel. Also true when either cannot be examined, so that doubt never
// lets a change cross.
bool isOtherMount(int object, int folder);

// Whether fs.protected_hardlinks is on, read from /proc/sys/fs/protected_hardlinks each call:
// only then does the kernel stop users from linking to files they cannot write. False when the
// setting cannot be read.
bool kernelProtectsHardLinks();

// Removes the entry `name` of `folder` and, when it is a folder, everything below it first, as
// rm -rf --one-file-system does: an entry that is already gone is no failure, a folder that
// is the root of another mount is left alone (kOtherMount). Goes on past failures; the first
// one's entry, as a path below `name` ("" for `name` itself), goes to `*failedEntry`.
int removeTree(int folder, const std::string& name, std::string* failedEntry);

// Gives the entry `name` of `folder` and everything below it the owner `uid` and group `gid`,
// as chown -R does by default: a link, at the top too, gets the new owner itself. Never
// crosses into another mount (kOtherMount). With `leaveLinked`, a non-folder with more than
// one link is left alone (kLinkedFile). Each object is changed through a descriptor held since
// it was judged. Goes on past failures, reported as removeTree does.
int changeTreeOwner(int folder, const std::string& name, uid_t uid, gid_t gid, bool leaveLinked,
                    std::string* failedEntry);

// Creates the folders `names`, each inside the one before, the first in `folder`, as mkdir -p
// does for the levels it finds missing: a folder that appeared meanwhile is entered, anything
// else in the way (a file, a link) fails with EEXIST. Stops at the first failure.
int makeFolders(int folder, const std::vector<std::string>& names);

}  // namespace velk::system_commands::detail
