#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Changes made through a folder held by descriptor, never by a path: whatever happens to the
// names above the folder, they stay inside it. Links inside a tree are changed or removed as
// links, never followed. Work lists live on the heap and at most three descriptors are open
// at once, so any depth the file system holds is handled. Thread-safe; nothing here keeps
// state. Each returns 0, or the errno of the first failure.
namespace velk::system_commands::detail {

// Removes the entry `name` of `folder` and, when it is a folder, everything below it first, as
// rm -rf does: an entry that is already gone is no failure. Goes on past failures.
int removeTree(int folder, const std::string& name);

// Gives the entry `name` of `folder` and everything below it the owner `uid` and group `gid`,
// as chown -R does by default: a link, at the top too, gets the new owner itself. Goes on past
// failures.
int changeTreeOwner(int folder, const std::string& name, uid_t uid, gid_t gid);

// Creates the folders `names`, each inside the one before, the first in `folder`, as mkdir -p
// does for the levels it finds missing: a folder that appeared meanwhile is entered, anything
// else in the way (a file, a link) fails with EEXIST. Stops at the first failure.
int makeFolders(int folder, const std::vector<std::string>& names);

}  // namespace velk::system_commands::detail
