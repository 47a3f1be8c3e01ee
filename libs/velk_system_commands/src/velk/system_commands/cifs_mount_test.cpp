#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velk/kit/debug.h"
#include "velk/system_commands.h"
#include "velk/system_commands/forked_diagnostics.h"
#include "velk/system_commands/mount_staging.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"

namespace velk {
namespace {

using testing_support::inNamespace;
using testing_support::takeLines;
using testing_support::writeFile;

template <typename Code>
std::string number(Code code) {
    return std::to_string(static_cast<int>(code));
}

// only those lacking nosuid or nodev.
int mountsOn(const std::string& path, bool honouringSuidOrDevices = false) {
    std::ifstream table("/proc/self/mountinfo");
    int count = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, options;
        fields >> id >> parent >> device >> root >> mountPoint >> options;
        options = "," + options + ",";
        count += mountPoint == path &&
                 (!honouringSuidOrDevices || options.find(",nosuid,") == std::string::npos ||
                  options.find(",nodev,") == std::string::npos);
    }
    return count;
}

// Both guarded operations judge the same place; unmount shows what the guard decided. A
// failing unmount records nothing; a refusal names the path as given.
TEST(UnmountTest, CodesAndTheGuard) {
    std::string deep = "/tmp/deep_temp_folder_";  // its link "toEtc" lies past PATH_MAX
    for (int level = 0; level < 21; ++level) {
        deep += "/" + std::string(200, 'd');
    }
    const std::pair<std::string, UnmountCode> cases[] = {
        {"/tmp/mounted_temp_folder_", UnmountCode::success},
        {"/tmp/mounted_temp_folder_", UnmountCode::notMounted},
        {"/tmp/busy_temp_folder_", UnmountCode::busy},
        {"/tmp/linkToBusy_temp_folder_", UnmountCode::notMounted},  // the link is not followed
        {"//tmp/./x/missing_temp_folder_", UnmountCode::notExists},
        {"", UnmountCode::otherError},
        {"tmp/x_temp_folder_", UnmountCode::otherError},
        {"/mnt/x_temp_folder_", UnmountCode::otherError},
        {"/tmp/x_temp_folder_/../../etc", UnmountCode::otherError},
        {std::string("/tmp/x_temp_folder_\0/../../etc", 30), UnmountCode::otherError},
        {"/tmp/toEtc_temp_folder_", UnmountCode::otherError},
        {"/tmp/toUnmarked_temp_folder_", UnmountCode::otherError},
        {deep + "/toEtc", UnmountCode::otherError},
    };
    std::string expected;
    for (const auto& [path, code] : cases) {
        bool refused = code == UnmountCode::otherError;
        expected += number(code) + " " + (refused ? "Mount to " + path + " is forbidden\n" : "\n");
    }
    // A path past PATH_MAX is built one folder at a time.
    const char* setUp = R"(cd /tmp && mkdir mounted_temp_folder_ busy_temp_folder_ &&
        mount -t tmpfs tmpfs mounted_temp_folder_ && mount -t tmpfs tmpfs busy_temp_folder_ &&
        ln -s /tmp/busy_temp_folder_ linkToBusy_temp_folder_ &&
        ln -s /tmp toUnmarked_temp_folder_ && ln -s /etc toEtc_temp_folder_ &&
        mkdir deep_temp_folder_ && cd deep_temp_folder_ && d=$(printf %0200d 0 | tr 0 d) &&
        for i in $(seq 21); do mkdir $d && cd -P $d || exit 1; done && ln -s /etc toEtc)";
    const std::string observed = inNamespace([&](std::ostringstream&) {
        // This child works inside the busy one.
        bool made = std::system(setUp) == 0 && ::chdir("/tmp/busy_temp_folder_") == 0;
        std::string out = made ? "" : "set-up failed\n";
        for (const auto& row : cases) {
            SystemCommands commands;
            UnmountCode code = commands.unmount(row.first);
            out += number(code) + " " + commands.lastError() + "\n";
        }
        return out;
    });
    EXPECT_EQ(observed, expected);
}

