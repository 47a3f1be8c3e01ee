#include "velk/system_commands/system_commands_ini.h"

namespace velk {

// The switch is a plain bool that the kit writes on reload; callers see it only through a
// reference to const, which keeps the write well-defined.
Ini::Ini()
    : kit::IniConfig("velk_system_commands.ini"),
      enableOutput(enableOutputValue_),
      enableOutputValue_(regBoolParam(&enableOutputValue_, false, "enableOutput", "")) {
    reload();
}

Ini::~Ini() = default;

Ini& ini() {
    static Ini instance;
    return instance;
}

}  // namespace velk
