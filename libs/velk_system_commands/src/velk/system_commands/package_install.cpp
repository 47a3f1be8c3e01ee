#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "velk/system_commands.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/program_run.h"

namespace velk {

bool SystemCommands::install(const std::string& packagePath,
                             const std::optional<std::string>& force, bool takeTerminal) {
    // dpkg would take a word that begins with "-" for one of its options, the system would see
    // the path only up to a NUL byte, and dpkg prints the path in lines of its own on the
    // service's output: a control character there would start a line that is not dpkg's.
    if (packagePath.rfind('/', 0) != 0 || packagePath.find('\0') != std::string::npos ||
        system_commands::detail::escapeControls(packagePath) != packagePath) {
        return fail(system_commands::detail::format("Installing % is forbidden", packagePath));
    }
    system_commands::detail::ProgramRun run;
    run.program = "dpkg";
    run.arguments = {"-i"};
    if (force == "force-conflicts") {
        run.arguments.insert(run.arguments.end(), {"--auto-deconfigure", "--force-conflicts"});
    }
    run.arguments.push_back(packagePath);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        run.environment.emplace_back(*entry);
    }
    run.deadline = std::chrono::minutes(30);
    run.shown = "dpkg -i " + packagePath;
    run.captureOutput = false;
    run.takeTerminal = takeTerminal;
    return recorded(system_commands::detail::runProgram(run, {}));
}

}  // namespace velk
