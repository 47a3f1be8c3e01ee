#include "velk/system_commands/dmi_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace velk::system_commands::detail {
namespace {

// One record: the length of `text` in host byte order, then `text`.
std::string record(const std::string& text) {
    const std::int64_t length = static_cast<std::int64_t>(text.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof(length)) + text;
}

// Tab indents, trailing blanks, duplicates and placeholders: see the whole-operation test.
TEST(DmiInventoryTest, CollectsSortsAndJoinsValues) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"Size: 16 GB\n", "Part Number:\n"}, record("") + record("")},
        // Only leading blanks go; a value of blanks only is empty; a carriage return stays.
        {{"Part Number:   \tP 1 \t \n", "Serial Number:  \t\n", "Serial Number: X\r\n"},
         record("\tP 1") + record("X\r")},
        // The first label found feeds each set.
        {{"Part Number: Part Number: Q Serial Number: S"},
         record("Part Number: Q Serial Number: S") + record("S")},
        // Bytes compare unsigned; a prefix sorts first.
        {{"Serial Number: \xC3\xA9", "Serial Number: zz", "Serial Number: AB", "Serial Number: A"},
         record("") + record("AABzz\xC3\xA9")},
    };
    for (const auto& [pieces, serialized] : cases) {
        SCOPED_TRACE(pieces.front());
        DmiInventory inventory;
        for (const std::string& piece : pieces) {
            inventory.addPiece(piece);
        }
        EXPECT_EQ(inventory.serialized(), serialized);
    }
}

}  // namespace
}  // namespace velk::system_commands::detail
