#include "common.h"

#include <gtest/gtest.h>

namespace {

TEST(ResultTest, ToStringGivesTheOutcomeWord) {
    EXPECT_EQ(toString(Result::ok), "ok");
    EXPECT_EQ(toString(Result::invalidArgument), "invalid argument");
    EXPECT_EQ(toString(Result::executionFailed), "execution failed");
    EXPECT_EQ(toString(static_cast<Result>(7)), "");
}

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

TEST(ParseCommandTest, QuotesSeparateWords) {
    std::string first, second;
    ASSERT_TRUE(parseCommand(std::string("cmd 'a'b"), &first, &second));
    EXPECT_EQ(first, "a");
    EXPECT_EQ(second, "b");
}

TEST(ParseCommandTest, MissingSecondRequiredWordFails) {
    std::string first, second;
    EXPECT_FALSE(parseCommand(std::string("cmd /a"), &first, &second));
    EXPECT_EQ(first, "/a");
    EXPECT_EQ(second, "");
}

TEST(ParseCommandTest, OptionalWords) {
    struct Case {
        const char* line;
        bool parsed;
        std::optional<std::string> firstOptional;
        std::optional<std::string> secondOptional;
    };
    const Case cases[] = {
        {"cmd a b", true, std::nullopt, std::nullopt},
        {"cmd a b ", true, std::nullopt, std::nullopt},
        {"cmd a b u", true, "u", std::nullopt},
        {"cmd a b u p extra", true, "u", "p"},
        {"cmd a b '' x", true, std::nullopt, "x"},
        {"cmd a b 'user name' 'pass word'", true, "user name", "pass word"},
        {"cmd a", false, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string url, path;
        std::optional<std::string> user, password;
        EXPECT_EQ(parseCommand(std::string(c.line), &url, &path, &user, &password), c.parsed);
        EXPECT_EQ(user, c.firstOptional);
        EXPECT_EQ(password, c.secondOptional);
    }
}

TEST(ParseCommandTest, ThreeRequiredAndOneOptional) {
    std::string path, uid, gid;
    std::optional<std::string> recursive;
    ASSERT_TRUE(parseCommand(std::string("chown /mnt/a 1000 1001"), &path, &uid, &gid, &recursive));
    EXPECT_EQ(path, "/mnt/a");
    EXPECT_EQ(uid, "1000");
    EXPECT_EQ(gid, "1001");
    EXPECT_FALSE(recursive.has_value());
    ASSERT_TRUE(parseCommand(std::string("chown /mnt/a 1 2 no"), &path, &uid, &gid, &recursive));
    EXPECT_EQ(recursive, "no");
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