// A folder on the way exchanged for a link to an unmarked place, over and over while unmount
// runs: only the folder that was judged may ever be unmounted, never the one the link names.
TEST(UnmountTest, AFolderOnTheWayExchangedForALink) {
    const std::string observed = inNamespace([](std::ostringstream&) {
        const char* setUp = R"(cd /tmp && mkdir -p u_temp_folder_/mid/p outside/p &&
            mount -t tmpfs tmpfs outside/p && ln -s /tmp/outside u_temp_folder_/link)";
        if (std::system(setUp) != 0) {
            return std::string("set-up failed");
        }
        std::atomic<bool> done{false};
        std::thread exchanger([&done] {
            while (!done) {
                ::renameat2(AT_FDCWD, "/tmp/u_temp_folder_/mid", AT_FDCWD,
                            "/tmp/u_temp_folder_/link", RENAME_EXCHANGE);
            }
        });
        SystemCommands commands;
        for (int round = 0; round < 3000 && mountsOn("/tmp/outside/p") == 1; ++round) {
            commands.unmount("/tmp/u_temp_folder_/mid/p");
        }
        done = true;
        exchanger.join();
        return std::to_string(mountsOn("/tmp/outside/p"));
    });
    EXPECT_EQ(observed, "1");
}

// A stand-in for the mount helper ("mount -t cifs SOURCE POINT -o OPTIONS", the password in
// PASSWD) that logs each attempt to /tmp/attempts. Each share of its table ("x") mounts a tmpfs
// when the call is exactly the accepted one (the argument count and fixed words, no HOME or USER
// in its environment, "OPTIONS|PASSWD") and otherwise answers with its refusal and status 32;
// the race share first exchanges the mount point's folder for a link to /tmp/outside; the
// unbindable share mounts a tmpfs that no shared mount may take in; the leaky share mounts a tmpfs
// and fails all the same. Any other
// source goes to the real helper, and each of its "mount error(19)" answers (no CIFS in the kernel,
// after parsing the line) is logged as "k". The real helper comes with cifs-utils.
const char* const kStandInMount = R"(#!/bin/sh
share() {
  printf x >> /tmp/attempts
  [ "$call" = "6 -t cifs -o|$1" ] && exec /usr/bin/mount -t tmpfs tmpfs "$point"
  echo "$2"; exit 32
}
call="$# $1 $2 $5${HOME-}${USER-}|$6|$PASSWD" point=$4
case "$3" in
  //10.0.0.5/public) share 'guest,vers=2.0|' 'mount error(95): Not supported' ;;
  //10.0.0.13/media) share "username=anna,domain=CORP,vers=3.0|p4ss 'w0rd' 13" \
    'mount error(113): No route to host' ;;
  //10.0.0.7/private) share 'username=bob,domain=WORKGROUP,vers=3.1|right' \
    'mount error(13): Permission denied' ;;
  //10.0.0.8/comma) share 'username=carol,domain=WORKGROUP,vers=3.1|p,uid=0 x' 'bad option' ;;
  //10.0.0.11/leaky) printf x >> /tmp/attempts
    /usr/bin/mount -t tmpfs tmpfs "$point"; echo 'mount error(5): I/O error'; exit 32 ;;
  //10.0.0.10/unbindable) printf x >> /tmp/attempts
    /usr/bin/mount -t tmpfs tmpfs "$point" && exec /usr/bin/mount --make-unbindable "$point" ;;
  //10.0.0.9/race) mv /tmp/d /tmp/held && mkdir -p /tmp/outside/share_temp_folder_ &&
    ln -s /tmp/outside /tmp/d && call="6 -t cifs -o|race" && share race 'set-up' ;;
esac
/usr/bin/mount "$@" > /tmp/out 2>&1; status=$?; cat /tmp/out
grep -q 'mount error(19): No such device' /tmp/out && printf k >> /tmp/attempts
exit $status
)";

