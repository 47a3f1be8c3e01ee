// The word reader and the registry lookup against a plain model of the command-line syntax.
//
// Input: one byte that is skipped, the registrations up to the first newline (groups of names
// separated by '|', names by ','; a group starting with '!' is direct), then the command line,
// taken whole.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "fuzz_check.h"

namespace {

struct ModelWord {
    std::string text;
    std::size_t next;  // where the reader stops after it
};

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// A word starting at `at`: a quoted one runs to the next quote (consumed) or the end, any other
// to the next whitespace.
ModelWord modelWord(const std::string& line, std::size_t at) {
    if (at < line.size() && line[at] == '\'') {
        std::size_t close = line.find('\'', at + 1);
        if (close == std::string::npos) {
            return {line.substr(at + 1), line.size()};
        }
        return {line.substr(at + 1, close - at - 1), close + 1};
    }
    std::size_t end = at;
    while (end < line.size() && !isBlank(line[end])) {
        ++end;
    }
    return {line.substr(at, end - at), end};
}

// Reads every word with extractWord: each read stays within the line, moves forward and stops
// where the model stops.
void checkWords(const std::string& line) {
    CommandIterator position = line.begin();
    for (;;) {
        skipSpaces(&position, line.end());
        if (position == line.end()) {
            return;
        }
        const std::size_t at = static_cast<std::size_t>(position - line.begin());
        std::optional<std::string> word;
        extractWord(&position, line.end(), &word);
        const std::size_t next = static_cast<std::size_t>(position - line.begin());
        ModelWord expected = modelWord(line, at);
        fuzzCheck(next > at && next <= line.size(), "extractWord moves forward within the line");
        fuzzCheck(next == expected.next, "extractWord stops where the model stops");
        fuzzCheck(word.value_or("") == expected.text && (!word || !word->empty()),
                  "extractWord engages a target only with a non-empty word");
    }
}

// Registers the groups of `registrations` and looks `line` up: found exactly when its first word,
// read from the very first byte, is a registered name, and then bound to that name's first
// registration with the line unchanged.
void checkLookup(const std::string& registrations, const std::string& line) {
    CommandsFactory factory;
    std::map<std::string, std::size_t> firstRegistration;
    std::vector<bool> directGroups;
    std::size_t ran = 0;
    std::string ranWith;
    for (const std::string& group : split(registrations, '|')) {
        const bool direct = group.rfind('!', 0) == 0;
        directGroups.push_back(direct);
        const std::size_t index = directGroups.size();
        std::vector<std::string> names = split(group.substr(direct ? 1 : 0), ',');
        for (const std::string& name : names) {
            firstRegistration.emplace(name, index);
        }
        auto handler = [index, &ran, &ranWith](const std::string& command, int socket) {
            ran = index;
            ranWith = command;
            return socket == -1 ? Result::ok : Result::executionFailed;
        };
        factory.reg(names, {"path", "opt_x"}, handler, direct);
    }
    auto found = firstRegistration.find(modelWord(line, 0).text);
    auto context = factory.get(line, {});  // no socket: the handler sees -1
    fuzzCheck((context != nullptr) == (found != firstRegistration.end()),
              "get finds exactly the lines whose first word is registered");
    if (context) {
        fuzzCheck(execute(context) == Result::ok && ran == found->second && ranWith == line,
                  "the line runs its name's first handler, unchanged and without a socket");
        fuzzCheck(isDirect(context) == directGroups[found->second - 1], "isDirect");
    }
    factory.help();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::size_t newline = rest.find('\n');
    std::string registrations = rest.substr(0, newline);
    std::string line = newline == std::string::npos ? std::string() : rest.substr(newline + 1);
    checkWords(line);
    checkLookup(registrations, line);
    return 0;
}
