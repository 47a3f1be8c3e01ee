#include "velk/system_commands/dmi_lines.h"

#include <optional>
#include <utility>

#include "elevard/wire/replies.h"

namespace velk::system_commands::detail {
namespace {

// The value that follows the first `label` in `piece`; nullopt when the label is absent.
std::optional<std::string> valueAfter(std::string_view piece, std::string_view label) {
    std::size_t at = piece.find(label);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = piece.substr(at + label.size());
    std::size_t last = rest.find_last_not_of(" \t\n");
    rest = last == std::string_view::npos ? std::string_view() : rest.substr(0, last + 1);
    std::size_t first = rest.find_first_not_of(' ');
    return std::string(first == std::string_view::npos ? std::string_view() : rest.substr(first));
}

// The values joined in their set's order, without separators.
std::string joined(const std::set<std::string>& values) {
    std::string text;
    for (const std::string& value : values) {
        text += value;
    }
    return text;
}

}  // namespace

void DmiInventory::addPiece(std::string_view piece) {
    const std::pair<std::string_view, std::set<std::string>*> labels[] = {
        {"Part Number: ", &partNumbers_},
        {"Serial Number: ", &serialNumbers_},
    };
    for (const auto& [label, values] : labels) {
        if (std::optional<std::string> value = valueAfter(piece, label)) {
            values->insert(std::move(*value));
        }
    }
}

std::string DmiInventory::serialized() const {
    return elevard::wire::encodeMemoryModules({joined(partNumbers_), joined(serialNumbers_)});
}

}  // namespace velk::system_commands::detail
