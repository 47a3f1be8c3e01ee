#include "elevard/protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace elevard;

// Plain words, a blank, an empty word and a quote with a blank: see the client tests.
TEST(JoinCommandLineTest, QuotesOnlyWhatTheServiceCanRead) {
    const std::string refused = "(refused with a reason)";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"mkdir", "/tmp/a\tb"}, "mkdir '/tmp/a\tb'"},
        {{"mkdir", "/tmp/a\nb"}, "mkdir '/tmp/a\nb'"},
        {{"mv", "it's", "/x y"}, "mv it's '/x y'"},
        {{"mkdir", "\xc3\xa9t\xc3\xa9"}, "mkdir \xc3\xa9t\xc3\xa9"},
        {{"mkdir", "'abc"}, refused},
        {{"my cmd", "x"}, refused},
        {{"", "x"}, refused},
        {{}, refused},
    };
    for (const auto& [words, line] : cases) {
        SCOPED_TRACE(::testing::PrintToString(words));
        std::string error;
        std::optional<std::string> joined = joinCommandLine(words, &error);
        EXPECT_EQ(joined.value_or(error.empty() ? "(refused)" : refused), line);
    }
}

TEST(CommandTableTest, FindsNamesAndAliasesAndRendersUsage) {
    const std::pair<const char*, const char*> cases[] = {
        {"chown", "<path> <uid> <gid> [recursive]"},
        {"mount", "<url> <path> [user] [password]"},
        {"unmount", "<path>"},
        {"install", "<deb_path> [force-conflicts]"},
        {"dmiInfo", ""},
        {"MKDIR", "(none)"},
        {"", "(none)"},
    };
    for (const auto& [name, shown] : cases) {
        SCOPED_TRACE(name);
        const CommandInfo* info = findCommand(name);
        EXPECT_EQ(info ? usage(*info) : "(none)", shown);
    }
    EXPECT_EQ(findCommand("umount"), findCommand("unmount"));
}

}  // namespace
