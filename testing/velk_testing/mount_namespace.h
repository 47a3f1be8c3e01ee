#pragma once

#include <string>
#include <vector>

namespace velk::testing {

// Moves the calling process into a mount namespace of its own, with every mount private (so
// nothing done here propagates back to the machine) and fresh, empty tmpfs on /tmp and /run. Child
// processes started afterwards inherit the namespace. Needs CAP_SYS_ADMIN and a process with
// a single thread: the kernel moves only the calling thread and leaves the others in the
// machine's namespace, so a process with more is refused (not under ThreadSanitizer, whose
// runtime starts threads of its own). Calling it again nests a new namespace. Where / is no mount
// point (in a chroot), the root folder is first bound onto itself inside the new namespace,
// without anything reaching the machine's namespace, and the working folder becomes /. Each folder
// of `keep` that lies under /tmp (a build tree, say) is bound back at the same path on the new
// tmpfs, so that programs there stay reachable. Returns false with the reason in `*error` on
// failure; the process may then already be in a new namespace.
bool enterPrivateMountNamespace(std::string* error, const std::vector<std::string>& keep = {});

// Inside a namespace entered with enterPrivateMountNamespace: makes `target`, an existing
// file, show `content` instead of its real content, by bind-mounting a copy kept on the
// private /tmp over it. The real file is never written. Refuses, returning false, when this
// process has not entered such a namespace. Returns false with the reason in `*error`.
bool overlayFile(const std::string& target, const std::string& content, std::string* error);

}  // namespace velk::testing
