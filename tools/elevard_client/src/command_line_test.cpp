#include "command_line.h"

#include <gtest/gtest.h>

#include <sstream>

#include "client_test_words.h"

namespace {

using namespace elevard_client;
using elevard::CommandInfo;
using elevard::findCommand;

using test::command;
using test::words;

// Options in one line: the socket path ("default" for the default one), the flags set, then
// the command words.
std::string describe(const Options& o) {
    std::string text = o.socketPath == elevard::kDefaultSocketPath ? "default" : o.socketPath;
    if (o.timeout != elevard::kDefaultTimeout) {
        text += " " + std::to_string(o.timeout.count()) + "ms";
    }
    text += std::string(o.raw ? " raw" : "") + (o.cat ? " cat" : "") + (o.help ? " help" : "") +
            (o.json ? " json" : "") + (o.version ? " version" : "");
    text += ":";
    for (const std::string& word : o.words) {
        text += " " + word;
    }
    return text;
}

TEST(ParseOptionsTest, ReadsOptionsBeforeTheCommandOnly) {
    struct Case {
        const char* argv;
        const char* expected;  // describe() of the result, or "refused"
    };
    const Case cases[] = {
        {"c exists /tmp", "default: exists /tmp"},
        {"c --socket /s --raw stat /x", "/s raw: stat /x"},
        {"c --socket=/t --cat open /f 0", "/t cat: open /f 0"},
        {"c exists /tmp --timeout 5", "refused"},
        {"c -- exists --odd", "default: exists --odd"},
        {"c mkdir -x", "default: mkdir -x"},
        {"c --json --raw stat /", "refused"},
        {"c --json stat /", "default json: stat /"},
        {"c --version", "default version:"},
        {"c --help", "default help:"},
        {"c -h list", "default help: list"},
        {"c", "refused"},
        {"c --raw", "refused"},
        {"c --socket", "refused"},
        {"c --bogus help", "refused"},
        {"c --timeout 5 help", "default 5000ms: help"},
        {"c --timeout=86400 help", "default 86400000ms: help"},
        {"c --timeout 0 help", "refused"},
        {"c --timeout 1.5 help", "refused"},
        {"c --timeout -3 help", "refused"},
        {"c --timeout", "refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv);
        std::vector<std::string> args = words(c.argv);
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        std::string error;
        std::optional<Options> options =
            parseOptions(static_cast<int>(argv.size()), argv.data(), &error);
        std::string got = options ? describe(*options) : error.empty() ? "silent" : "refused";
        EXPECT_EQ(got, c.expected);
    }
}

TEST(BadArgumentTest, RefusesWhatTheServiceWouldNotRun) {
    const std::pair<const char*, const char*> cases[] = {
        {"open /f 66", ""},
        {"open /f 12abc", ""},
        {"open /f rw", "argument mode (rw) is not a number; usage: open <file_path> <mode>"},
        {"chown /a 1000 x",
         "argument gid (x) is not a number; usage: chown <path> <uid> <gid> "
         "[recursive]"},
        {"setFdLimit 1 99999999999",
         "argument value (99999999999) is not a number; usage: "
         "setFdLimit <pid> <value>"},
        {"mv /a", "missing argument; usage: mv <source_path> <target_path>"},
        {"dmiInfo x y", "too many arguments; usage: dmiInfo"},
        {"exists /tmp extra words", "too many arguments; usage: exists <path>"},
        {"install /p.deb force-conflicts", ""},
        {"install /p.deb force-conflicts x",
         "too many arguments; usage: install <deb_path> [force-conflicts]"},
    };
    for (const auto& [line, message] : cases) {
        SCOPED_TRACE(line);
        std::vector<std::string> split = words(line);
        EXPECT_EQ(badArgument(command(split[0]), split).value_or(""), message);
    }
}

TEST(UnknownCommandTest, NamesTheNearestCommand) {
    const std::pair<const char*, const char*> cases[] = {
        {"Exists", "unknown command Exists; did you mean exists?"},
        {"mkdri", "unknown command mkdri; did you mean mkdir?"},
        {"UNMOUNT", "unknown command UNMOUNT; did you mean unmount?"},
        {"setfdlimits", "unknown command setfdlimits; did you mean setFdLimit?"},
        {"rn", "unknown command rn; did you mean rm?"},
        {"frob", "unknown command frob; elevard-client --help lists the commands"},
        {"xy", "unknown command xy; elevard-client --help lists the commands"},
    };
    for (const auto& [name, message] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(unknownCommand(name), message);
    }
}

}  // namespace
