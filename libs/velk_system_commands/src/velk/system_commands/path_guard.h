#pragma once

#include <optional>
#include <string>

#include "velk/system_commands/outcome.h"
#include "velk/system_commands/path_walk.h"

// The path guard of the system operations: which places a change of owner, a folder, a removal
// or a rename may reach, and which a share may be mounted on. Each form of a path is judged (as
// written, lexical, link-resolved), and the walk that judged it is handed back, so that the act
// goes through the walk's descriptors and never looks the path up again. Pure policy plus the
// walk; thread-safe.
namespace velk::system_commands::detail {

// Walks `path` for a change and judges where it leads: the path as written, its lexical form,
// the real place of what the change acts on and, when that is a link, the place the link
// names (a link to a system folder is refused even where only the link would change). A refusal
// fails with "<path> is forbidden for chown", the path as given.
Outcome<WalkedPath> walkAllowed(const std::string& path, LastLink lastLink);

// walkAllowed for a change that removes, moves or re-owns: top-level folders ("/tmp", "/home")
// are refused too, as written and where the path leads.
Outcome<WalkedPath> walkChangeable(const std::string& path, LastLink lastLink);

// Walks a mount point and judges both its lexical and its real form (a folder under /tmp whose
// name holds "_temp_folder_"), so that a link or ".." cannot lead the act elsewhere. A refusal
// fails with "Mount to <path> is forbidden", the path as given.
Outcome<WalkedPath> walkMountPoint(const std::string& path, LastLink lastLink);

// True when the walked final object is the root of a mount of its own (isOtherMount).
bool isMountPoint(const WalkedPath& walked);

}  // namespace velk::system_commands::detail
