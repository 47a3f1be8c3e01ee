#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "velk/system_commands.h"
#include "velk/system_commands/forked_diagnostics.h"

namespace velk {
namespace {

using testing_support::inNamespace;
using testing_support::takeLines;
using testing_support::writeFile;

TEST(DmiInfoTest, ReadsTheInventoryFromDmidecode) {
    // Two modules with one part number and an empty slot, as dmidecode -t17 prints them.
    const std::string prints =
        "#!/bin/sh\ncat <<'EOF'\n# dmidecode 3.4\nSMBIOS 3.2.0 present.\n\n"
        "Handle 0x0040, DMI type 17, 92 bytes\nMemory Device\n\tSize: 16 GB\n\tLocator: DIMM A\n"
        "\tSerial Number: 2A1B3C5E\n\tPart Number: HMA82GS6CJR8N-VK    \n\n"
        "Handle 0x0041, DMI type 17, 92 bytes\nMemory Device\n\tSize: No Module Installed\n"
        "\tSerial Number: Unknown\n\tPart Number: Unknown\n\n"
        "Handle 0x0042, DMI type 17, 92 bytes\nMemory Device\n\tLocator: DIMM C\n"
        "\tSerial Number: 2A1B3C4D\n\tPart Number: HMA82GS6CJR8N-VK    \nEOF\n";
    // Lengths of 23 bytes each, in the host's (x86-64: little-endian) byte order; nothing when
    // the run fails.
    const std::string length(std::string("\x17\0\0\0\0\0\0\0", 8));
    const std::string observed = inNamespace([&](std::ostringstream&) {
        if (::mount("tmpfs", "/usr/sbin", "tmpfs", 0, "") != 0) {
            return std::string("tmpfs: ") + std::strerror(errno);
        }
        std::string out;
        for (const std::string& script : {prints, prints + "exit 1\n"}) {
            writeFile("/usr/sbin/dmidecode", script);
            out += SystemCommands().serializedDmiInfo() + "|";
        }
        return out;
    });
    EXPECT_EQ(observed, length + "HMA82GS6CJR8N-VKUnknown" + length + "2A1B3C4D2A1B3C5EUnknown||");
}

}  // namespace
}  // namespace velk
