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
#include <future>
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
#include "velk/system_commands/line_text.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"
#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

using kit::ScopedFd;
using velk::testing::ForkResult;
using velk::testing::runForked;
using velk::testing::ScratchDir;

// ---- open-file limit --------------------------------------------------------------------

// Makes getrlimit fail in this process while prlimit calls that set a limit still work.
bool failGetrlimit() {
#if defined(__x86_64__) || defined(__aarch64__)
#if defined(__x86_64__)
    constexpr unsigned int kArch = AUDIT_ARCH_X86_64;
#else
    constexpr unsigned int kArch = AUDIT_ARCH_AARCH64;
#endif
    const unsigned int kFail = SECCOMP_RET_ERRNO | EPERM;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __NR_getrlimit
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrlimit, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, kFail),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prlimit64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // prlimit64(pid, resource, new, old) without a new limit is a read.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2]) + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, kFail),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

// velk::ini() is read once per process, so every call of setFdLimit runs in a forked child
// that reads its own configuration: this process never reads it.
TEST(SetFdLimitTest, ResultsAndDiagnosticLines) {
    velk::testing::RunningChild live;
    ASSERT_TRUE(live.start({"/bin/sleep", "60"}));
    const std::string livePid = std::to_string(live.pid());
    const pid_t gone = runForked([] { return std::string(); }).pid;  // reaped: names no process
    const std::string goneText = std::to_string(gone);
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const std::string soft = std::to_string(own.rlim_cur) + " ";
    const std::regex prefix(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] system_commands_linux\.cpp: )");
    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enableOutput on" : "enableOutput off");
        ScratchDir dir;
        ASSERT_TRUE(dir.write("velk_system_commands.ini",
                              enabled ? "enableOutput=true\n" : "enableOutput=false\n"));
        ForkResult result = runForked([&] {
            ::setenv("VELK_INI_DIR", dir.path().c_str(), 1);
            std::ostringstream captured;
            kit::debug::stream() = &captured;
            SystemCommands commands;
            std::ostringstream out;
            // Each failure returns the caller's own soft limit and leaves that limit alone.
            out << commands.setFdLimit(live.pid(), 512) << " " << commands.setFdLimit(gone, 77)
                << " " << commands.setFdLimit(0, 3) << " " << commands.setFdLimit(-1, 3) << " "
                << commands.setFdLimit(::getpid(), INT_MAX) << " ";
            rlimit after{};
            ::getrlimit(RLIMIT_NOFILE, &after);
            out << after.rlim_cur << " " << (failGetrlimit() ? commands.setFdLimit(gone, 5) : -100);
            return out.str() + "|" + captured.str();
        });
        ASSERT_TRUE(result.exitedCleanly) << result.text;
        std::string expected = "512 " + soft + soft + soft + soft + soft + "-1|";
        const std::string lines[] = {
            "prlimit succeeded. pid: " + livePid + " value: 512",
            "prlimit failed. pid: " + goneText + " value: 77",
            "prlimit failed. pid: 0 value: 3",
            "prlimit failed. pid: -1 value: 3",
            "prlimit failed. pid: " + std::to_string(result.pid) + " value: 2147483647",
            "getrlimit failed. pid: " + goneText + ", value: 5",
        };
        for (const std::string& line : lines) {
            expected += enabled ? line + "\n" : "";
        }
        EXPECT_EQ(std::regex_replace(result.text, prefix, ""), expected);
    }
    rlimit limit{};
    ASSERT_EQ(::prlimit(live.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, 512u);
    EXPECT_EQ(limit.rlim_max, 512u);
}

// prlimit takes the id of any thread for its whole process.
TEST(SetFdLimitGuardTest, RefusesTheServiceItselfAndItsThreads) {
    ForkResult result = runForked([] {
        std::promise<pid_t> tid;
        std::promise<void> release;
        std::thread thread([&] {
            tid.set_value(::gettid());
            release.get_future().wait();
        });
        SystemCommands commands;
        std::string results = std::to_string(commands.setFdLimit(::getpid(), 64)) + " ";
        results += std::to_string(commands.setFdLimit(tid.get_future().get(), 64)) + " ";
        release.set_value();
        thread.join();
        rlimit after{};
        ::getrlimit(RLIMIT_NOFILE, &after);
        return results + std::to_string(after.rlim_cur);
    });
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    const std::string soft = std::to_string(own.rlim_cur);
    EXPECT_EQ(result.text, soft + " " + soft + " " + soft);
}

}  // namespace
}  // namespace velk
