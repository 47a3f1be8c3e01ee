#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velk/kit/debug.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk/system_commands/forked_diagnostics.h"
#include "velk/system_commands/line_text.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"
namespace velk {
namespace {

using kit::ScopedFd;
using system_commands::detail::escapeSingleQuotes;
using velk::testing::ForkResult;
using velk::testing::runForked;
using velk::testing::ScratchDir;

// ---- execute ----------------------------------------------------------------------------

TEST(ExecuteTest, ReportsStatusOutputAndPieces) {
    struct Case {
        std::string command;
        bool succeeds;
        std::vector<std::string> pieces;
        std::string lastError;
    };
    const std::string longLine(3000, 'x');
    const Case cases[] = {
        {"true", true, {}, ""},
        {"exit 1", false, {}, "Command exit 1 failed with return code 256. Output: "},
        // " 2>&1" joins the standard error of the one command the callers run.
        {"sh -c 'echo out; echo err >&2; exit 3'",
         false,
         {"out\n", "err\n"},
         "Command sh -c 'echo out; echo err >&2; exit 3' failed with return code 768. Output: "
         "out\nerr\n"},
        {"printf 'a\\nb'", true, {"a\n", "b"}, ""},
        {"printf '%3000s\\n' '' | tr ' ' x",
         true,
         {longLine.substr(0, 1023), longLine.substr(0, 1023), longLine.substr(0, 954) + "\n"},
         ""},
        {"kill -9 $$", false, {}, "Command kill -9 $$ failed with return code 9. Output: "},
        {std::string("true\0; touch x", 14),
         false,
         {},
         std::string("popen for true\0; touch x has failed", 35)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        SystemCommands commands;
        std::vector<std::string> pieces;
        std::string failure = "untouched";
        bool ok = commands.execute(
            c.command, [&](const char* piece) { pieces.emplace_back(piece); }, &failure);
        EXPECT_EQ(ok, c.succeeds);
        EXPECT_EQ(pieces, c.pieces);
        EXPECT_EQ(commands.lastError(), c.lastError);
        EXPECT_EQ(failure, c.succeeds ? "untouched" : c.lastError);
        // Nothing clears the text: a later success, here without a callback, leaves it.
        EXPECT_TRUE(commands.execute("true", {}));
        EXPECT_EQ(commands.lastError(), c.lastError);
    }
}

TEST(ExecuteTest, ConcurrentFailuresEachSeeTheirOwnText) {
    SystemCommands commands;
    std::vector<std::string> mismatches[8];
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            // The shared text is always one worker's whole text, never a mix of two.
            static const std::regex whole(
                R"(Command echo (w\d+-\d+); exit 1 failed with return code 256\. Output: \1\n)");
            for (int run = 0; run < 10; ++run) {
                const std::string tag = "w" + std::to_string(t) + "-" + std::to_string(run);
                const std::string command = "echo " + tag + "; exit 1";
                std::string failure;
                commands.execute(command, {}, &failure);
                const std::string shared = commands.lastError();
                if (failure != "Command " + command +
                                   " failed with return code 256. Output: " + tag + "\n" ||
                    !std::regex_match(shared, whole)) {
                    mismatches[t].push_back(failure + " | " + shared);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::vector<std::string>& mismatch : mismatches) {
        EXPECT_TRUE(mismatch.empty()) << mismatch.front();
    }
}

// The pipes this process holds, each with its close-on-exec flag.
std::map<int, bool> openPipes() {
    std::map<int, bool> pipes;
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir("/proc/self/fd"), ::closedir);
    while (const dirent* entry = fds ? ::readdir(fds.get()) : nullptr) {
        int fd = std::atoi(entry->d_name);
        struct stat status {};
        if (entry->d_name[0] != '.' && fd != ::dirfd(fds.get()) && ::fstat(fd, &status) == 0 &&
            S_ISFIFO(status.st_mode)) {
            pipes[fd] = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
        }
    }
    return pipes;
}

// Programs that other workers start while a command runs (not only through popen) must not
// inherit its output pipe, or that command's reader would wait for them too.
TEST(ExecuteTest, OutputPipeIsCloseOnExec) {
    const std::map<int, bool> before = openPipes();
    std::map<int, bool> during;
    SystemCommands commands;
    ASSERT_TRUE(commands.execute("echo line", [&](const char*) { during = openPipes(); }));
    int newPipes = 0;
    for (const auto& [fd, closeOnExec] : during) {
        if (before.count(fd) == 0) {
            ++newPipes;
            EXPECT_TRUE(closeOnExec) << "descriptor " << fd;
        }
    }
    EXPECT_EQ(newPipes, 1);
}

TEST(ExecuteTest, EscapedValuesReachTheShellAsOneWord) {
    SystemCommands commands;
    for (const std::string value :
         {"", "'", "it's", "a'; echo pwned; '", "$(id) `id` \\ \" $HOME", "multi\nline"}) {
        SCOPED_TRACE(value);
        std::string output;
        ASSERT_TRUE(commands.execute("printf '%s' '" + escapeSingleQuotes(value) + "'",
                                     [&](const char* piece) { output += piece; }));
        EXPECT_EQ(output, value);
    }
}

using testing_support::inNamespace;
using testing_support::takeLines;

// Lines of every kind, written from several threads at once, each arrive whole.
TEST(DiagnosticLinesTest, NeverInterleave) {
    const std::string observed = inNamespace([](std::ostringstream& diagnostics) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([] {
                SystemCommands commands;
                for (int round = 0; round < 2000; ++round) {
                    commands.setFdLimit(0, 3);
                    commands.mount("//s/x", "/etc/x", std::nullopt, std::nullopt);
                    commands.mount("-o", "/tmp/x_temp_folder_", std::nullopt, std::nullopt);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        std::vector<std::string> lines = takeLines(diagnostics);
        std::string text = std::to_string(lines.size()) + " lines:\n";
        for (const std::string& kind : std::set<std::string>(lines.begin(), lines.end())) {
            text += kind + "\n";
        }
        return text;
    });
    EXPECT_EQ(
        observed,
        "48000 lines:\nIt's forbidden to mount a remote folder from -o\n"
        "It's forbidden to mount a remote folder to /etc/x\nprlimit failed. pid: 0 value: 3\n");
}

}  // namespace
}  // namespace velk
