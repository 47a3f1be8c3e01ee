#include "elevard/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

using namespace elevard;

TEST(JoinCommandLineTest, QuotesOnlyWhatTheServiceCanRead) {
    struct Case {
        std::vector<std::string> words;
        const char* line;  // nullptr: refused
    };
    const Case cases[] = {
        {{"help"}, "help"},
        {{"exists", "/tmp"}, "exists /tmp"},
        {{"mkdir", "/tmp/a b"}, "mkdir '/tmp/a b'"},
        {{"mkdir", "/tmp/a\tb"}, "mkdir '/tmp/a\tb'"},
        {{"mkdir", "/tmp/a\nb"}, "mkdir '/tmp/a\nb'"},
        {{"mv", "it's", "/x y"}, "mv it's '/x y'"},
        {{"mount", "//s/x", "/tmp/m", "", "pw"}, "mount //s/x /tmp/m '' pw"},
        {{"chown", "/p", "1", "2", "yes"}, "chown /p 1 2 yes"},
        {{"mkdir", "\xc3\xa9t\xc3\xa9"}, "mkdir \xc3\xa9t\xc3\xa9"},
        {{"mkdir", "it's here"}, nullptr},
        {{"mkdir", "'abc"}, nullptr},
        {{"my cmd", "x"}, nullptr},
        {{"", "x"}, nullptr},
        {{}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line != nullptr ? c.line : "refused");
        std::string error;
        std::optional<std::string> line = joinCommandLine(c.words, &error);
        if (c.line == nullptr) {
            EXPECT_FALSE(line.has_value()) << *line;
            EXPECT_FALSE(error.empty());
        } else {
            ASSERT_TRUE(line.has_value()) << error;
            EXPECT_EQ(*line, c.line);
        }
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
