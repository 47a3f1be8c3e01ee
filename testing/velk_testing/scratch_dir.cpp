#include "velk_testing/scratch_dir.h"

#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace velk::testing {
namespace {

int removeEntry(const char* path, const struct stat*, int, FTW*) {
    return ::remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/elevard-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
    removeTree(path_);
}

bool ScratchDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

bool removeTree(const std::string& path) {
    return nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) == 0 || errno == ENOENT;
}

}  // namespace velk::testing
