#pragma once

// The command line's grammar: the word reader that splits a line into its arguments, as the
// service reads it, and the joining of words into a line, as clients send it.
//
// A command line is a command name followed by words separated by whitespace; a word that
// holds whitespace is written between single quotes. There are no escapes and no double
// quotes. All functions here keep no state and may run on any thread.

#include <cctype>
#include <optional>
#include <string>
#include <vector>

namespace elevard::wire {

using CommandIterator = std::string::const_iterator;

// True for every byte that is not whitespace in the "C" locale; bytes 0x80-0xFF never are.
inline bool isNotSpace(char c) {
    return !std::isspace(static_cast<unsigned char>(c));
}

// True for every byte but the single quote.
inline bool isNotQuote(char c) {
    return c != '\'';
}

// Moves `*position` forward while it is before `end` and `predicate` holds for its byte.
template <typename Predicate>
void advanceWhile(CommandIterator* position, CommandIterator end, Predicate predicate) {
    while (*position != end && predicate(**position)) {
        ++*position;
    }
}

inline void skipSpaces(CommandIterator* position, CommandIterator end) {
    advanceWhile(position, end, [](char c) { return !isNotSpace(c); });
}

// Reads one word at `*position` and leaves the position after it. A word that starts with a
// quote runs to the next quote (or the end of the line) and loses both quotes; any other word
// runs to the next whitespace. `target` (a std::string or std::optional<std::string>) is
// written only when the word is not empty.
template <typename Target>
void extractWord(CommandIterator* position, CommandIterator end, Target* target) {
    bool (*predicate)(char) = isNotSpace;
    if (*position != end && **position == '\'') {
        predicate = isNotQuote;
        ++*position;
    }
    CommandIterator start = *position;
    advanceWhile(position, end, predicate);
    std::string word(start, *position);
    if (*position != end && **position == '\'') {
        ++*position;
    }
    if (!word.empty()) {
        *target = std::move(word);
    }
}

// Joins the command name and its arguments with single blanks into the line the reader above
// reads back: an argument holding whitespace is put between single quotes, an empty argument
// is sent as ''. Returns nullopt with a message in `*error` for a word the grammar cannot
// carry (it has no escapes): a name that is empty or holds whitespace, an argument that holds
// both whitespace and a single quote, or one that begins with a single quote.
std::optional<std::string> joinWords(const std::vector<std::string>& words, std::string* error);

}  // namespace elevard::wire
