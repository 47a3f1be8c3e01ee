#include "velk/system_commands/change_failure.h"

#include "velk/system_commands/line_text.h"
#include "velk/system_commands/outcome.h"

namespace velk::system_commands::detail {

std::string changeFailed(const std::string& operation, int error) {
    return changeFailed(operation, system_commands::systemError(error));
}

std::string changeFailed(const std::string& operation, const std::string& reason) {
    return format("%: %", operation, reason);
}

std::string changeFailedAt(const ShownChange& shown, const std::string& below, int error) {
    if (error != kOtherMount && error != kLinkedFile) {
        return changeFailed(shown.operation, error);
    }
    std::string entry = shown.path;
    if (!below.empty()) {
        entry += (entry.back() == '/' ? "" : "/") + below;
    }
    return format(
        "%: % left alone: %", shown.operation, entry,
        error == kOtherMount ? "it is the root of another mount" : "it has more than one link");
}

}  // namespace velk::system_commands::detail
