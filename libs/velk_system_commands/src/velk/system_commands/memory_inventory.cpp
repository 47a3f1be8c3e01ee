#include <chrono>
#include <string>

#include "velk/system_commands.h"
#include "velk/system_commands/dmi_lines.h"
#include "velk/system_commands/program_run.h"

namespace velk {

std::string SystemCommands::serializedDmiInfo() {
    system_commands::detail::DmiInventory inventory;
    // What a failed run gathered is dropped with it.
    system_commands::detail::ProgramRun run;
    run.program = "/usr/sbin/dmidecode";
    run.arguments = {"-t17"};
    run.environment = {std::string("PATH=") + system_commands::detail::kDefaultPath, "LC_ALL=C"};
    run.deadline = std::chrono::seconds(30);
    run.shown = "/usr/sbin/dmidecode -t17";
    if (!recorded(system_commands::detail::runProgram(
            run, [&](const char* piece) { inventory.addPiece(piece); }))) {
        return {};
    }
    return inventory.serialized();
}

}  // namespace velk
