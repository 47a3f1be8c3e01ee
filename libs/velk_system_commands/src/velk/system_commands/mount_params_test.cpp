#include "velk/system_commands/mount_params.h"

#include <gtest/gtest.h>

namespace velk::system_commands::detail {
namespace {

TEST(MountParamsTest, TenAttemptsInOrder) {
    std::string order;
    for (const MountParams& params : generateMountParams("//s/x", "/tmp/p", "u", "pw")) {
        order += params.version + (params.domain ? "+" + *params.domain + " " : " ");
    }
    EXPECT_EQ(order,
              "3.1+WORKGROUP 2.1+WORKGROUP 3.0+WORKGROUP 2.0+WORKGROUP 1.0+WORKGROUP "
              "3.1 2.1 3.0 2.0 1.0 ");
}

// The first line, with the password (PW) as given and as shown; the end-to-end tests cover
// the plain shapes.
TEST(MountParamsTest, UserDomainAndQuoteShapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"anna\\CORP\\EU", " username='anna',password='PW',domain='CORP\\EU',vers=3.1"},
        {"\\anna", " username='\\anna',password='PW',domain='WORKGROUP',vers=3.1"},
        {"anna\\", " username='anna\\',password='PW',domain='WORKGROUP',vers=3.1"},
        {"", " username='',password='PW',domain='WORKGROUP',vers=3.1"},
        {"o'neil\\it's", " username='o'\\''neil',password='PW',domain='it'\\''s',vers=3.1"},
    };
    for (const auto& [user, options] : cases) {
        SCOPED_TRACE(user);
        MountParams first =
            generateMountParams("//s/it's", "/tmp/x_temp_folder_ 'a", user, "p '13").front();
        std::string line =
            "mount -t cifs '//s/it'\\''s' '/tmp/x_temp_folder_ '\\''a' -o " + options;
        const std::size_t at = line.find("PW");
        EXPECT_EQ(makeMountCommand(first), std::string(line).replace(at, 2, "p '\\''13"));
        EXPECT_EQ(makeMountCommand(withMaskedPassword(first)), line.replace(at, 2, "****"));
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
