#include "elevard/wire/line_words.h"

#include <gtest/gtest.h>

namespace elevard::wire {
namespace {

TEST(ParseCommandTest, OneRequiredWord) {
    struct Case {
        const char* line;
        bool parsed;
        const char* word;
    };
    const Case cases[] = {
        {"cmd", false, ""},
        {"cmd   ", false, ""},
        {"", false, ""},
        {"   ", false, ""},
        {"cmd /a /b", true, "/a"},
        {"cmd '/a b'", true, "/a b"},
        {"cmd '/a b", true, "/a b"},
        {"cmd it's", true, "it's"},
        {"cmd ''", true, ""},
        {"cmd '", true, ""},
        {"cmd\t/a\n", true, "/a"},
        {"  \tcmd /a", true, "/a"},
        {"cmd /a ", true, "/a"},
        {"'cmd x' /a", true, "x'"},
        {"cmd \xc3\xa9t\xc3\xa9", true, "\xc3\xa9t\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string word;
        EXPECT_EQ(parseCommand(std::string(c.line), &word), c.parsed);
        EXPECT_EQ(word, c.word);
    }
}

// Required words, then optional ones; every shape of target list goes through the same two
// overloads, so two of each stand for the longer lists the handlers use.
TEST(ParseCommandTest, RequiredThenOptionalWords) {
    struct Case {
        const char* line;
        bool parsed;
        const char* first;
        const char* second;
        std::optional<std::string> firstOptional;
        std::optional<std::string> secondOptional;
    };
    const Case cases[] = {
        {"cmd a b", true, "a", "b", std::nullopt, std::nullopt},
        {"cmd a b ", true, "a", "b", std::nullopt, std::nullopt},
        {"cmd 'a'b", true, "a", "b", std::nullopt, std::nullopt},
        {"cmd a b u", true, "a", "b", "u", std::nullopt},
        {"cmd a b u p extra", true, "a", "b", "u", "p"},
        {"cmd a b '' x", true, "a", "b", std::nullopt, "x"},
        {"cmd a b 'user name' 'pass word'", true, "a", "b", "user name", "pass word"},
        // A missing required word fails; the words already read keep their values.
        {"cmd /a", false, "/a", "", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string first, second;
        std::optional<std::string> firstOptional, secondOptional;
        EXPECT_EQ(
            parseCommand(std::string(c.line), &first, &second, &firstOptional, &secondOptional),
            c.parsed);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(second, c.second);
        EXPECT_EQ(firstOptional, c.firstOptional);
        EXPECT_EQ(secondOptional, c.secondOptional);
    }
}

TEST(ExtractWordTest, StopsAfterTheWordAndItsClosingQuote) {
    struct Case {
        const char* text;
        const char* word;
        const char* rest;
    };
    const Case cases[] = {
        {"abc def", "abc", " def"}, {"'a b'c", "a b", "c"}, {"''x", "", "x"},
        {"'open", "open", ""},      {"", "", ""},           {" lead", "", " lead"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text(c.text);
        CommandIterator position = text.begin();
        std::optional<std::string> word;
        extractWord(&position, text.end(), &word);
        EXPECT_EQ(word.value_or(""), c.word);
        EXPECT_EQ(word.has_value(), *c.word != '\0');
        EXPECT_EQ(std::string(position, text.cend()), c.rest);
    }
}

}  // namespace
}  // namespace elevard::wire
