#include "velk/system_commands/path_forms.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "velk_testing/scratch_dir.h"

namespace velk::system_commands::detail {
namespace {

TEST(NormalizePathTest, FoldsSlashesDotsAndParents) {
    const std::pair<const char*, const char*> cases[] = {
        {"/", "/"},
        {"//", "/"},
        {"//etc/passwd", "/etc/passwd"},
        {"/mnt/../etc", "/etc"},
        {"/mnt/./a//b/", "/mnt/a/b"},
        {"/../..", "/"},
        {"/../etc", "/etc"},
        {"/a/b/../../..", "/"},
        {"/etc/velk_ini/../shadow", "/etc/shadow"},
        {"/a/.../b", "/a/.../b"},
        {"/a/..b/c", "/a/..b/c"},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(normalizePath(input), expected);
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
