#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velk/kit/debug.h"
#include "velk/system_commands.h"
#include "velk/system_commands/shell_text.h"
#include "velk_testing/mount_namespace.h"
#include "velk_testing/run_forked.h"
#include "velk_testing/running_child.h"

namespace velk {
namespace {

using system_commands::detail::quoted;

// Appends `text` to `*out` as one observation of a forked child: its length, ":", its bytes.
void observe(std::string* out, const std::string& text) {
    *out += std::to_string(text.size()) + ":" + text;
}

// The observations in what a child handed back; stops at anything else (a set-up failure).
std::vector<std::string> observations(const std::string& text) {
    std::vector<std::string> all;
    const char* end = text.data() + text.size();
    std::size_t size = 0;
    for (const char* at = text.data();; at += size + 1) {
        auto [colon, error] = std::from_chars(at, end, size);
        at = colon;
        if (error != std::errc() || at == end || *at != ':' ||
            static_cast<std::size_t>(end - at - 1) < size) {
            return all;
        }
        all.emplace_back(at + 1, size);
    }
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

// Runs `body` in a forked child inside a private mount namespace (a fresh tmpfs on /tmp), with
// enableOutput on and the diagnostic lines going to the stream `body` gets, and returns the
// `count` observations it handed back. The configuration is read once per process, and this
// process never reads it.
std::vector<std::string> observeInNamespace(
    std::size_t count, const std::function<std::string(std::ostringstream&)>& body) {
    velk::testing::ForkResult result = velk::testing::runForked([&]() -> std::string {
        std::string error;
        if (!velk::testing::enterPrivateMountNamespace(&error) || ::mkdir("/tmp/ini", 0755) != 0 ||
            !writeFile("/tmp/ini/velk_system_commands.ini", "enableOutput=true\n")) {
            return "set-up: " + error + std::strerror(errno);
        }
        ::setenv("VELK_INI_DIR", "/tmp/ini", 1);
        std::ostringstream diagnostics;
        kit::debug::stream() = &diagnostics;
        return body(diagnostics);
    });
    std::vector<std::string> all = observations(result.text);
    EXPECT_TRUE(result.exitedCleanly && all.size() == count) << result.text;
    all.resize(count);
    return all;
}

// Both guarded operations judge the same place; unmount shows what the guard decided.
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
    std::vector<std::string> observed =
        observeInNamespace(std::size(cases), [&](std::ostringstream&) {
            // A path past PATH_MAX is built one folder at a time.
            const char* setUp = R"(cd /tmp && mkdir mounted_temp_folder_ busy_temp_folder_ &&
                mount -t tmpfs tmpfs mounted_temp_folder_ && mount -t tmpfs tmpfs busy_temp_folder_ &&
                ln -s /tmp/busy_temp_folder_ linkToBusy_temp_folder_ &&
                ln -s /tmp toUnmarked_temp_folder_ && ln -s /etc toEtc_temp_folder_ &&
                mkdir deep_temp_folder_ && cd deep_temp_folder_ && d=$(printf %0200d 0 | tr 0 d) &&
                for i in $(seq 21); do mkdir $d && cd -P $d || exit 1; done && ln -s /etc toEtc)";
            velk::testing::RunningChild user;
            bool made =
                std::system(setUp) == 0 &&
                user.start({"/bin/sh", "-c", "cd /tmp/busy_temp_folder_ && echo in && sleep 60"}) &&
                user.waitForOutput("in", std::chrono::seconds(30));
            std::string out = made ? "" : "set-up failed";
            for (const auto& [path, expected] : cases) {
                SystemCommands commands;
                UnmountCode code = commands.unmount(path);
                observe(&out, std::to_string(static_cast<int>(code)) + " " + commands.lastError());
            }
            return out;
        });
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const auto& [path, expected] = cases[i];
        SCOPED_TRACE(path.substr(0, 80));
        // A failing unmount records nothing; a refusal names the path as given.
        bool refused = expected == UnmountCode::otherError;
        EXPECT_EQ(observed[i], std::to_string(static_cast<int>(expected)) + " " +
                                   (refused ? "Mount to " + path + " is forbidden" : ""));
    }
}