// A share left on a staging folder by a service that ended mid-mount, then the start-up's
// clean-up: how many mounts remain on the staging tmpfs and on that folder.
std::string afterACrash() {
    const std::string left = "/run/elevard/mount.crash";
    if (::mkdir(left.c_str(), 0700) != 0 || ::mount("tmpfs", left.c_str(), "tmpfs", 0, "") != 0) {
        return std::string("set-up: ") + std::strerror(errno);
    }
    system_commands::detail::detachStaleStagingMounts();
    return std::to_string(mountsOn("/run/elevard") + mountsOn(left));
}

// A mount with something else than the service's tmpfs at the staging place (a link, a folder of
// another owner, another file system), after the clean-up of afterACrash: the code and the
// last-error text, a line each, marked when the helper ran.
std::string withForeignStagingPlaces() {
    const char* const places[] = {
        "ln -s /tmp /run/elevard",
        "mkdir -m 700 /run/elevard && chown 1 /run/elevard",
        "mkdir -m 700 /run/elevard && mount -t ramfs -o mode=700 ramfs /run/elevard",
    };
    std::string out;
    for (const char* place : places) {
        ::umount2("/run/elevard", MNT_DETACH | UMOUNT_NOFOLLOW);
        if ((::rmdir("/run/elevard") != 0 && ::unlink("/run/elevard") != 0 && errno != ENOENT) ||
            std::system(place) != 0) {
            return out + "set-up: " + place;
        }
        SystemCommands commands;
        MountCode code =
            commands.mount("//10.0.0.5/public", "/tmp/d/share_temp_folder_", std::nullopt, {});
        std::ifstream attempts("/tmp/attempts");
        out += number(code) + " " + commands.lastError() + (attempts ? " (attempted)" : "") + "\n";
    }
    return out;
}

