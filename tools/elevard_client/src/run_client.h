#pragma once

// The socket side of elevard-client: one call of the service through libelevard_client, its
// reply shown on standard output and its messages on standard error.

#include "command_line.h"

namespace elevard_client {

// Runs one exchange as `options` say: checks the command's arguments, joins the line, calls
// the service, and prints the reply. Returns the exit status (ExitStatus).
int runClient(const Options& options);

}  // namespace elevard_client
