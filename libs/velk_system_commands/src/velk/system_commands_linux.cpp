#include "velk/system_commands.h"

#include <utility>

namespace velk {

const char* const SystemCommands::kDomainSocket = "/tmp/quorvath_syscmd_socket3f64fa";

std::string SystemCommands::lastError() const {
    std::lock_guard<std::mutex> lock(lastErrorMutex_);
    return lastError_;
}

void SystemCommands::setLastError(std::string text) {
    std::lock_guard<std::mutex> lock(lastErrorMutex_);
    lastError_ = std::move(text);
}

}  // namespace velk
