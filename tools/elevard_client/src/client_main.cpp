#include <cstdio>
#include <string>

#include "command_line.h"
#include "reply_outcome.h"
#include "run_client.h"

int main(int argc, char** argv) {
    std::string error;
    std::optional<elevard_client::Options> options =
        elevard_client::parseOptions(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "elevard-client: %s (see --help)\n", error.c_str());
        return elevard_client::kNoReply;
    }
    if (options->help || options->version) {
        std::fputs(options->help ? elevard_client::helpText().c_str()
                                 : elevard_client::versionText().c_str(),
                   stdout);
        return elevard_client::kSuccess;
    }
    return elevard_client::runClient(*options);
}
