#include "velk/kit/debug.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <iostream>
#include <regex>

namespace velk::kit::debug {
namespace {

// Redirection itself is exercised by every test that captures the stream.
TEST(DebugTest, StreamDefaultsToStandardError) {
    EXPECT_EQ(stream(), &std::cerr);
}

TEST(DebugTest, PrefixCarriesTimeThreadAndBaseName) {
    const std::pair<const char*, const char*> cases[] = {
        {"libs/velk_system_commands/src/velk/system_commands_linux.cpp",
         "system_commands_linux.cpp"},
        {"/abs/path/x.cpp", "x.cpp"},
        {"plain.cpp", "plain.cpp"},
        {"", ""},
    };
    const std::string tid = std::to_string(static_cast<long>(syscall(SYS_gettid)));
    const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+)\] (.*): )");
    for (const auto& [file, base] : cases) {
        SCOPED_TRACE(file);
        const std::string prefix = detail::printPrefix(file);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(prefix, match, shape)) << prefix;
        EXPECT_EQ(match[1], tid);
        EXPECT_EQ(match[2], base);
    }
}

}  // namespace
}  // namespace velk::kit::debug
