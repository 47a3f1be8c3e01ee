#include "velk/kit/debug.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <iostream>
#include <regex>

namespace velk::kit::debug {
namespace {

TEST(DebugTest, StreamDefaultsToStandardErrorAndCanBeRedirected) {
    EXPECT_EQ(stream(), &std::cerr);
    std::ostream* saved = stream();
    std::ostringstream other;
    stream() = &other;
    EXPECT_EQ(stream(), &other);
    stream() = saved;
}

TEST(DebugTest, PrefixCarriesTimeThreadAndBaseName) {
    struct Case {
        const char* file;
        const char* base;
    };
    const Case cases[] = {
        {"libs/velk_system_commands/src/velk/system_commands_linux.cpp",
         "system_commands_linux.cpp"},
        {"/abs/path/x.cpp", "x.cpp"},
        {"plain.cpp", "plain.cpp"},
        {"", ""},
    };
    const std::string tid = std::to_string(static_cast<long>(syscall(SYS_gettid)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string prefix = detail::printPrefix(c.file);
        std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[(\d+)\] (.*): )");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(prefix, match, shape)) << prefix;
        EXPECT_EQ(match[1], tid);
        EXPECT_EQ(match[2], c.base);
    }
}

}  // namespace
}  // namespace velk::kit::debug
