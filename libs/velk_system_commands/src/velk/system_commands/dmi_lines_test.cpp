#include "velk/system_commands/dmi_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velk::system_commands::detail {
namespace {

// The two records for the joined `parts` and `serials`, lengths in host byte order.
std::string records(const std::string& parts, const std::string& serials) {
    std::string bytes;
    for (const std::string& text : {parts, serials}) {
        std::int64_t length = static_cast<std::int64_t>(text.size());
        bytes.append(reinterpret_cast<const char*>(&length), sizeof(length)) += text;
    }
    return bytes;
}

// Tab indents, trailing blanks, duplicates and placeholders: see the whole-operation test.
TEST(DmiInventoryTest, CollectsSortsAndJoinsValues) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::string parts;
        std::string serials;
    };
    const Case cases[] = {
        {"nothing labelled", {"Size: 16 GB\n", "Part Number:\n"}, "", ""},
        {"only leading blanks go", {"Part Number:   \tP 1 \t \n"}, "\tP 1", ""},
        {"blanks only: an empty value", {"Serial Number:  \t\n", "Serial Number: A\n"}, "", "A"},
        {"carriage return kept", {"Serial Number: X\r\n"}, "", "X\r"},
        {"first label, both sets",
         {"Part Number: Part Number: Q Serial Number: S"},
         "Part Number: Q Serial Number: S",
         "S"},
        {"unsigned byte order, prefix first",
         {"Serial Number: \xC3\xA9", "Serial Number: zz", "Serial Number: AB", "Serial Number: A"},
         "",
         "AABzz\xC3\xA9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DmiInventory inventory;
        for (const std::string& piece : c.pieces) {
            inventory.addPiece(piece);
        }
        EXPECT_EQ(inventory.serialized(), records(c.parts, c.serials));
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
