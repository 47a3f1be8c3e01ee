#pragma once

class CommandsFactory;

namespace velk {
class SystemCommands;
}

// Fills `factory` with every command the program offers. The handlers keep `commands`, which
// must outlive the factory, and a reference to `factory` itself for the help text. Called once
// at start-up, before any command runs.
void registerCommands(CommandsFactory& factory, velk::SystemCommands* commands);
