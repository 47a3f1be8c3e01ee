#include "elevard/wire/line_words.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace elevard::wire {
namespace {

// The words after the command name of `line`, each read as the service reads its arguments.
std::vector<std::string> wordsAfterName(const std::string& line) {
    CommandIterator position = line.begin();
    skipSpaces(&position, line.end());
    advanceWhile(&position, line.end(), isNotSpace);
    std::vector<std::string> words;
    for (skipSpaces(&position, line.end()); position != line.end();
         skipSpaces(&position, line.end())) {
        words.emplace_back();
        extractWord(&position, line.end(), &words.back());
    }
    return words;
}

// What a client joins, the service's reader splits back into the same words.
TEST(LineWordsTest, JoinedWordsReadBackAlike) {
    const std::vector<std::string> lines[] = {
        {"mv", "it's", "/x y"},
        {"chown", "", "\t0", "1"},
        {"mount", "//h/s", "/m", "user", "p a\ns"},
    };
    for (const std::vector<std::string>& words : lines) {
        SCOPED_TRACE(::testing::PrintToString(words));
        std::string error;
        std::optional<std::string> line = joinWords(words, &error);
        ASSERT_TRUE(line) << error;
        EXPECT_EQ(wordsAfterName(*line), std::vector<std::string>(words.begin() + 1, words.end()));
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