// A stand-in for the mount helper ("mount -t cifs SOURCE POINT -o OPTIONS"). Each share of the
// table mounts a tmpfs when the options are exactly the accepted ones and otherwise answers
// with its refusal and status 32; any other source goes to the real helper, and each of its
// "mount error(19)" answers (no CIFS in the kernel, after parsing the line) is counted.
std::string standInMount(const std::vector<std::vector<std::string>>& shares) {
    std::string script = "#!/bin/sh\necho >> /tmp/attempts\ncase \"$3\" in\n";
    for (const std::vector<std::string>& share : shares) {
        script += quoted(share[0]) + ") [ \"$6\" = " + quoted(share[1]) +
                  " ] && exec /usr/bin/mount -t tmpfs tmpfs \"$4\"\n  echo " + quoted(share[2]) +
                  "; exit 32 ;;\n";
    }
    return script +
           "*) /usr/bin/mount \"$@\" > /tmp/out 2>&1; status=$?; cat /tmp/out\n"
           "  grep -q 'mount error(19): No such device' /tmp/out && echo >> /tmp/kernel\n"
           "  exit $status ;;\nesac\n";
}

TEST(MountTest, AttemptsUntilTheServerMountsOrRefuses) {
    const std::vector<std::vector<std::string>> shares = {
        {"//10.0.0.5/public", "guest,password=,vers=2.0", "mount error(95): Not supported"},
        {"//10.0.0.13/media", "username=anna,password=p4ss 'w0rd' 13,domain=CORP,vers=3.0",
         "mount error(113): No route to host"},
        {"//10.0.0.7/private", "username=bob,password=right,domain=WORKGROUP,vers=3.1",
         "mount error(13): Permission denied"},
    };
    struct Case {
        std::string source;
        std::optional<std::string> user;
        std::optional<std::string> password;
        MountCode code;
        int attempts;
        int kernel;  // attempts the real helper parsed (it must be installed: cifs-utils)
        std::string lastLine;
    };
    const std::string point = "/tmp/share_temp_folder_";
    const std::string mount = "Mount command \"mount -t cifs '";
    const Case cases[] = {
        {"//10.0.0.5/public", std::nullopt, std::nullopt, MountCode::success, 9, 0,
         mount + "//10.0.0.5/public' '" + point + "' -o guest,password='',vers=2.0\" succeeded"},
        {"//10.0.0.13/media", "anna\\CORP", "p4ss 'w0rd' 13", MountCode::success, 3, 0,
         mount + "//10.0.0.13/media' '" + point +
             "' -o  username='anna',password='****',domain='CORP',vers=3.0\" succeeded"},
        {"//10.0.0.7/private", "bob", "wrong", MountCode::permissionDenied, 1, 0,
         mount + "//10.0.0.7/private' '" + point +
             "' -o  username='bob',password='****',domain='WORKGROUP',vers=3.1\" failed with "
             "'permission denied'"},
        {"//127.0.0.1/share", "anna\\CORP", "p4ss 'w0rd' 13", MountCode::otherError, 10, 10,
         mount + "//127.0.0.1/share' '" + point +
             "' -o  username='anna',password='****',vers=1.0\" failed"},
        {"//127.0.0.1/guest", std::nullopt, std::nullopt, MountCode::otherError, 10, 10,
         mount + "//127.0.0.1/guest' '" + point + "' -o guest,password='',vers=1.0\" failed"},
        {"-oremount", std::nullopt, std::nullopt, MountCode::otherError, 0, 0,
         "It's forbidden to mount a remote folder from -oremount"},
    };
    std::vector<std::string> observed =
        observeInNamespace(std::size(cases), [&](std::ostringstream& diagnostics) {
            if (::mkdir("/tmp/bin", 0755) != 0 || ::mkdir(point.c_str(), 0755) != 0 ||
                !writeFile("/tmp/bin/mount", standInMount(shares), 0755)) {
                return std::string("set-up: ") + std::strerror(errno);
            }
            ::setenv("PATH", ("/tmp/bin:" + std::string(std::getenv("PATH"))).c_str(), 1);
            std::string out;
            for (const Case& c : cases) {
                std::ofstream("/tmp/attempts", std::ios::trunc).flush();
                std::ofstream("/tmp/kernel", std::ios::trunc).flush();
                SystemCommands commands;
                MountCode code = commands.mount(c.source, point, c.user, c.password);
                const std::string shown = diagnostics.str() + commands.lastError();
                std::vector<std::string> lines = takeLines(diagnostics);
                std::ifstream attempts("/tmp/attempts");
                std::ifstream kernel("/tmp/kernel");
                std::ostringstream text;
                text << static_cast<int>(code) << " "
                     << std::count(std::istreambuf_iterator<char>(attempts), {}, '\n') << " "
                     << std::count(std::istreambuf_iterator<char>(kernel), {}, '\n') << " "
                     << lines.size() << " "
                     << (c.password && shown.find(*c.password) != std::string::npos) << " "
                     << (lines.empty() ? "" : lines.back());
                observe(&out, text.str());
            }
            return out;
        });
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.source);
        // Code, attempts, of them through the real helper, diagnostic lines, password shown.
        EXPECT_EQ(observed[i], std::to_string(static_cast<int>(c.code)) + " " +
                                   std::to_string(c.attempts) + " " + std::to_string(c.kernel) +
                                   " " + std::to_string(std::max(c.attempts, 1)) + " 0 " +
                                   c.lastLine);
    }
}

