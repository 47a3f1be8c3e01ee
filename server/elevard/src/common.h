#pragma once

// Shared by the command registry and every command handler: the outcome of a handler, and the
// word reader of the wire folder under the names the handlers use.

#include <string>

#include "elevard/wire/line_words.h"

// The outcome of a command handler.
enum class Result {
    ok = 0,               // the command did its work
    invalidArgument = 1,  // the command line lacks an argument the command needs
    executionFailed = 2,  // the arguments were read but the operation failed
};

// "ok", "invalid argument", "execution failed"; an empty string for any other value.
inline std::string toString(Result result) {
    switch (result) {
        case Result::ok:
            return "ok";
        case Result::invalidArgument:
            return "invalid argument";
        case Result::executionFailed:
            return "execution failed";
    }
    return {};
}

using elevard::wire::advanceWhile;
using elevard::wire::CommandIterator;
using elevard::wire::extractWord;
using elevard::wire::isNotQuote;
using elevard::wire::isNotSpace;
using elevard::wire::skipSpaces;