TEST(MountTest, AttemptsUntilTheServerMountsOrRefuses) {
    const std::string point = "/tmp/d/share_temp_folder_";
    auto tried = [&](const std::string& source, const std::string& options) {
        return "Mount command \"mount -t cifs '" + source + "' '" + point + "' -o " + options;
    };
    const std::string refused =
        "2  It's forbidden to mount a remote folder with these credentials: ";
    const std::string comma = refused +
                              "the user name or the domain holds a comma or a control "
                              "character";
    // The code (0 mounted, 1 permission denied, 2 other), the stand-in's log and the last
    // diagnostic line.
    const std::tuple<std::string, const char*, const char*, std::string> cases[] = {
        {"//10.0.0.5/public", nullptr, nullptr,
         "0 xxxxxxxxx " + tried("//10.0.0.5/public", "guest,password='',vers=2.0\" succeeded")},
        {"//10.0.0.13/media", "anna\\CORP", "p4ss 'w0rd' 13",
         "0 xxx " + tried("//10.0.0.13/media",
                          " username='anna',password='****',domain='CORP',vers=3.0\" succeeded")},
        {"//10.0.0.7/private", "bob", "wrong",
         "1 x " + tried("//10.0.0.7/private",
                        " username='bob',password='****',domain='WORKGROUP',"
                        "vers=3.1\" failed with 'permission denied'")},
        {"//10.0.0.8/comma", "carol", "p,uid=0 x",
         "0 x " + tried("//10.0.0.8/comma",
                        " username='carol',password='****',domain='WORKGROUP',vers=3.1\" "
                        "succeeded")},
        {"//127.0.0.1/share", "anna\\CORP", "p4ss 'w0rd' 13",
         "2 kkkkkkkkkk " +
             tried("//127.0.0.1/share", " username='anna',password='****',vers=1.0\" failed")},
        {"//127.0.0.1/guest", nullptr, nullptr,
         "2 kkkkkkkkkk " + tried("//127.0.0.1/guest", "guest,password='',vers=1.0\" failed")},
        {"//10.0.0.11/leaky", nullptr, nullptr,
         "2 xxxxxxxxxx " + tried("//10.0.0.11/leaky", "guest,password='',vers=1.0\" failed")},
        {"-oremount", nullptr, nullptr,
         "2  It's forbidden to mount a remote folder from -oremount"},
        {"-o\nremount", nullptr, nullptr,
         "2  It's forbidden to mount a remote folder from -o\\x0aremount"},
        {"//10.0.0.5/pub\tlic", nullptr, nullptr,
         "2  It's forbidden to mount a remote folder from //10.0.0.5/pub\\x09lic"},
        {"//10.0.0.5/public,uid=0", nullptr, nullptr,
         "2  It's forbidden to mount a remote folder from //10.0.0.5/public,uid=0"},
        {"//10.0.0.5/public", "bob,uid=0", "Q9", comma},
        {"//10.0.0.5/public", "anna\\CORP,uid=0", "Q9", comma},
        {"//10.0.0.5/public", "anna%secret", "Q9", refused + "the user name holds \"%\""},
        {"//10.0.0.5/public", "anna", "pass\nuid=0",
         refused + "the password holds a NUL byte or a newline"},
        {"//10.0.0.10/unbindable", nullptr, nullptr,
         "2 x " + tried("//10.0.0.10/unbindable",
                        "guest,password='',domain='WORKGROUP',vers=3.1\" "
                        "succeeded, but moving the share to " +
                            point + " has failed: Invalid argument")},
        // Last: the mount point is exchanged for a link while the attempt runs.
        {"//10.0.0.9/race", nullptr, nullptr,
         "0 x " +
             tried("//10.0.0.9/race", "guest,password='',domain='WORKGROUP',vers=3.1\" succeeded")},
    };
    const std::string observed = inNamespace([&](std::ostringstream& diagnostics) {
        // As on a booted system, where both are shared: a new mount there propagates.
        if (::mount(nullptr, "/tmp", nullptr, MS_SHARED, nullptr) != 0 ||
            ::mount(nullptr, "/run", nullptr, MS_SHARED, nullptr) != 0 ||
            ::mkdir("/tmp/bin", 0755) != 0 || ::mkdir("/tmp/d", 0755) != 0 ||
            ::mkdir(point.c_str(), 0755) != 0 || !writeFile("/tmp/bin/mount", kStandInMount)) {
            return std::string("set-up: ") + std::strerror(errno);
        }
        ::setenv("PATH", ("/tmp/bin:" + std::string(std::getenv("PATH"))).c_str(), 1);
        auto word = [](const char* text) {
            return text ? std::optional<std::string>(text) : std::nullopt;
        };
        std::string out;
        for (const auto& [source, user, password, expected] : cases) {
            SystemCommands commands;
            MountCode code = commands.mount(source, point, word(user), word(password));
            const std::string shown = diagnostics.str() + commands.lastError();
            std::vector<std::string> lines = takeLines(diagnostics);
            std::ifstream in("/tmp/attempts");
            const std::string log((std::istreambuf_iterator<char>(in)), {});
            ::unlink("/tmp/attempts");
            // One diagnostic line per attempt, or the refusal's; the password shows nowhere.
            out += number(code) + " " + log + " " + (lines.empty() ? "" : lines.back()) +
                   (lines.size() == std::max<std::size_t>(log.size(), 1) ? "" : " (line count)") +
                   (password && shown.find(password) != std::string::npos ? " (password)" : "") +
                   "\n";
        }
        // Each share went onto the folder that was judged, nosuid and nodev, and no staging
        // folder is left.
        // One statement each: the operands of + are evaluated in no set order, and the clean-up
        // after a crash must come last.
        const std::string held = "/tmp/held/share_temp_folder_";
        out += std::to_string(mountsOn(held)) + " " + std::to_string(mountsOn(held, true)) + " ";
        out += std::to_string(mountsOn("/tmp/outside/share_temp_folder_")) + " ";
        out += std::to_string(std::distance(std::filesystem::directory_iterator("/run/elevard"),
                                            std::filesystem::directory_iterator())) +
               " ";
        out += afterACrash() + "\n";
        return out + withForeignStagingPlaces();
    });
    std::string expected;
    for (const auto& row : cases) {
        expected += std::get<3>(row) + "\n";
    }
    EXPECT_EQ(observed, expected + "4 0 0 0 0\n" +
                            "2 staging folder /run/elevard: it is not a folder\n"
                            "2 staging folder /run/elevard: it is not owned by root\n"
                            "2 staging folder /run/elevard: another file system is there, not the "
                            "service's tmpfs\n");
}

}  // namespace
}  // namespace velk
