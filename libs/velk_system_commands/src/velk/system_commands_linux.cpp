#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>

#include "velk/kit/debug.h"
#include "velk/system_commands.h"
#include "velk/system_commands/diagnostics.h"
#include "velk/system_commands/entry_facts.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/program_run.h"

namespace velk {

using system_commands::detail::format;

namespace system_commands::detail {
namespace {

// Guards the debug stream: every diagnostic line of the system operations is written under it,
// so lines of concurrent workers neither interleave nor race on the stream, whatever their kind.
std::mutex diagnosticMutex;

}  // namespace

// Defined here so that every line carries this file's name in its prefix.
void writeDiagnosticLine(const std::string& message) {
    const std::string shown = escapeControls(message);
    std::lock_guard<std::mutex> lock(diagnosticMutex);
    std::ostream* out = kit::debug::stream();
    if (out != nullptr) {
        *out << kit::debug::detail::printPrefix(__FILE__) << shown << std::endl;
    }
}

}  // namespace system_commands::detail

const char* const SystemCommands::kDomainSocket = elevard::kSocketPath;

SystemCommands::SystemCommands()
    : SystemCommands(system_commands::detail::kernelProtectsHardLinks) {}

SystemCommands::SystemCommands(std::function<bool()> hardLinksProtected)
    : hardLinksProtected_(std::move(hardLinksProtected)) {}

std::string SystemCommands::lastError() const {
    std::lock_guard<std::mutex> lock(lastErrorMutex_);
    return lastError_;
}

void SystemCommands::setLastError(std::string text) {
    std::lock_guard<std::mutex> lock(lastErrorMutex_);
    lastError_ = std::move(text);
}

bool SystemCommands::fail(std::string text) {
    setLastError(std::move(text));
    return false;
}

namespace {

// `command` run by /bin/sh, as SystemCommands::execute says.
system_commands::Outcome<void> runShell(const std::string& command,
                                        const std::function<void(const char*)>& callback) {
    using system_commands::Failure;
    // The shell would see the line only up to a NUL byte, which is another command.
    if (command.find('\0') != std::string::npos) {
        return Failure{format("popen for % has failed", command)};
    }
    // "e": the read end is close-on-exec, so shells started by other workers at the same time
    // do not inherit it and keep this command's output open.
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "re");
    if (pipe == nullptr) {
        return Failure{format("popen for % has failed", command)};
    }
    std::string output;
    char buffer[1024];
    for (;;) {
        if (std::fgets(buffer, sizeof(buffer), pipe) == nullptr) {
            if (std::ferror(pipe) && errno == EINTR) {
                std::clearerr(pipe);
                continue;
            }
            break;
        }
        output += buffer;
        if (callback) {
            callback(buffer);
        }
    }
    // pclose waits for the shell and retries that wait on EINTR itself.
    int status = ::pclose(pipe);
    if (status != 0) {
        return Failure{system_commands::detail::commandFailed(command, status, output)};
    }
    return {};
}

}  // namespace

bool SystemCommands::execute(const std::string& command, std::function<void(const char*)> callback,
                             std::string* failure) {
    system_commands::Outcome<void> ran = runShell(command, callback);
    if (!ran && failure != nullptr) {
        *failure = ran.error();
    }
    return recorded(ran);
}

}  // namespace velk
