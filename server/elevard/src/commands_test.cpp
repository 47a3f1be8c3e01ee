#include "commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(ResultTest, ToStringGivesTheOutcomeWord) {
    EXPECT_EQ(toString(Result::ok), "ok");
    EXPECT_EQ(toString(Result::invalidArgument), "invalid argument");
    EXPECT_EQ(toString(Result::executionFailed), "execution failed");
    EXPECT_EQ(toString(static_cast<Result>(7)), "");
}

// Records every call made on it and answers with a fixed result.
struct RecordingHandler {
    struct Call {
        std::string command;
        int socket;
    };
    std::vector<Call> calls;
    Result answer = Result::ok;

    CommandHandler handler() {
        return [this](const std::string& command, int socket) {
            calls.push_back({command, socket});
            return answer;
        };
    }
};

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(CommandsFactoryTest, LooksUpTheFirstWordFromTheFirstByte) {
    RecordingHandler recorder;
    CommandsFactory factory;
    factory.reg({"exists"}, {"path"}, recorder.handler(), false);
    struct Case {
        const char* line;
        bool found;
    };
    const Case cases[] = {
        {"exists /tmp", true},  {"exists", true},        {"'exists' /tmp", true}, {"'exists", true},
        {"exists\n", true},     {" exists /tmp", false}, {"\texists", false},     {"", false},
        {"Exists /tmp", false}, {"existsx /tmp", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        auto context = factory.get(c.line, {});
        ASSERT_EQ(context != nullptr, c.found);
        if (context) {
            recorder.calls.clear();
            EXPECT_EQ(execute(context), Result::ok);
            ASSERT_EQ(recorder.calls.size(), 1u);
            EXPECT_EQ(recorder.calls[0].command, c.line);
            EXPECT_EQ(recorder.calls[0].socket, -1);
        }
    }
}

// Whether a command is direct decides where its outcome is printed, not whether it may get
// a socket: execute() hands over whatever socket the request has.
TEST(CommandsFactoryTest, AliasesShareOneHandlerAndTheFirstRegistrationWins) {
    RecordingHandler first, second;
    CommandsFactory factory;
    factory.reg({"umount", "unmount"}, {"path"}, first.handler(), false)
        .reg({"unmount", "other"}, {"x"}, second.handler(), true)
        .reg({}, {"ignored"}, second.handler(), false);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    execute(factory.get("umount /a", {}));
    execute(factory.get("unmount /b", {}));
    execute(factory.get("other /c", velk::kit::ScopedFd(pair[0])));
    ASSERT_EQ(first.calls.size(), 2u);
    EXPECT_EQ(first.calls[1].command, "unmount /b");
    ASSERT_EQ(second.calls.size(), 1u);
    EXPECT_EQ(second.calls[0].socket, pair[0]);
    EXPECT_FALSE(isDirect(factory.get("unmount", {})));
    EXPECT_TRUE(isDirect(factory.get("other", {})));
}

// The handler gets the socket open, whatever it then returns or throws; afterwards the socket
// is closed and a throw counts as an invalid argument.
TEST(CommandsFactoryTest, ExecuteHandsOverTheSocketAndClosesItOnce) {
    for (bool throws : {false, true}) {
        SCOPED_TRACE(throws ? "throws" : "fails");
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        std::vector<int> seen;
        CommandsFactory factory;
        factory.reg(
            {"cmd"}, {},
            [&](const std::string& command, int socket) {
                seen.push_back(socket);
                EXPECT_TRUE(isOpen(socket));
                // A malformed number in a line is what makes the real handlers throw.
                return throws ? static_cast<Result>(std::stoi(command.substr(4)))
                              : Result::executionFailed;
            },
            false);
        EXPECT_EQ(execute(factory.get("cmd notanumber", velk::kit::ScopedFd(pair[0]))),
                  throws ? Result::invalidArgument : Result::executionFailed);
        EXPECT_EQ(seen, std::vector<int>{pair[0]});
        EXPECT_FALSE(isOpen(pair[0]));
        char byte;
        // A socket left open would make a blocking read hang instead of failing.
        EXPECT_EQ(recv(pair[1], &byte, 1, MSG_DONTWAIT), 0) << "peer should see end of stream";
        close(pair[1]);
    }
}

// The password of a mount must not reach the outcome line, however it is quoted or spaced.
TEST(CommandsFactoryTest, ShownCommandHidesPasswords) {
    RecordingHandler recorder;
    CommandsFactory factory;
    factory
        .reg({"mount"}, {"url", "path", "opt_user", "opt_password"}, recorder.handler(), false,
             0b1000)
        .reg({"chown"}, {"path", "uid"}, recorder.handler(), false);
    const std::pair<const char*, const char*> cases[] = {
        {"mount //s/x /tmp/a u secret", "mount //s/x /tmp/a u ****"},
        {"mount  //s/x\t/tmp/a 'u v' 'se cret' more\n", "mount  //s/x\t/tmp/a 'u v' **** more\n"},
        {"mount //s/x /tmp/a u 'unclosed secret", "mount //s/x /tmp/a u ****"},
        {"mount //s/x /tmp/a u ''", "mount //s/x /tmp/a u ****"},
        {"mount //s/x /tmp/a u", "mount //s/x /tmp/a u"},
        {"'mount' a b", "'mount' a b"},
        {"chown /a 1 password", "chown /a 1 password"},
    };
    for (const auto& [line, shown] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(shownCommand(factory.get(line, {})), shown);
    }
}

// The registry keeps no order, so the lines under each heading are compared sorted.
TEST(CommandsFactoryTest, HelpListsEveryNameAlignedUnderItsHeading) {
    RecordingHandler recorder;
    CommandsFactory factory;
    factory.reg({"mount"}, {"url", "path", "opt_user", "opt_"}, recorder.handler(), false)
        .reg({"umount", "unmount"}, {"path"}, recorder.handler(), false)
        .reg({"help"}, {}, recorder.handler(), true)
        .reg({"longername"}, {"abcd"}, recorder.handler(), true);
    const std::string text = factory.help();
    ASSERT_EQ(text.back(), '\n');
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 10u) << text;
    std::sort(lines.begin() + 3, lines.begin() + 6);
    std::sort(lines.begin() + 8, lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Velk elevard service. Accepts and server Velk Mediaserver tcp requests "
                         "and is called directly in some cases.",
                         "",
                         "Supported socket commands:",
                         " mount      <url> <path> [user] <opt_> ",
                         " umount     <path> ",
                         " unmount    <path> ",
                         "",
                         "Supported direct commands:",
                         " help       ",
                         " longername <abcd> ",
                     }));
}

}  // namespace