TEST(DmiInfoTest, ReadsTheInventoryFromDmidecode) {
    // Two modules with one part number and an empty slot, as dmidecode -t17 prints them.
    const std::string output =
        "# dmidecode 3.4\nSMBIOS 3.2.0 present.\n\nHandle 0x0040, DMI type 17, 92 bytes\n"
        "Memory Device\n\tSize: 16 GB\n\tLocator: DIMM A\n\tSerial Number: 2A1B3C5E\n"
        "\tPart Number: HMA82GS6CJR8N-VK    \n\nHandle 0x0041, DMI type 17, 92 bytes\n"
        "Memory Device\n\tSize: No Module Installed\n\tSerial Number: Unknown\n"
        "\tPart Number: Unknown\n\nHandle 0x0042, DMI type 17, 92 bytes\nMemory Device\n"
        "\tLocator: DIMM C\n\tSerial Number: 2A1B3C4D\n\tPart Number: HMA82GS6CJR8N-VK    \n";
    const std::string prints = "#!/bin/sh\ncat <<'EOF'\n" + output + "EOF\n";
    std::vector<std::string> observed = observeInNamespace(2, [&](std::ostringstream&) {
        std::string out;
        if (::mount("tmpfs", "/usr/sbin", "tmpfs", 0, "") != 0) {
            return std::string("tmpfs: ") + std::strerror(errno);
        }
        for (const std::string& script : {prints, prints + "exit 1\n"}) {
            writeFile("/usr/sbin/dmidecode", script, 0755);
            observe(&out, SystemCommands().serializedDmiInfo());
        }
        return out;
    });
    // Lengths of 23 bytes each, in the host's (x86-64: little-endian) byte order.
    const std::string length(std::string("\x17\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(observed[0], length + "HMA82GS6CJR8N-VKUnknown" + length + "2A1B3C4D2A1B3C5EUnknown");
    EXPECT_EQ(observed[1], "") << "the run failed";
}

// Lines of every kind, written from several threads at once, each arrive whole.
TEST(DiagnosticLinesTest, NeverInterleave) {
    std::vector<std::string> observed = observeInNamespace(1, [](std::ostringstream& diagnostics) {
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
        std::map<std::string, int> counts;
        for (const std::string& line : takeLines(diagnostics)) {
            ++counts[line];
        }
        std::string text;
        for (const auto& [line, count] : counts) {
            text += line + " x" + std::to_string(count) + "\n";
        }
        std::string out;
        observe(&out, text);
        return out;
    });
    EXPECT_EQ(observed[0],
              "It's forbidden to mount a remote folder from -o x16000\n"
              "It's forbidden to mount a remote folder to /etc/x x16000\n"
              "prlimit failed. pid: 0 value: 3 x16000\n");
}

}  // namespace
}  // namespace velk
