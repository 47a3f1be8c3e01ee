#include "velk/system_commands/system_commands_ini.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

TEST(IniTest, EnableOutputFollowsTheFile) {
    struct Case {
        const char* content;  // nullptr: no file at all
        bool enableOutput;
    };
    const Case cases[] = {
        {nullptr, false},
        {"enableOutput=true\n", true},
        {"enableOutput = on\n", true},
        {"enableOutput=false\n", false},
        {"enableOutput=bogus\n", false},
        {"otherKey=true\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content == nullptr ? "(no file)" : c.content);
        velk::testing::ScratchDir dir;
        if (c.content != nullptr) {
            ASSERT_TRUE(dir.write("velk_system_commands.ini", c.content));
        }
        setenv("VELK_INI_DIR", dir.path().c_str(), 1);
        Ini config;
        unsetenv("VELK_INI_DIR");
        EXPECT_EQ(config.enableOutput, c.enableOutput);
    }
}

// velk::ini() reads the file once per process, so each expectation runs in a child of its own.
TEST(IniTest, SingletonReadsTheFileOnceOnFirstUse) {
    velk::testing::ScratchDir dir;
    ASSERT_TRUE(dir.write("velk_system_commands.ini", "enableOutput=yes\n"));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("VELK_INI_DIR", dir.path().c_str(), 1);
        Ini& first = ini();
        bool sawTrue = first.enableOutput;
        unsetenv("VELK_INI_DIR");
        bool same = &ini() == &first && ini().enableOutput;
        _exit(sawTrue && same ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velk
