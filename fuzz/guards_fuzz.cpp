// The guards as a property: whatever tree of folders, files and links a caller can build, a
// path the ownership guard accepts never leads the kernel to a forbidden place, a path the
// mount guard accepts always leads it to a marked temporary folder under /tmp, and two calls on
// the same tree judge alike.
//
// Input: lines, each a letter, a blank and a path relative to a fresh scratch tree:
//   d PATH          make a folder         f PATH          make a file
//   l PATH TARGET   make a link           ? PATH          judge PATH (absolute when it
//                                                         begins with "/")
// In any path or target, a component "=N" (N up to 255) stands for N letters "x", and "@"
// as the first component for the tree's own absolute path. Folders, files and links are made
// only inside folders the input made, with the *at calls, so nothing outside the tree changes.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "velk/kit/scoped_fd.h"
#include "velk/system_commands.h"
#include "velk_testing/scratch_dir.h"

namespace {

using velk::kit::ScopedFd;

// Where the kernel's resolution must never end up: the root, the system's top-level folders
// as plain prefixes, except the configuration folder and what lies below it.
bool forbidden(const std::string& path) {
    static const std::array<const char*, 16> kPrefixes = {
        "/bin",  "/boot", "/cdrom", "/dev",  "/etc", "/lib", "/lib64", "/proc",
        "/root", "/run",  "/sbin",  "/snap", "/srv", "/sys", "/usr",   "/var"};
    if (path == "/etc/velk_ini" || path.rfind("/etc/velk_ini/", 0) == 0) {
        return false;
    }
    if (path == "/") {
        return true;
    }
    for (const char* prefix : kPrefixes) {
        if (path.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// `path` with its "=N" and leading "@" components expanded; empty components are kept.
std::string expand(const std::string& path, const std::string& root) {
    std::vector<std::string> parts = split(path, '/');
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string& part = parts[i];
        if (i == 0 && part == "@") {
            part = root;
        } else if (part.size() > 1 && part.size() <= 4 && part[0] == '=' &&
                   part.find_first_not_of("0123456789", 1) == std::string::npos) {
            part = std::string(std::min(std::stoul(part.substr(1)), 255UL), 'x');
        }
        out += (i == 0 ? "" : "/") + part;
    }
    return out;
}

// Where the kernel takes `path`, or "" when it cannot be opened.
std::string kernelResolution(const std::string& path) {
    ScopedFd fd(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!fd.valid()) {
        return {};
    }
    std::array<char, 8192> buffer{};
    const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
    ssize_t length = readlink(link.c_str(), buffer.data(), buffer.size());
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : "";
}

// A scratch folder with a tmpfs of its own, mounted in a mount namespace of this process's own:
// on a disk, each folder made and removed costs milliseconds.
class TmpfsScratch {
public:
    TmpfsScratch() {
        fuzzCheck(unshare(CLONE_NEWNS) == 0 &&
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "mode=0755") == 0,
                  "a tmpfs of our own (needs root)", std::strerror(errno));
    }
    // Unmounted first, so that the scratch folder itself can go.
    ~TmpfsScratch() { umount2(dir_.path().c_str(), MNT_DETACH); }

    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    velk::testing::ScratchDir dir_;
};

// The tree one input builds under `root`, removed again, entry by entry, on destruction.
class Tree {
public:
    explicit Tree(std::string root) : root_(std::move(root)) {
        fuzzCheck(mkdir(root_.c_str(), 0755) == 0, "a fresh tree", root_);
        folders_[""] = ScopedFd(open(root_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }

    ~Tree() {
        for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
            const auto& [parent, name, isFolder] = *made;
            fuzzCheck(
                unlinkat(folders_.at(parent).get(), name.c_str(), isFolder ? AT_REMOVEDIR : 0) == 0,
                "the tree is removed");
        }
        folders_.clear();
        fuzzCheck(rmdir(root_.c_str()) == 0, "the tree is removed");
    }

    // Makes `path` (relative to the root) as a folder ('d'), file ('f') or link ('l' to
    // `target`) when its parent is a folder made here; otherwise makes nothing.
    void make(char kind, const std::string& path, const std::string& target) {
        const std::size_t slash = path.rfind('/');
        const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
        const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
        auto folder = folders_.find(parent);
        if (folder == folders_.end() || name.empty() || name == "." || name == "..") {
            return;
        }
        const int at = folder->second.get();
        bool made = false;
        if (kind == 'd') {
            made = mkdirat(at, name.c_str(), 0755) == 0;
            if (made) {
                folders_[path] = ScopedFd(
                    openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            }
        } else if (kind == 'f') {
            made = ScopedFd(openat(at, name.c_str(),
                                   O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644))
                       .valid();
        } else {
            made = symlinkat(target.c_str(), at, name.c_str()) == 0;
        }
        if (made) {
            made_.emplace_back(parent, name, kind == 'd');
        }
    }

private:
    std::string root_;
    std::map<std::string, ScopedFd> folders_;  // by path relative to the root; "" the root
    std::vector<std::tuple<std::string, std::string, bool>> made_;  // parent, name, is folder
};

// Where the kernel takes `path`: where it exists, its resolution; where only its last name is
// missing (a folder or a rename would make it there), its folder's resolution and that name;
// "" when neither can be told.
std::string placeOf(const std::string& path) {
    std::string real = kernelResolution(path);
    struct stat status {};
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (real.empty() && slash != std::string::npos && errno == ENOENT && !name.empty() &&
        name != "." && name != ".." && lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
        const std::string folder = kernelResolution(slash == 0 ? "/" : path.substr(0, slash));
        if (!folder.empty()) {
            real = (folder == "/" ? "" : folder) + "/" + name;
        }
    }
    return real;
}

// Judges `path` with both guards, twice each.
void judge(velk::SystemCommands& commands, const std::string& path) {
    const bool owned = commands.checkOwnerPermissions(path);
    fuzzCheck(commands.checkOwnerPermissions(path) == owned, "two calls judge alike", path);
    const bool mounted = commands.checkMountPermissions(path);
    fuzzCheck(commands.checkMountPermissions(path) == mounted, "two calls judge alike", path);
    if (!owned && !mounted) {
        return;
    }
    const std::string real = placeOf(path);
    fuzzCheck(!owned || real.empty() || !forbidden(real),
              "an accepted path stays out of system folders", path + "\n  -> " + real);
    fuzzCheck(!mounted || real.empty() ||
                  (real.rfind("/tmp/", 0) == 0 && real.find("_temp_folder_") != std::string::npos),
              "an accepted mount point is a marked folder under /tmp", path + "\n  -> " + real);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static TmpfsScratch scratch;
    static velk::SystemCommands commands;
    const std::string root = scratch.file("t");
    Tree tree(root);
    for (const std::string& line : inputLines(data, size)) {
        if (line.size() < 3 || line[1] != ' ') {
            continue;
        }
        std::string rest = line.substr(2);
        if (line[0] == '?') {
            const std::string path = expand(rest, root);
            judge(commands, path.empty() || path[0] != '/' ? root + "/" + path : path);
        } else if (line[0] == 'd' || line[0] == 'f' || line[0] == 'l') {
            const std::size_t blank = rest.find(' ');
            const std::string target = blank == std::string::npos ? "" : rest.substr(blank + 1);
            tree.make(line[0], expand(rest.substr(0, blank), root), expand(target, root));
        }
    }
    return 0;
}
