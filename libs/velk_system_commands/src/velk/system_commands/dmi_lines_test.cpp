#include "velk/system_commands/dmi_lines.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace velk::system_commands::detail {
namespace {

// One record: the 8-byte length of `text` in host byte order, then `text`.
std::string record(const std::string& text) {
    std::int64_t length = static_cast<std::int64_t>(text.size());
    char bytes[sizeof(length)];
    std::memcpy(bytes, &length, sizeof(length));
    return std::string(bytes, sizeof(bytes)) + text;
}

TEST(DmiInventoryTest, CollectsSortsAndJoinsValues) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::string parts;
        std::string serials;
    };
    const Case cases[] = {
        {"nothing labelled", {"Memory Device\n", "\tSize: 16 GB\n", "Part Number:\n"}, "", ""},
        {"same part, two serials in byte order",
         {"\tPart Number: M4\n", "\tSerial Number: S2B\n", "\tPart Number: M4\n",
          "\tSerial Number: S1A\n"},
         "M4",
         "S1AS2B"},
        {"trailing blanks, tabs and newlines go, leading tabs stay",
         {"Part Number:   \tP 1 \t \n", "Serial Number: \t\n"},
         "\tP 1",
         ""},
        {"carriage return kept", {"Serial Number: X\r\n"}, "", "X\r"},
        {"first label only, both sets from one piece",
         {"Part Number: Part Number: Q Serial Number: S\n"},
         "Part Number: Q Serial Number: S",
         "S"},
        {"placeholders and empty values kept",
         {"Part Number: Not Specified\n", "Part Number:    \n", "Part Number: A\n"},
         "ANot Specified",
         ""},
        {"unsigned byte order, prefix first",
         {"Serial Number: \xC3\xA9\n", "Serial Number: zz\n", "Serial Number: AB\n",
          "Serial Number: A\n"},
         "",
         "AABzz\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DmiInventory inventory;
        for (const std::string& piece : c.pieces) {
            inventory.addPiece(piece);
        }
        EXPECT_EQ(inventory.serialized(), record(c.parts) + record(c.serials));
    }
}

TEST(DmiInventoryTest, RecordLayout) {
    if constexpr (std::endian::native != std::endian::little) {
        GTEST_SKIP() << "the bytes below are those of a little-endian host";
    }
    DmiInventory inventory;
    EXPECT_EQ(inventory.serialized(), std::string(16, '\0'));
    inventory.addPiece("Serial Number: ABCD\n");
    inventory.addPiece("Serial Number: WXYZ\n");
    EXPECT_EQ(inventory.serialized(),
              std::string(8, '\0') + std::string("\x08\0\0\0\0\0\0\0", 8) + "ABCDWXYZ");
}

}  // namespace
}  // namespace velk::system_commands::detail
