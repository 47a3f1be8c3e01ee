#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "velk/kit/debug.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"

// Test helpers shared by the suites of the system operations: runs in a forked child with the
// diagnostic lines captured. The configuration is read once per process, so it is read only
// in the children.
namespace velk::testing_support {

inline bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0755) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << content << std::flush) && ::chmod(path.c_str(), mode) == 0;
}

// The diagnostic lines written so far, without their prefixes; clears the stream.
inline std::vector<std::string> takeLines(std::ostringstream& diagnostics) {
    static const std::regex prefix(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] system_commands_linux\.cpp: )");
    std::vector<std::string> lines;
    std::istringstream in(diagnostics.str());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(std::regex_replace(line, prefix, ""));
    }
    diagnostics.str("");
    return lines;
}

// Runs `body` in a forked child inside a private mount namespace (a fresh tmpfs on /tmp), with
// enableOutput on and the diagnostic lines going to the stream `body` gets, and returns what it
// handed back. The configuration is read once per process, and this process never reads it.
inline std::string inNamespace(const std::function<std::string(std::ostringstream&)>& body) {
    velk::testing::ForkResult result = velk::testing::runForked([&]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error) || ::mkdir("/tmp/ini", 0755) != 0 ||
            !writeFile("/tmp/ini/velk_system_commands.ini", "enableOutput=true\n")) {
            return "set-up: " + error + std::strerror(errno);
        }
        ::setenv("VELK_INI_DIR", "/tmp/ini", 1);
        std::ostringstream diagnostics;
        kit::debug::stream() = &diagnostics;
        return body(diagnostics);
    });
    EXPECT_TRUE(result.exitedCleanly) << result.text;
    return result.text;
}

// How many mounts lie on `path` in this process's namespace; with `honouringSuidOrDevices`,

}  // namespace velk::testing_support
