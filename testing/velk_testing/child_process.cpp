#include "velk_testing/child_process.h"

#include <chrono>

#include "velk_testing/running_child.h"

namespace velk::testing {

ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                     int timeoutSeconds) {
    RunningChild child;
    // A child that could not be started leaves wait() nothing to wait for: exitStatus -1.
    child.start(argv, extraEnv);
    return child.wait(std::chrono::seconds(timeoutSeconds));
}

}  // namespace velk::testing
