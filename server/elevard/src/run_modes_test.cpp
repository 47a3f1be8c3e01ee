#include "run_modes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "commands.h"
#include "velk_testing/child_process.h"

namespace {

const std::string kStartLine =
    "Starting elevard, using domain socket: /tmp/quorvath_syscmd_socket3f64fa\n";

TEST(MakeCommandStringTest, JoinsEveryArgumentWithATrailingBlank) {
    struct Case {
        std::vector<const char*> args;
        const char* line;
    };
    const Case cases[] = {
        {{"elevard", "help"}, "help "},
        {{"elevard", "mkdir", "/tmp/a b"}, "mkdir /tmp/a b "},
        {{"elevard", "a", "", "c"}, "a  c "},
        {{"elevard"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<const char*> argv = c.args;
        argv.push_back(nullptr);
        EXPECT_EQ(makeCommandString(argv.data()), c.line);
    }
}

TEST(ExecuteCommandTest, PrintsOutcomeAndMapsResult) {
    CommandsFactory factory;
    auto answer = [](Result result) {
        return [result](const std::string&, int) { return result; };
    };
    factory.reg({"good"}, {}, answer(Result::ok), false)
        .reg({"bad"}, {}, answer(Result::executionFailed), false)
        .reg({"missing"}, {}, answer(Result::invalidArgument), false)
        .reg({"odd"}, {}, answer(static_cast<Result>(9)), false)
        .reg({"quiet"}, {}, answer(Result::ok), true)
        .reg({"quietbad"}, {}, answer(Result::executionFailed), true);
    struct Case {
        const char* line;
        int status;
        const char* out;
    };
    const Case cases[] = {
        {"good x", 0, "good x --> ok\n"},
        {"bad x\n", -1, "bad x\n --> execution failed\n"},
        {"missing", -1, "missing --> invalid argument\n"},
        {"odd", -1, "odd --> \n"},
        {"quiet ", 0, ""},
        {"quietbad ", -1, ""},
        {"nosuch arg ", -1, "Command nosuch arg  not found\n"},
        {"", -1, "Command  not found\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        testing::internal::CaptureStdout();
        int status = executeCommand(factory, c.line, std::nullopt);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(out, c.out);
    }
}

TEST(ExecuteCommandTest, ClosesTheSocketOfAnUnknownCommand) {
    CommandsFactory factory;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(executeCommand(factory, "nosuch", pair[0]), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fcntl(pair[0], F_GETFD), -1);
    char byte;
    EXPECT_EQ(read(pair[1], &byte, 1), 0);
    close(pair[1]);
}

velk::testing::ChildResult runElevard(std::vector<std::string> args) {
    args.insert(args.begin(), ELEVARD_BINARY);
    return velk::testing::runChild(args);
}

TEST(DirectModeTest, HelpPrintsStartLineThenHelpText) {
    auto result = runElevard({"help"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out,
              kStartLine +
                  "Velk elevard service. Accepts and server Velk Mediaserver tcp requests and is "
                  "called directly in some cases.\n\nSupported socket commands:\n\n"
                  "Supported direct commands:\n help \n\n");
}

TEST(DirectModeTest, UnknownCommandsAreReportedWithTheWholeLine) {
    struct Case {
        std::vector<std::string> args;
        const char* line;
    };
    const Case cases[] = {
        {{"nosuch", "arg"}, "nosuch arg "},
        {{"nosuch\n"}, "nosuch\n "},
        {{" help"}, " help "},
        {{"HELP"}, "HELP "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        auto result = runElevard(c.args);
        EXPECT_EQ(result.exitStatus, 255);
        EXPECT_EQ(result.out, kStartLine + "Command " + c.line + " not found\n");
    }
}

TEST(DirectModeTest, ExtraWordsAfterHelpAreIgnored) {
    auto result = runElevard({"help", "me", "please"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out.rfind(kStartLine + "Velk elevard service.", 0), 0u) << result.out;
}

}  // namespace
