#pragma once

#include <set>
#include <string>
#include <string_view>

namespace velk::system_commands::detail {

// The part and serial numbers of the memory modules, gathered from the output of
// "dmidecode -t17" one piece at a time. One object per reading; not shared between threads.
class DmiInventory {
public:
    // Takes the values of "Part Number: " and "Serial Number: " from `piece` (a line with its
    // newline, or part of a longer one): each label is looked for anywhere in the piece, and
    // its value runs to the piece's end, without trailing blanks, tabs and newlines and without
    // leading blanks. Placeholders such as "Unknown" and empty values are kept like any
    // other value.
    void addPiece(std::string_view piece);

    // Two records, part numbers first, then serial numbers: each an 8-byte signed length in
    // host byte order followed by that many bytes, the distinct values in ascending byte
    // order joined without separators.
    std::string serialized() const;

private:
    std::set<std::string> partNumbers_;
    std::set<std::string> serialNumbers_;
};

}  // namespace velk::system_commands::detail
