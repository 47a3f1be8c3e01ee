#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velk/kit/debug.h"
#include "velk/system_commands.h"
#include "velk/system_commands/mount_params.h"
#include "velk/system_commands/shell_text.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"

namespace velk {
namespace {

using system_commands::detail::quoted;
using velk::testing::ForkResult;

// Appends `text` to `*out` as one observation of a forked child: its length, a colon, its
// bytes.
void observe(std::string* out, const std::string& text) {
    *out += std::to_string(text.size()) + ":" + text;
}

// The observations in what a child handed back; stops at anything else (a set-up failure).
std::vector<std::string> observations(const std::string& text) {
    std::vector<std::string> all;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t size = 0;
        auto [end, error] = std::from_chars(text.data() + pos, text.data() + text.size(), size);
        pos = static_cast<std::size_t>(end - text.data());
        if (error != std::errc() || pos >= text.size() || text[pos] != ':' ||
            text.size() - pos - 1 < size) {
            break;
        }
        all.push_back(text.substr(pos + 1, size));
        pos += 1 + size;
    }
    return all;
}

bool writeFile(const std::string& path, const std::string& content, mode_t mode = 0644) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush()) && ::chmod(path.c_str(), mode) == 0;
}

// The diagnostic lines written so far, without their prefixes; clears the stream.
std::vector<std::string> takeLines(std::ostringstream& diagnostics) {
    static const std::regex prefix(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] system_commands_linux\.cpp: )");
    std::vector<std::string> lines;
    std::istringstream in(diagnostics.str());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(std::regex_replace(line, prefix, ""));
    }
    diagnostics.str("");
    return lines;
}

bool isMountPoint(const std::string& path) {
    struct stat own {};
    struct stat tmp {};
    return ::stat(path.c_str(), &own) == 0 && ::stat("/tmp", &tmp) == 0 && own.st_dev != tmp.st_dev;
}

// Runs `body` in a forked child inside a private mount namespace (so /tmp is a fresh tmpfs),
// with enableOutput on and the diagnostic lines going to the stream `body` is given. The
// configuration is read once per process, and this process never reads it.
ForkResult inNamespace(const std::function<std::string(std::ostringstream&)>& body) {
    return velk::testing::runForked([&]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error)) {
            return "namespace: " + error;
        }
        if (::mkdir("/tmp/velk_ini", 0755) != 0 ||
            !writeFile("/tmp/velk_ini/velk_system_commands.ini", "enableOutput=true\n")) {
            return std::string("ini: ") + std::strerror(errno);
        }
        ::setenv("VELK_INI_DIR", "/tmp/velk_ini", 1);
        std::ostringstream diagnostics;
        kit::debug::stream() = &diagnostics;
        return body(diagnostics);
    });
}

// Makes each folder, then mounts a tmpfs on those of `mounted`. Returns what failed, or "".
std::string makeFolders(const std::vector<std::string>& folders,
                        const std::vector<std::string>& mounted = {}) {
    for (const std::string& folder : folders) {
        if (::mkdir(folder.c_str(), 0755) != 0) {
            return "mkdir " + folder + ": " + std::strerror(errno);
        }
    }
    for (const std::string& folder : mounted) {
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return "mount " + folder + ": " + std::strerror(errno);
        }
    }
    return "";
}

