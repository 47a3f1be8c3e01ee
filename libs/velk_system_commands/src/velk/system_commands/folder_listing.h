#pragma once

#include <dirent.h>

#include <cstddef>
#include <vector>

// Reading a folder whole before anything in it changes.
namespace velk::system_commands::detail {

// The bytes asked of getdents64 at a time: about 2,000 entries of short names per call, twice
// what readdir asks for, and still below the size from which the service's allocator maps
// blocks for themselves (so a small rm costs no mmap and munmap).
inline constexpr std::size_t kListingChunk = 64 * 1024;

// Whether the tree changes learn an entry's type from the folder listing (d_type), or from the
// kernel entry by entry, as they must on file systems whose listings give no type. `ignored`
// exists so that tests can take the second road on any file system.
enum class ListedTypes { used, ignored };

// One entry of a listing: its name, kept inside the listing, and its d_type.
struct ListedEntry {
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
};

// The entries of a folder other than "." and "..", read whole, so that removals and renames
// in it do not disturb the reading. Move-only in effect; names stay valid, moves included,
// for as long as the listing. Not thread-safe to read while read() runs.
class FolderListing {
public:
    // Reads the folder open as `fd` through the `size` bytes of `scratch`, appending to what
    // was read before. Every type is DT_UNKNOWN unless `types` is used. Returns 0 or errno.
    int read(int fd, char* scratch, std::size_t size, ListedTypes types);

    std::size_t size() const { return entries_.size(); }
    ListedEntry entry(std::size_t index) const;
    // Sets the type of entry `index`, as learnt from the kernel.
    void setType(std::size_t index, unsigned char type) { entries_[index].type = type; }

private:
    struct Place {
        std::size_t offset;  // of the name in records_
        unsigned char type;
    };
    std::vector<char> records_;  // the raw getdents64 records
    std::vector<Place> entries_;
};

}  // namespace velk::system_commands::detail
