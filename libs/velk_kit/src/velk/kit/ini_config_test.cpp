#include "velk/kit/ini_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "velk/kit/debug.h"
#include "velk_testing/scratch_dir.h"

namespace velk::kit {
namespace {

class TwoSwitches : public IniConfig {
public:
    TwoSwitches()
        : IniConfig("test.ini"),
          alpha(regBoolParam(&alpha, false, "alpha", "")),
          beta(regBoolParam(&beta, true, "beta", "second switch")) {}
    bool alpha;
    bool beta;
};

// Points the debug stream and VELK_INI_DIR at test-owned places for one test.
class IniConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = debug::stream();
        debug::stream() = &log_;
        setenv("VELK_INI_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        debug::stream() = saved_;
        unsetenv("VELK_INI_DIR");
    }
    long warnings() const {
        const std::string text = log_.str();
        return std::count(text.begin(), text.end(), '\n');
    }

    velk::testing::ScratchDir dir_;
    std::ostringstream log_;
    std::ostream* saved_ = nullptr;
};

TEST_F(IniConfigTest, ReadsFileContents) {
    struct Case {
        const char* content;  // nullptr: no file, silently
        bool alpha;
        bool beta;
        long warnings;
    };
    const Case cases[] = {
        {nullptr, false, true, 0},
        {"", false, true, 0},
        {"alpha=true\n", true, true, 0},
        {"  alpha   =   TRUE  \n beta = off\n", true, false, 0},
        {"alpha=Yes\nbeta=No", true, false, 0},
        {"alpha=1\r\nbeta=0\r\n", true, false, 0},
        {"alpha=on\nalpha=off\n", false, true, 0},
        {"# alpha=true\n; beta=false\n\n[main]\n", false, true, 0},
        {"[main]\nalpha=true\n[other]\n", true, true, 0},
        {"unknown=whatever\nalpha=true\n", true, true, 0},
        {"alpha\nbeta=false\n", false, false, 1},
        {"alpha=maybe\n", false, true, 1},
        {"alpha=\n", false, true, 1},
        {"=true\n[broken\nalpha=true\n", true, true, 2},
        {"Alpha=true\n", false, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content == nullptr ? "(no file)" : c.content);
        log_.str("");
        unlink(dir_.file("test.ini").c_str());  // absent already for the first case
        ASSERT_TRUE(c.content == nullptr || dir_.write("test.ini", c.content));
        TwoSwitches config;
        // Building reads nothing; reload starts again from the defaults.
        EXPECT_FALSE(config.alpha);
        EXPECT_TRUE(config.beta);
        config.alpha = !c.alpha;
        config.beta = !c.beta;
        config.reload();
        EXPECT_EQ(config.alpha, c.alpha);
        EXPECT_EQ(config.beta, c.beta);
        EXPECT_EQ(warnings(), c.warnings) << log_.str();
    }
}

TEST_F(IniConfigTest, UnreadableFileWarnsOnceAndGivesDefaults) {
    // A folder in the file's place opens but cannot be read, even for root.
    ASSERT_EQ(mkdir(dir_.file("test.ini").c_str(), 0755), 0);
    TwoSwitches config;
    config.reload();
    EXPECT_FALSE(config.alpha);
    EXPECT_TRUE(config.beta);
    EXPECT_EQ(warnings(), 1) << log_.str();
    EXPECT_NE(log_.str().find("test.ini"), std::string::npos);
}

TEST_F(IniConfigTest, FilePathFollowsEnvironment) {
    TwoSwitches config;
    EXPECT_EQ(config.filePath(), dir_.path() + "/test.ini");
    setenv("VELK_INI_DIR", "/some/dir/", 1);
    EXPECT_EQ(config.filePath(), "/some/dir/test.ini");
    unsetenv("VELK_INI_DIR");
    EXPECT_EQ(config.filePath(), "/etc/velk_ini/test.ini");
}

}  // namespace
}  // namespace velk::kit
