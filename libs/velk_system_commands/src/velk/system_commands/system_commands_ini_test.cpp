#include "velk/system_commands/system_commands_ini.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "velk_testing/run_forked.h"
#include "velk_testing/scratch_dir.h"

namespace velk {
namespace {

TEST(IniTest, EnableOutputFollowsTheFile) {
    const std::pair<const char*, bool> cases[] = {
        {nullptr, false},  // no file at all
        {"enableOutput=true\n", true},
        {"enableOutput = on\n", true},
        {"enableOutput=false\n", false},
        {"enableOutput=bogus\n", false},
        {"otherKey=true\n", false},
    };
    for (const auto& [content, enableOutput] : cases) {
        SCOPED_TRACE(content == nullptr ? "(no file)" : content);
        velk::testing::ScratchDir dir;
        ASSERT_TRUE(content == nullptr || dir.write("velk_system_commands.ini", content));
        setenv("VELK_INI_DIR", dir.path().c_str(), 1);
        Ini config;
        unsetenv("VELK_INI_DIR");
        EXPECT_EQ(config.enableOutput, enableOutput);
    }
}

// velk::ini() reads the file once per process, so this runs in a child of its own.
TEST(IniTest, SingletonReadsTheFileOnceOnFirstUse) {
    velk::testing::ScratchDir dir;
    ASSERT_TRUE(dir.write("velk_system_commands.ini", "enableOutput=yes\n"));
    velk::testing::ForkResult result = velk::testing::runForked([&] {
        setenv("VELK_INI_DIR", dir.path().c_str(), 1);
        Ini& first = ini();
        bool sawTrue = first.enableOutput;
        unsetenv("VELK_INI_DIR");
        return std::string(sawTrue ? "on" : "off") + (&ini() == &first ? " same" : " other") +
               (ini().enableOutput ? " on" : " off");
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    EXPECT_EQ(result.text, "on same on");
}

}  // namespace
}  // namespace velk
