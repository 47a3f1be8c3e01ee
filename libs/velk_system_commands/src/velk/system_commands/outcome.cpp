#include "velk/system_commands/outcome.h"

#include <cstring>

namespace velk::system_commands {

std::string systemError(int error) {
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace velk::system_commands
