#include "commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

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
        auto context = factory.get(c.line, std::nullopt);
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

TEST(CommandsFactoryTest, AliasesShareOneHandlerAndTheFirstRegistrationWins) {
    RecordingHandler first, second;
    CommandsFactory factory;
    factory.reg({"umount", "unmount"}, {"path"}, first.handler(), false)
        .reg({"unmount", "other"}, {"x"}, second.handler(), true)
        .reg({}, {"ignored"}, second.handler(), false);
    execute(factory.get("umount /a", std::nullopt));
    execute(factory.get("unmount /b", std::nullopt));
    execute(factory.get("other /c", std::nullopt));
    ASSERT_EQ(first.calls.size(), 2u);
    EXPECT_EQ(first.calls[1].command, "unmount /b");
    ASSERT_EQ(second.calls.size(), 1u);
    EXPECT_FALSE(isDirect(factory.get("unmount", std::nullopt)));
    EXPECT_TRUE(isDirect(factory.get("other", std::nullopt)));
}

TEST(CommandsFactoryTest, ExecuteHandsOverTheSocketAndClosesItOnce) {
    struct Case {
        const char* name;
        Result answer;
        bool throws;
        Result expected;
    };
    const Case cases[] = {
        {"succeeds", Result::ok, false, Result::ok},
        {"fails", Result::executionFailed, false, Result::executionFailed},
        {"throws", Result::ok, true, Result::invalidArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        std::vector<int> seen;
        CommandsFactory factory;
        factory.reg(
            {"cmd"}, {},
            [&](const std::string& command, int socket) -> Result {
                seen.push_back(socket);
                if (c.throws) {
                    return static_cast<Result>(std::stoi(command.substr(4)));
                }
                EXPECT_TRUE(isOpen(socket));
                return c.answer;
            },
            false);
        EXPECT_EQ(execute(factory.get("cmd notanumber", pair[0])), c.expected);
        EXPECT_EQ(seen, std::vector<int>{pair[0]});
        EXPECT_FALSE(isOpen(pair[0]));
        char byte;
        EXPECT_EQ(read(pair[1], &byte, 1), 0) << "peer should see end of stream";
        close(pair[1]);
    }
}

TEST(CommandsFactoryTest, DirectFlagDoesNotRestrictWhereACommandRuns) {
    RecordingHandler recorder;
    CommandsFactory factory;
    factory.reg({"direct"}, {}, recorder.handler(), true);
    factory.reg({"socket"}, {}, recorder.handler(), false);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_EQ(execute(factory.get("direct", pair[0])), Result::ok);
    EXPECT_EQ(execute(factory.get("socket", std::nullopt)), Result::ok);
    close(pair[1]);
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0].socket, pair[0]);
    EXPECT_EQ(recorder.calls[1].socket, -1);
}

TEST(CommandsFactoryTest, EmptyHelp) {
    CommandsFactory factory;
    EXPECT_EQ(factory.help(),
              "Velk elevard service. Accepts and server Velk Mediaserver tcp requests and is "
              "called directly in some cases.\n"
              "\n"
              "Supported socket commands:\n"
              "\n"
              "Supported direct commands:\n");
}

TEST(CommandsFactoryTest, HelpAlignsNamesAndRendersArguments) {
    RecordingHandler recorder;
    CommandsFactory factory;
    factory.reg({"mount"}, {"url", "path", "opt_user", "opt_"}, recorder.handler(), false)
        .reg({"help"}, {}, recorder.handler(), true)
        .reg({"longername"}, {"abcd"}, recorder.handler(), true);
    std::string text = factory.help();
    const std::string header =
        "Velk elevard service. Accepts and server Velk Mediaserver tcp requests and is called "
        "directly in some cases.\n\nSupported socket commands:\n"
        " mount      <url> <path> [user] <opt_> \n"
        "\nSupported direct commands:\n";
    ASSERT_EQ(text.substr(0, header.size()), header);
    std::string direct = text.substr(header.size());
    const std::string helpLine = " help       \n";
    const std::string longLine = " longername <abcd> \n";
    EXPECT_TRUE(direct == helpLine + longLine || direct == longLine + helpLine) << direct;
}

TEST(CommandsFactoryTest, EveryAliasGetsItsOwnHelpLine) {
    RecordingHandler recorder;
    CommandsFactory factory;
    factory.reg({"umount", "unmount"}, {"path"}, recorder.handler(), false);
    std::string text = factory.help();
    EXPECT_NE(text.find("\n umount  <path> \n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n unmount <path> \n"), std::string::npos) << text;
}

}  // namespace
