#pragma once

// elevard-client's command line: its options, the checks of a command's words against the
// command table before anything is sent, and the texts of --help and --version, drawn from
// the table. Everything here is pure and thread-safe.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "elevard/client.h"
#include "elevard/protocol.h"

namespace elevard_client {

struct Options {
    std::string socketPath = elevard::kDefaultSocketPath;
    std::chrono::milliseconds timeout = elevard::kDefaultTimeout;
    bool raw = false;
    bool cat = false;
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words;  // the command name, then its arguments
};

// Reads the options and the command words from argv[1..argc-1]. Options are recognised only
// before the command name ("--" ends them). Returns nullopt with a message in `*error` for an
// unknown option, a missing or invalid option value (--timeout takes whole seconds above 0),
// --json beside --raw or --cat, a missing command (unless --help or --version was given), or
// a word after the command that begins with "--" when no "--" ended the options: it is
// almost always an option written in the wrong place, which would be sent as an argument.
std::optional<Options> parseOptions(int argc, const char* const* argv, std::string* error);

// Checks the arguments in `words` (name first) against the table row of `command` before
// anything is sent: the required ones are there, no more than the command takes, and the
// numeric ones begin with a decimal number in the 32-bit range, as the service reads them.
// Returns the message for the first bad one, or nullopt.
std::optional<std::string> badArgument(const elevard::CommandInfo& command,
                                       const std::vector<std::string>& words);

// The message for `name`, which is no command of the table: it names the nearest command when
// one is close (a different case, or a letter or two off), so that a typing error is never
// sent to the service.
std::string unknownCommand(const std::string& name);

// The text of --help.
std::string helpText();

// The text of --version.
std::string versionText();

}  // namespace elevard_client