TEST(MountGuardTest, JudgesThePlaceThePathNames) {
    // Twenty-one folders of 200 characters take the link at the end past PATH_MAX.
    std::string deep = "/tmp/deep_temp_folder_";
    for (int level = 0; level < 21; ++level) {
        deep += "/" + std::string(200, 'd');
    }
    const std::vector<std::string> allowed = {
        "/tmp/missing_temp_folder_",  "/tmp/a_temp_folder_b/c",     "/tmp/x/y_temp_folder_",
        "//tmp/./real_temp_folder_/", "/tmp/real_temp_folder_/sub", "/tmp/toReal_temp_folder_"};
    const std::vector<std::string> refused = {"",
                                              "tmp/x_temp_folder_",
                                              "/tmp_temp_folder_",
                                              "/var/tmp/x_temp_folder_",
                                              "/tmp/plain",
                                              "/mnt/x_temp_folder_",
                                              "/tmp/x_temp_folder_/../../etc",
                                              "/tmp/x_temp_folder_/..",
                                              std::string("/tmp/x_temp_folder_\0/../../etc", 30),
                                              "/tmp/toEtc_temp_folder_",
                                              "/tmp/toEtc_temp_folder_/passwd",
                                              "/tmp/toPlain_temp_folder_",
                                              "/tmp/relative_temp_folder_",
                                              "/tmp/loop_temp_folder_",
                                              deep + "/toEtc"};
    ForkResult result = inNamespace([&](std::ostringstream&) {
        std::string failed = makeFolders({"/tmp/real_temp_folder_", "/tmp/plain"});
        bool linked = ::symlink("/tmp/real_temp_folder_", "/tmp/toReal_temp_folder_") == 0 &&
                      ::symlink("/etc", "/tmp/toEtc_temp_folder_") == 0 &&
                      ::symlink("/tmp/plain", "/tmp/toPlain_temp_folder_") == 0 &&
                      ::symlink("../etc", "/tmp/relative_temp_folder_") == 0 &&
                      ::symlink("loop_temp_folder_", "/tmp/loop_temp_folder_") == 0;
        // Paths past PATH_MAX can only be built one folder at a time.
        bool deepMade =
            ::mkdir("/tmp/deep_temp_folder_", 0755) == 0 && ::chdir("/tmp/deep_temp_folder_") == 0;
        for (int level = 0; deepMade && level < 21; ++level) {
            const std::string name(200, 'd');
            deepMade = ::mkdir(name.c_str(), 0755) == 0 && ::chdir(name.c_str()) == 0;
        }
        deepMade = deepMade && ::symlink("/etc", "toEtc") == 0 && ::chdir("/") == 0;
        if (!failed.empty() || !linked || !deepMade) {
            return "setup: " + failed + std::strerror(errno);
        }
        std::string out;
        for (const auto* paths : {&allowed, &refused}) {
            for (const std::string& path : *paths) {
                SystemCommands commands;
                bool allowed = commands.checkMountPermissions(path);
                observe(&out, (allowed ? "allowed " : "refused ") + commands.lastError());
            }
        }
        return out;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    std::vector<std::string> observed = observations(result.text);
    ASSERT_EQ(observed.size(), allowed.size() + refused.size()) << result.text;
    std::size_t index = 0;
    for (const std::string& path : allowed) {
        SCOPED_TRACE(path);
        EXPECT_EQ(observed[index++], "allowed ");
    }
    for (const std::string& path : refused) {
        SCOPED_TRACE(path.substr(0, 100));
        EXPECT_EQ(observed[index++], "refused Mount to " + path + " is forbidden");
    }
}

// A share the stand-in mount helper serves: it mounts when the options are `accepts` and
// answers `otherwise` (exit status 32) to any other attempt.
struct Share {
    std::string source;
    std::string accepts;
    std::string otherwise;
};

// A stand-in for the mount helper, called as "mount -t cifs SOURCE POINT -o OPTIONS": appends
// its arguments, each in brackets, as one line to /tmp/mount.calls and plays `shares`; an
// unknown source has no route. What it mounts is a tmpfs.
std::string standInMount(const std::vector<Share>& shares) {
    std::string script =
        "#!/bin/sh\nprintf '[%s]' \"$@\" >> /tmp/mount.calls\necho >> /tmp/mount.calls\n"
        "case \"$3\" in\n";
    for (const Share& share : shares) {
        script += quoted(share.source) + ")\n    if [ \"$6\" = " + quoted(share.accepts) +
                  " ]; then exec /usr/bin/mount -t tmpfs tmpfs \"$4\"; fi\n    echo " +
                  quoted(share.otherwise) + "\n    exit 32 ;;\n";
    }
    return script + "*)\n    echo 'mount error(113): No route to host'\n    exit 32 ;;\nesac\n";
}

std::string describeMount(int code, std::size_t attempts, const std::string& lastCall,
                          std::size_t lines, const std::string& lastLine,
                          const std::string& lastError, bool mounted, bool leaked) {
    std::ostringstream text;
    text << "code " << code << "\nattempts " << attempts << "\nlast call " << lastCall << "\nlines "
         << lines << "\nlast line " << lastLine << "\nlast error " << lastError << "\nmounted "
         << mounted << "\npassword shown " << leaked;
    return text.str();
}

TEST(MountTest, AttemptsUntilTheServerMountsOrRefuses) {
    const std::string unsupported = "mount error(95): Operation not supported";
    const std::vector<Share> shares = {
        {"//10.0.0.5/public", "guest,password=,vers=2.0", unsupported},
        {"//10.0.0.13/media", "username=anna,password=p4ss 'w0rd' 13,domain=CORP,vers=3.0",
         unsupported},
        {"//10.0.0.7/private", "username=bob,password=right,domain=WORKGROUP,vers=3.1",
         "mount error(13): Permission denied"},
    };
    auto command = [](const std::string& source, const std::string& point,
                      const std::string& options) {
        return "mount -t cifs '" + source + "' '" + point + "' -o " + options;
    };
    auto failed = [&](const std::string& line, const std::string& output) {
        return "Command " + line + " failed with return code 8192. Output: " + output + "\n";
    };
    struct Case {
        const char* name;
        std::string source;
        std::string point;
        std::optional<std::string> user;
        std::optional<std::string> password;
        MountCode code;
        std::size_t attempts;
        std::string lastCall;  // the options as the helper got them
        std::string lastLine;
        std::string lastError;
    };
    const std::string publicPoint = "/tmp/public_temp_folder_";
    const std::string mediaPoint = "/tmp/media_temp_folder_";
    const std::string privatePoint = "/tmp/private_temp_folder_";
    const std::string gonePoint = "/tmp/gone_temp_folder_";
    const std::string bob = command("//10.0.0.7/private", privatePoint,
                                    " username='bob',password='****',domain='WORKGROUP',vers=3.1");
    const std::string carl =
        command("//10.0.0.113/gone", gonePoint, " username='carl',password='****',vers=1.0");
    const Case cases[] = {
        {"a guest login found on the ninth attempt", "//10.0.0.5/public", publicPoint, std::nullopt,
         std::nullopt, MountCode::success, 9, "guest,password=,vers=2.0",
         "Mount command \"" +
             command("//10.0.0.5/public", publicPoint, "guest,password='',vers=2.0") +
             "\" succeeded",
         failed(command("//10.0.0.5/public", publicPoint, "guest,password='',vers=3.0"),
                unsupported)},
        {"13 in the address and the password stops nothing", "//10.0.0.13/media", mediaPoint,
         "anna\\CORP", "p4ss 'w0rd' 13", MountCode::success, 3,
         "username=anna,password=p4ss 'w0rd' 13,domain=CORP,vers=3.0",
         "Mount command \"" +
             command("//10.0.0.13/media", mediaPoint,
                     " username='anna',password='****',domain='CORP',vers=3.0") +
             "\" succeeded",
         failed(command("//10.0.0.13/media", mediaPoint,
                        " username='anna',password='****',domain='CORP',vers=2.1"),
                unsupported)},
        {"a refused login ends the attempts", "//10.0.0.7/private", privatePoint, "bob", "wrong-pw",
         MountCode::permissionDenied, 1, "username=bob,password=wrong-pw,domain=WORKGROUP,vers=3.1",
         "Mount command \"" + bob + "\" failed with 'permission denied'",
         failed(bob, "mount error(13): Permission denied")},
        {"error(113) everywhere: all ten attempts", "//10.0.0.113/gone", gonePoint, "carl", "x13y",
         MountCode::otherError, 10, "username=carl,password=x13y,vers=1.0",
         "Mount command \"" + carl + "\" failed",
         failed(carl, "mount error(113): No route to host")},
        {"a source the helper would take for an option", "-oremount", gonePoint, std::nullopt,
         "x13y", MountCode::otherError, 0, "",
         "It's forbidden to mount a remote folder from -oremount",
         "Mount from -oremount is forbidden"},
        {"a mount point outside the temporary folders", "//10.0.0.5/public", "/etc", std::nullopt,
         std::nullopt, MountCode::otherError, 0, "",
         "It's forbidden to mount a remote folder to /etc", "Mount to /etc is forbidden"},
    };
    ForkResult result = inNamespace([&](std::ostringstream& diagnostics) {
        std::string failedSetup =
            makeFolders({"/tmp/bin", publicPoint, mediaPoint, privatePoint, gonePoint});
        if (!failedSetup.empty() || !writeFile("/tmp/bin/mount", standInMount(shares), 0755)) {
            return "setup: " + failedSetup;
        }
        ::setenv("PATH", ("/tmp/bin:" + std::string(std::getenv("PATH"))).c_str(), 1);
        std::string out;
        for (const Case& c : cases) {
            std::ofstream("/tmp/mount.calls", std::ios::trunc).flush();
            SystemCommands commands;
            MountCode code = commands.mount(c.source, c.point, c.user, c.password);
            std::vector<std::string> calls;
            std::ifstream log("/tmp/mount.calls");
            for (std::string line; std::getline(log, line);) {
                calls.push_back(line);
            }
            std::vector<std::string> lines = takeLines(diagnostics);
            std::string shown;
            for (const std::string& line : lines) {
                shown += line + "\n";
            }
            shown += commands.lastError();
            bool leaked = c.password && shown.find(*c.password) != std::string::npos;
            bool mounted = c.point.rfind("/tmp/", 0) == 0 && isMountPoint(c.point);
            observe(&out, describeMount(static_cast<int>(code), calls.size(),
                                        calls.empty() ? "" : calls.back(), lines.size(),
                                        lines.empty() ? "" : lines.back(), commands.lastError(),
                                        mounted, leaked));
        }
        return out;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    std::vector<std::string> observed = observations(result.text);
    ASSERT_EQ(observed.size(), std::size(cases)) << result.text;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        std::string lastCall = c.attempts == 0 ? ""
                                               : "[-t][cifs][" + c.source + "][" + c.point +
                                                     "][-o][" + c.lastCall + "]";
        EXPECT_EQ(observed[i], describeMount(static_cast<int>(c.code), c.attempts, lastCall,
                                             std::max<std::size_t>(c.attempts, 1), c.lastLine,
                                             c.lastError, c.code == MountCode::success, false));
    }
}

// The real helper parses each of the ten lines; the kernel, without CIFS, then refuses with
// "mount error(19): No such device", so every attempt runs and none mounts.
TEST(MountTest, TheRealMountHelperTakesEveryLine) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> logins[] = {
        {std::nullopt, std::nullopt},
        {"anna\\CORP", "p4ss 'w0rd' 13"},
    };
    const std::string point = "/tmp/real_temp_folder_";
    ForkResult result = inNamespace([&](std::ostringstream& diagnostics) {
        std::string failedSetup = makeFolders({point});
        if (!failedSetup.empty()) {
            return failedSetup;
        }
        std::string out;
        for (const auto& [user, password] : logins) {
            SystemCommands commands;
            MountCode code = commands.mount("//127.0.0.1/share", point, user, password);
            std::size_t failedLines = 0;
            for (const std::string& line : takeLines(diagnostics)) {
                failedLines += line.ends_with("\" failed");
            }
            std::size_t refusedByKernel = 0;
            for (const auto& params : system_commands::detail::generateMountParams(
                     "//127.0.0.1/share", point, user, password)) {
                std::string failure;
                commands.execute(makeMountCommand(params), {}, &failure);
                refusedByKernel +=
                    failure.find("return code 8192. Output: ") != std::string::npos &&
                    failure.find("mount error(19): No such device") != std::string::npos;
            }
            observe(&out, "code " + std::to_string(static_cast<int>(code)) + ", failed lines " +
                              std::to_string(failedLines) + ", refused by the kernel " +
                              std::to_string(refusedByKernel));
        }
        return out;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    std::vector<std::string> observed = observations(result.text);
    ASSERT_EQ(observed.size(), std::size(logins)) << result.text;
    for (const std::string& one : observed) {
        EXPECT_EQ(one, "code 2, failed lines 10, refused by the kernel 10")
            << "is the mount helper (cifs-utils) installed?";
    }
}

TEST(UnmountTest, CodesByWhatIsThere) {
    const std::pair<std::string, UnmountCode> cases[] = {
        {"/tmp/mounted_temp_folder_", UnmountCode::success},
        {"/tmp/mounted_temp_folder_", UnmountCode::notMounted},
        {"/tmp/plain_temp_folder_", UnmountCode::notMounted},
        {"/tmp/missing_temp_folder_", UnmountCode::notExists},
        {"/tmp/busy_temp_folder_", UnmountCode::busy},
        // The link in the last component is not followed: its target stays mounted.
        {"/tmp/link_temp_folder_", UnmountCode::notMounted},
        {"/tmp/target_temp_folder_", UnmountCode::success},
        {"/mnt/x_temp_folder_", UnmountCode::otherError},
    };
    ForkResult result = inNamespace([&](std::ostringstream&) {
        std::string failedSetup = makeFolders(
            {"/tmp/mounted_temp_folder_", "/tmp/plain_temp_folder_", "/tmp/busy_temp_folder_",
             "/tmp/target_temp_folder_"},
            {"/tmp/mounted_temp_folder_", "/tmp/busy_temp_folder_", "/tmp/target_temp_folder_"});
        velk::testing::RunningChild user;
        if (!failedSetup.empty() ||
            ::symlink("/tmp/target_temp_folder_", "/tmp/link_temp_folder_") != 0 ||
            !user.start(
                {"/bin/sh", "-c", "cd /tmp/busy_temp_folder_ && echo in && exec sleep 60"}) ||
            !user.waitForOutput("in", std::chrono::seconds(30))) {
            return "setup: " + failedSetup + std::strerror(errno);
        }
        std::string out;
        for (const auto& [path, expected] : cases) {
            SystemCommands commands;
            UnmountCode code = commands.unmount(path);
            observe(&out, std::to_string(static_cast<int>(code)) + " " + commands.lastError());
        }
        return out;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    std::vector<std::string> observed = observations(result.text);
    ASSERT_EQ(observed.size(), std::size(cases)) << result.text;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const auto& [path, expected] = cases[i];
        SCOPED_TRACE(path);
        // A failing unmount records nothing; only the guard does.
        EXPECT_EQ(
            observed[i],
            std::to_string(static_cast<int>(expected)) + " " +
                (expected == UnmountCode::otherError ? "Mount to " + path + " is forbidden" : ""));
    }
}

// Realistic output of "dmidecode -t17": two modules with one part number, an empty slot, tab
// indented fields, trailing blanks after a part number.
const char kDmidecodeOutput[] =
    "# dmidecode 3.4\nGetting SMBIOS data from sysfs.\nSMBIOS 3.2.0 present.\n\n"
    "Handle 0x0040, DMI type 17, 92 bytes\nMemory Device\n\tArray Handle: 0x003F\n"
    "\tTotal Width: 64 bits\n\tSize: 16 GB\n\tForm Factor: SODIMM\n\tLocator: DIMM A\n"
    "\tType: DDR4\n\tManufacturer: 80AD000080AD\n\tSerial Number: 2A1B3C5E\n"
    "\tAsset Tag: 9876543210\n\tPart Number: HMA82GS6CJR8N-VK    \n\tRank: 2\n\n"
    "Handle 0x0041, DMI type 17, 92 bytes\nMemory Device\n\tArray Handle: 0x003F\n"
    "\tSize: No Module Installed\n\tLocator: DIMM B\n\tType: Unknown\n"
    "\tManufacturer: Not Specified\n\tSerial Number: Not Specified\n"
    "\tAsset Tag: Not Specified\n\tPart Number: Not Specified\n\tRank: Unknown\n\n"
    "Handle 0x0042, DMI type 17, 92 bytes\nMemory Device\n\tSize: 16 GB\n\tLocator: DIMM C\n"
    "\tManufacturer: 80AD000080AD\n\tSerial Number: 2A1B3C4D\n\tAsset Tag: 9876543211\n"
    "\tPart Number: HMA82GS6CJR8N-VK    \n\tRank: 2\n";

TEST(DmiInfoTest, ReadsTheInventoryFromDmidecode) {
    auto record = [](const std::string& text) {
        std::int64_t length = static_cast<std::int64_t>(text.size());
        return std::string(reinterpret_cast<const char*>(&length), sizeof(length)) + text;
    };
    const std::string printOutput =
        "#!/bin/sh\ncat <<'EOF'\n" + std::string(kDmidecodeOutput) + "EOF\n";
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"two modules and an empty slot", printOutput},
        {"failing after some output", printOutput + "exit 1\n"},
        {"missing", std::nullopt},
    };
    ForkResult result = inNamespace([&](std::ostringstream&) {
        if (::mount("tmpfs", "/usr/sbin", "tmpfs", 0, "size=1m") != 0) {
            return std::string("tmpfs on /usr/sbin: ") + std::strerror(errno);
        }
        std::string out;
        for (const auto& [name, script] : cases) {
            ::unlink("/usr/sbin/dmidecode");
            if (script && !writeFile("/usr/sbin/dmidecode", *script, 0755)) {
                return std::string("write dmidecode: ") + std::strerror(errno);
            }
            SystemCommands commands;
            observe(&out, commands.serializedDmiInfo());
        }
        return out;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    std::vector<std::string> observed = observations(result.text);
    ASSERT_EQ(observed.size(), std::size(cases)) << result.text;
    EXPECT_EQ(observed[0],
              record("HMA82GS6CJR8N-VKNot Specified") + record("2A1B3C4D2A1B3C5ENot Specified"));
    EXPECT_EQ(observed[1], "");
    EXPECT_EQ(observed[2], "");
}

// Lines of every kind, written from several threads at once, each arrive whole.
TEST(DiagnosticLinesTest, NeverInterleave) {
    ForkResult result = inNamespace([](std::ostringstream& diagnostics) {
        rlimit own{};
        ::getrlimit(RLIMIT_NOFILE, &own);
        const int soft = static_cast<int>(own.rlim_cur);
        constexpr int kThreads = 8;
        constexpr int kRounds = 500;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([soft] {
                SystemCommands commands;
                for (int round = 0; round < kRounds; ++round) {
                    commands.setFdLimit(::getpid(), soft);
                    commands.setFdLimit(0, 3);
                    commands.mount("//s/x", "/etc/x", std::nullopt, std::nullopt);
                    commands.mount("-o", "/tmp/a_temp_folder_", std::nullopt, std::nullopt);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        std::map<std::string, int> counts;
        for (const std::string& line : takeLines(diagnostics)) {
            ++counts[line];
        }
        std::string out;
        for (const auto& [line, count] : counts) {
            out += line + " x" + std::to_string(count) + "\n";
        }
        return out;
    });
    ASSERT_TRUE(result.exitedCleanly) << result.text;
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    EXPECT_EQ(result.text,
              "It's forbidden to mount a remote folder from -o x4000\n"
              "It's forbidden to mount a remote folder to /etc/x x4000\n"
              "prlimit failed. pid: 0 value: 3 x4000\n"
              "prlimit succeeded. pid: " +
                  std::to_string(result.pid) + " value: " + std::to_string(own.rlim_cur) +
                  " x4000\n");
}

}  // namespace
}  // namespace velk
