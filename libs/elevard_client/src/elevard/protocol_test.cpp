#include "elevard/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

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

TEST(KnownCommandsTest, UsageTextsMatchTheRequiredCounts) {
    std::set<std::string> names;
    for (const CommandInfo& info : knownCommands()) {
        SCOPED_TRACE(info.name);
        EXPECT_TRUE(names.insert(info.name).second) << "listed twice";
        std::string arguments = info.arguments;
        EXPECT_EQ(std::count(arguments.begin(), arguments.end(), '<'), info.requiredArguments);
    }
    EXPECT_EQ(names.size(), 19u);
    EXPECT_EQ(findCommand("MKDIR"), nullptr);
}

}  // namespace
