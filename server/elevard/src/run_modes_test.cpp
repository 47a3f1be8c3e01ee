#include "run_modes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "commands.h"
#include "register_commands.h"
#include "velk/system_commands.h"
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

// Every row runs with a connection, which is closed on every path; direct mode, without one,
// is covered by DirectModeTest.
TEST(ExecuteCommandTest, PrintsOutcomeMapsResultAndClosesTheSocket) {
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
        {"good /tmp\nmkdir /etc/shadow --> ok", 0,
         "good /tmp\\x0amkdir /etc/shadow --> ok --> ok\n"},
        {"missing", -1, "missing --> invalid argument\n"},
        {"odd", -1, "odd --> \n"},
        {"quiet ", 0, ""},
        {"quietbad ", -1, ""},
        {"nosuch arg ", -1, "Command nosuch arg  not found\n"},
        {"nosuch\r\x1b[2K\n", -1, "Command nosuch\\x0d\\x1b[2K\n not found\n"},
        {"", -1, "Command  not found\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        testing::internal::CaptureStdout();
        const int status = executeCommand(factory, c.line, velk::kit::ScopedFd(pair[0]));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(fcntl(pair[0], F_GETFD), -1);
        char byte;
        EXPECT_EQ(recv(pair[1], &byte, 1, MSG_DONTWAIT), 0);  // 0: end of stream, not EAGAIN
        close(pair[1]);
    }
}

// The built program: arguments joined into one line, the start line first, exit status 0 or
// 255. Words after help are ignored.
TEST(DirectModeTest, RunsTheJoinedArgumentsOnce) {
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    const std::string help = factory.help() + "\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"help"}, 0, help},
        {{"help", "me", "please"}, 0, help},
        {{"nosuch", "arg"}, 255, "Command nosuch arg  not found\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), ELEVARD_BINARY);
        const velk::testing::ChildResult result = velk::testing::runChild(argv);
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_EQ(result.out, kStartLine + c.out);
    }
}

// Options are read only from a first word that begins with "--", and never run a command.
TEST(DirectModeTest, OptionsPrintWithoutStartLine) {
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);
    struct Case {
        const char* option;
        int status;
        std::string outStart;
        std::string outHolds;
    };
    const Case cases[] = {
        {"--version", 0, "elevard " ELEVARD_VERSION "\n", ""},
        {"--help", 0, "Usage: elevard ", factory.help()},
        {"--bogus", 255, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        const velk::testing::ChildResult result =
            velk::testing::runChild({ELEVARD_BINARY, c.option});
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_EQ(result.out.substr(0, c.outStart.size()), c.outStart) << result.out;
        EXPECT_NE(result.out.find(c.outHolds), std::string::npos);
        EXPECT_EQ(result.out.find("Starting elevard"), std::string::npos);
    }
}

}  // namespace
