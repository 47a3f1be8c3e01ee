#pragma once

#include <string>

#include "velk/kit/scoped_fd.h"

class CommandsFactory;
class ReplyCarrier;
struct RequestOrigin;

// Runs one command line through `factory` and prints its outcome on standard output:
// "Command %s not found\n" when its first word is not registered, else "%s --> %s\n" with the
// line as shownCommand gives it (passwords hidden) and the outcome word unless the command is
// direct. In both lines the line's control characters are written as "\xNN" escapes, all but
// one newline that ends it. `socket` is the connection the reply goes to, none in direct mode; it
// is closed on every path before the outcome line is printed. `origin`, given for a request
// that came over the socket, names its caller: when standard output is the journal
// (standardOutputIsJournal), the request, a direct command's included, becomes one journal entry
// (sendJournalEntry) instead of the line, which is printed only when the journal refuses the
// entry. What of the reply a full connection cannot take goes to `carrier` (see execute).
// Each line reaches standard output whole, never mixed with another thread's. Returns 0
// when the command ran and succeeded, else -1. Thread-safe as long as `factory` is no longer
// written.
int executeCommand(const CommandsFactory& factory, const std::string& command,
                   velk::kit::ScopedFd socket, const RequestOrigin* origin = nullptr,
                   ReplyCarrier* carrier = nullptr);

// Makes the real user and group ids equal to the effective ones, users first. On failure
// prints the reason with perror and returns false.
bool setupIds();

// Joins the program's arguments (argv[1] up to the terminating null pointer) into one command
// line, each argument followed by one space. Nothing is quoted.
std::string makeCommandString(const char** argv);

// Direct mode: setupIds(), then the joined arguments through executeCommand().
// Returns main's exit value: 0 or -1.
int runDirect(const CommandsFactory& factory, const char** argv);

// Whether the program's first argument is an option rather than a command line: it begins
// with "--", which no command name does.
bool isOptionWord(const char* word);

// Runs the option in argv[1]: "--help" prints how to run the program and every command,
// "--version" the version, both on standard output with status 0; any other option prints a
// message on standard error and returns -1. Prints no start-up line and touches nothing.
int runOption(const char** argv);
