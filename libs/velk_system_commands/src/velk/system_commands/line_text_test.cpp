#include "velk/system_commands/line_text.h"

#include <gtest/gtest.h>

namespace velk::system_commands::detail {
namespace {

// The failure text with all three placeholders is checked whole by the execute tests.
TEST(FormatTest, FillsPlaceholdersInOrder) {
    struct Case {
        const char* name;
        std::string result;
        const char* expected;
    };
    const Case cases[] = {
        {"one argument", format("Mount to % is forbidden", "/mnt/x"),
         "Mount to /mnt/x is forbidden"},
        {"extra argument dropped", format("Mount to % is forbidden", "/mnt/x", "/other"),
         "Mount to /mnt/x is forbidden"},
        {"missing argument keeps %", format("% and %", "a"), "a and %"},
        {"no arguments", format("100% \\% done"), "100% \\% done"},
        {"escaped % uses no argument", format("a\\% b %", "x"), "a\\% b x"},
        {"leading % is a placeholder", format("%\\%", 7), "7\\%"},
        {"integers in decimal", format("rc % and %", 256, -1), "rc 256 and -1"},
        {"argument text not scanned", format("% %", "%", "b"), "% b"},
        {"backslash in an argument escapes nothing", format("%%", "\\", "x"), "\\x"},
        {"empty pattern", format("", "unused"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, c.expected);
    }
}

TEST(EscapeSingleQuotesTest, ReplacesOnlyQuotes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"'", "'\\''"},
        {"plain/path", "plain/path"},
        {"a'b''c", "a'\\''b'\\'''\\''c"},
        {"back\\slash\nnew line \"double\"", "back\\slash\nnew line \"double\""},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(escapeSingleQuotes(input), expected);
    }
}

TEST(EscapeControlsTest, WritesControlBytesAsHex) {
    struct Case {
        std::string text;
        bool keepFinalNewline;
        const char* expected;
    };
    const Case cases[] = {
        {"exists /tmp\nmkdir /etc/shadow\n", true, "exists /tmp\\x0amkdir /etc/shadow\n"},
        {"a\n\n", true, "a\\x0a\n"},
        {"a\n", false, "a\\x0a"},
        {std::string("\0\t\r\x1b\x1f\x7f", 6), false, "\\x00\\x09\\x0d\\x1b\\x1f\\x7f"},
        {"\x20~\x80\xff\\x0a", false, "\x20~\\x80\\xff\\x0a"},
        // UTF-8 stays, but not its line breaks and C1 controls, nor what is no UTF-8 at all.
        {"\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80|\xc2\x85|\xc2\x9b|\xe2\x80\xa8|\xe2\x80\xa9|"
         "\x9b|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x80",
         false,
         "\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80|\\xc2\\x85|\\xc2\\x9b|\\xe2\\x80\\xa8|"
         "\\xe2\\x80\\xa9|\\x9b|\\xc0\\xaf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xe2\\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(escapeControls(c.text, c.keepFinalNewline), c.expected);
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
