#include "velk/system_commands/mount_params.h"

#include <gtest/gtest.h>

namespace velk::system_commands::detail {
namespace {

std::vector<std::string> commandsOf(const std::vector<MountParams>& all) {
    std::vector<std::string> lines;
    for (const MountParams& params : all) {
        lines.push_back(makeMountCommand(params));
    }
    return lines;
}

TEST(MountParamsTest, TenAttemptsInOrder) {
    const std::string head = "mount -t cifs '//10.0.0.13/media' '/tmp/a_temp_folder_' -o ";
    const std::string withDomain = "guest,password='',domain='WORKGROUP',vers=";
    const std::string without = "guest,password='',vers=";
    const std::vector<std::string> expected = {
        head + withDomain + "3.1", head + withDomain + "2.1", head + withDomain + "3.0",
        head + withDomain + "2.0", head + withDomain + "1.0", head + without + "3.1",
        head + without + "2.1",    head + without + "3.0",    head + without + "2.0",
        head + without + "1.0",
    };
    EXPECT_EQ(commandsOf(generateMountParams("//10.0.0.13/media", "/tmp/a_temp_folder_",
                                             std::nullopt, std::nullopt)),
              expected);
}

// The options of the first attempt (with the domain) and of the sixth (without), and the first
// one as it may be shown.
TEST(MountParamsTest, UserDomainAndPasswordShapes) {
    struct Case {
        const char* name;
        std::optional<std::string> user;
        std::optional<std::string> password;
        std::string first;
        std::string sixth;
        std::string shown;
    };
    const Case cases[] = {
        {"no user, no password", std::nullopt, std::nullopt,
         "guest,password='',domain='WORKGROUP',vers=3.1", "guest,password='',vers=3.1",
         "guest,password='',domain='WORKGROUP',vers=3.1"},
        {"plain user", "anna", "pw", " username='anna',password='pw',domain='WORKGROUP',vers=3.1",
         " username='anna',password='pw',vers=3.1",
         " username='anna',password='****',domain='WORKGROUP',vers=3.1"},
        {"split at the first backslash", "anna\\CORP\\EU", "pw",
         " username='anna',password='pw',domain='CORP\\EU',vers=3.1",
         " username='anna',password='pw',vers=3.1",
         " username='anna',password='****',domain='CORP\\EU',vers=3.1"},
        {"leading backslash", "\\anna", std::nullopt,
         " username='\\anna',password='',domain='WORKGROUP',vers=3.1",
         " username='\\anna',password='',vers=3.1",
         " username='\\anna',password='',domain='WORKGROUP',vers=3.1"},
        {"trailing backslash", "anna\\", "",
         " username='anna\\',password='',domain='WORKGROUP',vers=3.1",
         " username='anna\\',password='',vers=3.1",
         " username='anna\\',password='****',domain='WORKGROUP',vers=3.1"},
        {"empty user is no guest", "", "pw",
         " username='',password='pw',domain='WORKGROUP',vers=3.1",
         " username='',password='pw',vers=3.1",
         " username='',password='****',domain='WORKGROUP',vers=3.1"},
        {"quotes and blanks stay one word", "o'neil\\it's", "p4ss 'w0rd' 13",
         " username='o'\\''neil',password='p4ss '\\''w0rd'\\'' 13',domain='it'\\''s',vers=3.1",
         " username='o'\\''neil',password='p4ss '\\''w0rd'\\'' 13',vers=3.1",
         " username='o'\\''neil',password='****',domain='it'\\''s',vers=3.1"},
    };
    const std::string head = "mount -t cifs '//s/it'\\''s' '/tmp/x_temp_folder_ '\\''a' -o ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<MountParams> all =
            generateMountParams("//s/it's", "/tmp/x_temp_folder_ 'a", c.user, c.password);
        ASSERT_EQ(all.size(), 10u);
        EXPECT_EQ(makeMountCommand(all[0]), head + c.first);
        EXPECT_EQ(makeMountCommand(all[5]), head + c.sixth);
        EXPECT_EQ(makeMountCommand(withMaskedPassword(all[0])), head + c.shown);
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
