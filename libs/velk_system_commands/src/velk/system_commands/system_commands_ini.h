#pragma once

#include "velk/kit/ini_config.h"

namespace velk {

// The service's configuration, read once from "velk_system_commands.ini".
class Ini : public kit::IniConfig {
public:
    Ini();
    ~Ini() override;

    // When true, the system operations write their diagnostic lines to the kit's debug stream.
    // Default false. Read-only to everyone but the kit, which sets it while the object is built.
    const bool& enableOutput;

private:
    bool enableOutputValue_;
};

// The one configuration object: built and read from the file on the first call (thread-safe,
// once), destroyed at exit. The file is never read again while the process runs.
Ini& ini();

}  // namespace velk
