#include "velk/system_commands/folder_listing.h"

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace velk::system_commands::detail {

int FolderListing::read(int fd, char* scratch, std::size_t size, ListedTypes types) {
    for (;;) {
        const ssize_t got = ::getdents64(fd, scratch, size);
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            return 0;
        }
        const std::size_t base = records_.size();
        records_.insert(records_.end(), scratch, scratch + got);
        for (std::size_t at = base; at < records_.size();) {
            const char* record = records_.data() + at;
            unsigned short length = 0;
            std::memcpy(&length, record + offsetof(dirent64, d_reclen), sizeof(length));
            const char* name = record + offsetof(dirent64, d_name);
            if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
                const auto type = static_cast<unsigned char>(record[offsetof(dirent64, d_type)]);
                entries_.push_back(Place{
                    at + offsetof(dirent64, d_name),
                    types == ListedTypes::used ? type : static_cast<unsigned char>(DT_UNKNOWN)});
            }
            at += length;
        }
    }
}

ListedEntry FolderListing::entry(std::size_t index) const {
    return ListedEntry{records_.data() + entries_[index].offset, entries_[index].type};
}

}  // namespace velk::system_commands::detail
