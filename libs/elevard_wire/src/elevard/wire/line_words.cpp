#include "elevard/wire/line_words.h"

namespace elevard::wire {
namespace {

bool isWhitespace(char c) {
    // The reader splits words with isspace in the "C" locale, whatever locale a client set.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool holdsWhitespace(const std::string& word) {
    for (char c : word) {
        if (isWhitespace(c)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> joinWords(const std::vector<std::string>& words, std::string* error) {
    if (words.empty() || words[0].empty() || holdsWhitespace(words[0])) {
        *error = "the command name must be one non-empty word without whitespace";
        return std::nullopt;
    }
    std::string line = words[0];
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        bool quoted = word.empty() || holdsWhitespace(word);
        bool hasQuote = word.find('\'') != std::string::npos;
        if (quoted && hasQuote) {
            *error = "argument " + std::to_string(i) + " (" + word +
                     ") holds both whitespace and a single quote, which the service's command "
                     "syntax cannot carry";
            return std::nullopt;
        }
        if (!quoted && word[0] == '\'') {
            *error = "argument " + std::to_string(i) + " (" + word +
                     ") begins with a single quote, which the service would take as quoting";
            return std::nullopt;
        }
        line += ' ';
        line += quoted ? "'" + word + "'" : word;
    }
    return line;
}

}  // namespace elevard::wire
