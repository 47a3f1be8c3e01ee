#include "velk/system_commands/program_run.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "velk_testing/process_status.h"
#include "velk_testing/service_in_namespace.h"

namespace velk::system_commands::detail {
namespace {

using namespace std::chrono_literals;

// Each row: the program, its arguments, its deadline, and the failure text (empty on success),
// "#" and the pieces the callback got, each followed by "|". A pid in the output reads "PID".
TEST(RunProgramTest, ArgumentsEnvironmentStreamsAndDeadline) {
    const std::string a1023(1023, 'a');
    const std::string noSuch = "no-such-program: No such file or directory\n";
    const std::tuple<std::string, std::vector<std::string>, std::chrono::milliseconds, std::string>
        cases[] = {
            {"/usr/bin/env", {}, 30s, "#ONLY=this\n|"},
            {"/bin/ls", {"/proc/self/fd"}, 30s, "#0\n|1\n|2\n|3\n|"},  // 3: ls's own listing
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
        std::string failure;
        const bool succeeded = runProgram(
            run, [&](const char* piece) { pieces += std::string(piece) + "|"; }, &failure);
        EXPECT_EQ(succeeded, failure.empty());
        const std::regex pid("[0-9]{2,}\n");
        EXPECT_EQ(std::regex_replace(failure + "#" + pieces, pid, "PID\n"), expected);
        // The child of a program killed at its deadline went with it.
        std::smatch found;
        if (!succeeded && std::regex_search(pieces, found, pid)) {
            const std::string status =
                "/proc/" + found.str().substr(0, found.length() - 1) + "/status";
            EXPECT_TRUE(velk::testing::eventually([&] {
                const std::string state = velk::testing::procField(status, "State");
                return state.empty() || state.find("Z (") != std::string::npos;
            })) << status;
        }
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
