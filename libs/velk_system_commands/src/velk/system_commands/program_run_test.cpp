#include "velk/system_commands/program_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "velk/kit/scoped_fd.h"
#include "velk_testing/process_status.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/service_in_namespace.h"

namespace velk::system_commands::detail {
namespace {

using namespace std::chrono_literals;

// Each row: the program, its arguments, its deadline, and the failure text (empty on success),
// "#" and the pieces the callback got, each followed by "|". A pid in the output reads "PID".
// The soft open-file limit recorded for started programs is 200 here.
TEST(RunProgramTest, ArgumentsEnvironmentStreamsAndDeadline) {
    recordStartingFileLimit(200);
    const std::string a1023(1023, 'a');
    const std::string noSuch = "no-such-program: No such file or directory\n";
    const std::tuple<std::string, std::vector<std::string>, std::chrono::milliseconds, std::string>
        cases[] = {
            {"/usr/bin/env", {}, 30s, "#ONLY=this\n|"},
            {"/bin/ls", {"/proc/self/fd"}, 30s, "#0\n|1\n|2\n|3\n|"},  // 3: ls's own listing
            {"/bin/sh", {"-c", "echo $(ulimit -Sn) files"}, 30s, "#200 files\n|"},
            {"sh",
             {"-c", "echo out; echo err >&2; exit 1"},
             30s,
             "Command shown failed with return code 256. Output: out\nerr\n#out\n|err\n|"},
            {"/bin/sh",
             {"-c", "head -c 3000 /dev/zero | tr '\\0' a; echo"},
             30s,
             "#" + a1023 + "|" + a1023 + "|" + std::string(954, 'a') + "\n|"},
            {"no-such-program",
             {},
             30s,
             "Command shown failed with return code 32512. Output: " + noSuch + "#" + noSuch + "|"},
            {"/bin/sh",
             {"-c", "sleep 600 & echo $!; wait"},
             1s,
             "Command shown did not end within 1 s and was killed. Output: PID\n#PID\n|"},
        };
    for (const auto& [program, arguments, deadline, expected] : cases) {
        SCOPED_TRACE(program + " " + (arguments.empty() ? "" : arguments.back()));
        ProgramRun run{program, arguments, {"ONLY=this"}, deadline, "shown"};
        std::string pieces;
        const Outcome<void> ran =
            runProgram(run, [&](const char* piece) { pieces += std::string(piece) + "|"; });
        const std::string failure = ran.error();
        EXPECT_TRUE(ran.ok() || !failure.empty());
        const std::regex pid("[0-9]{2,}\n");
        EXPECT_EQ(std::regex_replace(failure + "#" + pieces, pid, "PID\n"), expected);
        // The child of a program killed at its deadline went with it.
        std::smatch found;
        if (!ran.ok() && std::regex_search(pieces, found, pid)) {
            const std::string status =
                "/proc/" + found.str().substr(0, found.length() - 1) + "/status";
            EXPECT_TRUE(velk::testing::eventually([&] {
                const std::string state = velk::testing::procField(status, "State");
                return state.empty() || state.find("Z (") != std::string::npos;
            })) << status;
        }
    }
    recordStartingFileLimit(RLIM_INFINITY);
}

// A program that shares the standard streams takes the terminal's foreground only when asked
// to: the service's own Ctrl-C must not go to a program a client started.
TEST(RunProgramTest, TakesTheTerminalOnlyWhenAsked) {
    const velk::testing::ForkResult result = velk::testing::runForked([] {
        // A session of its own whose controlling terminal, on standard input, is a new one. The
        // master's close at the end hangs the session up, which must not end it before its
        // answer is handed back.
        ::signal(SIGHUP, SIG_IGN);
        const velk::kit::ScopedFd master(::posix_openpt(O_RDWR | O_NOCTTY));
        if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
            ::setsid() < 0 || ::dup2(::open(::ptsname(master.get()), O_RDWR), STDIN_FILENO) < 0) {
            return std::string("set-up failed");
        }
        std::string out;
        for (bool take : {true, false}) {
            // Fields 5 and 8 of its stat: its process group and the terminal's foreground one.
            ProgramRun run;
            run.program = "/bin/sh";
            run.arguments = {"-c", "read -r s </proc/$$/stat; set -- $s; [ $5 = $8 ]"};
            run.captureOutput = false;
            run.takeTerminal = take;
            out += std::string(take ? "asked: " : "not asked: ") +
                   (runProgram(run, {}).ok() ? "foreground " : "background ");
        }
        return out + (::tcgetpgrp(STDIN_FILENO) == ::getpgrp() ? "given back" : "kept");
    });
    EXPECT_EQ(result.text, "asked: foreground not asked: background given back");
}

}  // namespace
}  // namespace velk::system_commands::detail
