#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "velk/system_commands/change_failure.h"
#include "velk/system_commands/entry_facts.h"
#include "velk/system_commands/folder_listing.h"
#include "velk/system_commands/outcome.h"

// Changes made through a folder held by descriptor, never by a path: whatever happens to the
// names above the folder, they stay inside it. Links inside a tree are changed or removed as
// links, never followed. Work lists live on the heap and at most three descriptors are open
// at once (and one more for each thread that shares a large folder's entries), so any depth
// the file system holds is handled. Thread-safe; nothing here keeps state. Each fails with the
// text of its first failure, as changeFailedAt words it for the change `shown`.
namespace velk::system_commands::detail {

// Removes the entry `name` of `folder`, held open as `object` (an O_PATH descriptor will do),
// and, when it is a folder, everything below it first, as rm -rf --one-file-system does: the
// folder is read through `object` itself, never looked up by name again; an entry that is
// already gone is no failure, a folder below that is the root of another mount is left alone
// (kOtherMount). Whether `object` itself is a mount root is the caller's to judge. Goes on
// past failures and reports the first.
Outcome<void> removeTree(int folder, const std::string& name, int object, const ShownChange& shown,
                         ListedTypes types = ListedTypes::used);

// Gives `object`, the entry `name` of `folder`, and everything below it the owner `uid` and
// group `gid`, as chown -R does by default: a link, at the top too, gets the new owner itself.
// Never crosses into another mount below `object` (kOtherMount), and leaves alone what
// mustLeaveLinked says (kLinkedFile). A non-folder is changed by name only in a folder whose
// names nobody but root can change; elsewhere it is held from its checks to its change. Goes
// on past failures and reports the first.
Outcome<void> changeTreeOwner(int folder, const std::string& name, int object, uid_t uid, gid_t gid,
                              bool leaveLinked, const ShownChange& shown,
                              ListedTypes types = ListedTypes::used);

// Gives the object held open as `object` (an O_PATH descriptor will do; a link is changed
// itself) the owner `uid` and group `gid` unless mustLeaveLinked says to leave it alone
// (kLinkedFile).
Outcome<void> changeHeldOwner(int object, uid_t uid, gid_t gid, bool leaveLinked,
                              const ShownChange& shown);

// Creates the folders `names`, each inside the one before, the first in `folder`, as mkdir -p
// does for the levels it finds missing: a folder that appeared meanwhile is entered, anything
// else in the way (a file, a link) fails with EEXIST. Stops at the first failure.
Outcome<void> makeFolders(int folder, const std::vector<std::string>& names,
                          const ShownChange& shown);

}  // namespace velk::system_commands::detail
