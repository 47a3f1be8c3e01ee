#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace velk::testing {

// What a function run in a forked child handed back.
struct ForkResult {
    pid_t pid = -1;              // the child's process id (reaped by now), or -1 if none started
    bool exitedCleanly = false;  // the child returned from the function and handed back its text
    std::string text;            // what the function returned, or why no child could run
};

// Runs `body` in a forked child and hands back the text it returns, through a pipe. Meant for
// what must not touch the test process: mount namespaces, seccomp filters, state read once
// per process. The child leaves with _exit, so the copies of the parent's objects are never
// torn down twice; assertions inside `body` are lost with the child, so return what to check
// instead. An exception leaving `body` ends the child with exitedCleanly false. Blocks until
// the child has ended and been reaped. Call it while the process has a single thread.
ForkResult runForked(const std::function<std::string()>& body);

}  // namespace velk::testing
