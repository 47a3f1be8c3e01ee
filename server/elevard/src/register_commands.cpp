#include "register_commands.h"

#include <cstdio>

#include "commands.h"
#include "velk/system_commands.h"

void registerCommands(CommandsFactory& factory, velk::SystemCommands* /*commands*/) {
    factory.reg(
        {"help"}, {},
        [&factory](const std::string&, int) {
            std::printf("%s\n", factory.help().c_str());
            std::fflush(stdout);
            return Result::ok;
        },
        true);
}
