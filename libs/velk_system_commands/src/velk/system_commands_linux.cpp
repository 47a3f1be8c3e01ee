#include <cerrno>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <utility>

#include "velk/kit/debug.h"
#include "velk/system_commands.h"
#include "velk/system_commands/diagnostics.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/program_run.h"
#include "velk/system_commands/tree_changes.h"

namespace velk {

using system_commands::detail::format;
using system_commands::detail::ProgramRun;

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

const char* const SystemCommands::kDomainSocket = "/tmp/quorvath_syscmd_socket3f64fa";

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

bool SystemCommands::execute(const std::string& command, std::function<void(const char*)> callback,
                             std::string* failure) {
    return executeShown(command, command, std::move(callback), failure);
}

bool SystemCommands::executeShown(const std::string& command, const std::string& shown,
                                  std::function<void(const char*)> callback, std::string* failure) {
    auto fail = [&](std::string text) {
        if (failure != nullptr) {
            *failure = text;
        }
        setLastError(std::move(text));
        return false;
    };
    // The shell would see the line only up to a NUL byte, which is another command.
    if (command.find('\0') != std::string::npos) {
        return fail(format("popen for % has failed", shown));
    }
    // "e": the read end is close-on-exec, so shells started by other workers at the same time
    // do not inherit it and keep this command's output open.
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "re");
    if (pipe == nullptr) {
        return fail(format("popen for % has failed", shown));
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
    if (status == 0) {
        return true;
    }
    return fail(system_commands::detail::commandFailed(shown, status, output));
}

bool SystemCommands::runProgram(const ProgramRun& run,
                                const std::function<void(const char*)>& callback) {
    std::string failure;
    return system_commands::detail::runProgram(run, callback, &failure) || fail(failure);
}
}  // namespace velk
