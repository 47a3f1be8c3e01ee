#pragma once

#include <sstream>
#include <string>

#include "velk/system_commands/system_commands_ini.h"

// The diagnostic lines of the system operations. Thread-safe: lines of concurrent workers
// neither interleave nor race on the debug stream.
namespace velk::system_commands::detail {

// Writes one diagnostic line (prefix, `message`, end of line with flush) to the kit's debug
// stream, whatever enableOutput says. The message carries clients' paths and names: its control
// characters are escaped, so that it stays one line and none of its own.
void writeDiagnosticLine(const std::string& message);

// Writes the parts as one diagnostic line while enableOutput is on.
template <typename... Parts>
void writeDiagnostic(const Parts&... parts) {
    if (!ini().enableOutput) {
        return;
    }
    std::ostringstream message;
    (message << ... << parts);
    writeDiagnosticLine(message.str());
}

}  // namespace velk::system_commands::detail
