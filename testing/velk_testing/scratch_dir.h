#pragma once

#include <string>

namespace velk::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
// Aborts the test binary when the folder cannot be made.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The folder's absolute path, without a trailing slash.
    const std::string& path() const { return path_; }

    // `path()` + "/" + `name`.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `content` to `file(name)`, replacing it; returns false on failure.
    bool write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

// Removes `path` and everything below it without following links; true when gone.
bool removeTree(const std::string& path);

}  // namespace velk::testing
