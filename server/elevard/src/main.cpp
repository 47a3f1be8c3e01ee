#include <cstdio>

#include "commands.h"
#include "register_commands.h"
#include "run_modes.h"
#include "service.h"
#include "velk/system_commands.h"

int main(int argc, const char** argv) {
    // Before the first write: changing the buffering of a stream already written to is
    // undefined.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("Starting elevard, using domain socket: %s\n", velk::SystemCommands::kDomainSocket);
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);

    if (argc < 2) {
        return runService(factory);
    }
    return runDirect(factory, argv);
}
