// The memory inventory's line parser against a small model: the input is cut into the pieces
// the shell output arrives in (a line with its newline, at most 1023 bytes), and the two
// serialized records must hold exactly the distinct values the model finds, sorted and joined.

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "velk/system_commands/dmi_lines.h"

namespace {

// The value after the first `label` in `piece`, trimmed as the parser promises; "" and false
// when the label is absent.
bool modelValue(const std::string& piece, const std::string& label, std::string* value) {
    std::size_t at = piece.find(label);
    if (at == std::string::npos) {
        return false;
    }
    *value = piece.substr(at + label.size());
    while (!value->empty() &&
           (value->back() == ' ' || value->back() == '\t' || value->back() == '\n')) {
        value->pop_back();
    }
    value->erase(0, value->find_first_not_of(' ') == std::string::npos
                        ? value->size()
                        : value->find_first_not_of(' '));
    return true;
}

std::string record(const std::set<std::string>& values) {
    std::string text;
    for (const std::string& value : values) {
        text += value;
    }
    std::int64_t length = static_cast<std::int64_t>(text.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    velk::system_commands::detail::DmiInventory inventory;
    std::set<std::string> parts;
    std::set<std::string> serials;
    for (std::size_t start = 0; start < input.size();) {
        std::size_t newline = input.find('\n', start);
        std::size_t end = newline == std::string::npos ? input.size() : newline + 1;
        end = std::min(end, start + 1023);
        // The shell output reaches the parser as C strings: a piece ends at its first NUL.
        std::string piece = input.substr(start, end - start);
        piece = piece.substr(0, piece.find('\0'));
        inventory.addPiece(piece);
        std::string value;
        if (modelValue(piece, "Part Number: ", &value)) {
            parts.insert(value);
        }
        if (modelValue(piece, "Serial Number: ", &value)) {
            serials.insert(value);
        }
        start = end;
    }
    const std::string expected = record(parts) + record(serials);
    fuzzCheck(inventory.serialized() == expected, "the records hold the model's values", input);
    return 0;
}
