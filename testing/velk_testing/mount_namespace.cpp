#include "velk_testing/mount_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "velk/kit/scoped_fd.h"

namespace velk::testing {
namespace {

// Set once this process has its own namespace: overlayFile refuses to run before, since a bind
// mount would then change what the whole machine sees.
std::atomic<bool> entered{false};

bool fail(std::string* error, const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
}

// Writes `content` to a new file at `path`. False on failure.
bool writeNewFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

bool isUnderTmp(const std::string& path) {
    return path.rfind("/tmp/", 0) == 0;
}

// The number of threads of this process, or -1 when it cannot be read.
int threadCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
         !error && task != end; task.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

// ThreadSanitizer's runtime starts threads of its own, which never touch files: one at once in
// a forked child, and one more with the program's first thread. They cannot be told apart from
// the program's, so the count is not checked there; the other builds run the same tests with
// the check.
#ifdef __SANITIZE_THREAD__
constexpr bool kRuntimeStartsThreads = true;
#else
constexpr bool kRuntimeStartsThreads = false;
#endif

// Makes the process's root, a folder that is no mount point (a chroot's), the root of a mount
// of its own, with every mount of the new namespace private. The mount that holds the folder
// may be shared with the machine's namespace, and a mount made on it would then appear there
// too: so the root is left for the namespace's real root first, everything made private from
// there, and only then is the folder bound onto itself and entered again.
bool makeRootAMountPoint(std::string* error) {
    kit::ScopedFd oldRoot(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!oldRoot.valid()) {
        return fail(error, "open /");
    }
    // With the working folder outside the root, ".." leads past the root up to the real one.
    if (fchdir(oldRoot.get()) != 0 || chroot("/tmp") != 0) {
        return fail(error, "leave the root");
    }
    for (struct stat here{}, above{};
         stat(".", &here) == 0 && stat("..", &above) == 0 &&
         (here.st_dev != above.st_dev || here.st_ino != above.st_ino);) {
        if (chdir("..") != 0) {
            return fail(error, "chdir ..");
        }
    }
    if (chroot(".") != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail(error, "make the real / private");
    }
    kit::ScopedFd tree(open_tree(
        oldRoot.get(), "", OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE | AT_EMPTY_PATH));
    if (!tree.valid() || move_mount(tree.get(), "", oldRoot.get(), "",
                                    MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
        return fail(error, "bind the root onto itself");
    }
    if (fchdir(tree.get()) != 0 || chroot(".") != 0 || chdir("/") != 0) {
        return fail(error, "enter the bound root");
    }
    return true;
}

}  // namespace

bool enterPrivateMountNamespace(std::string* error, const std::vector<std::string>& keep) {
    const int threads = threadCount();
    if (!kRuntimeStartsThreads && threads != 1) {
        *error = "a private mount namespace needs a single-threaded process; this one has " +
                 std::to_string(threads) + " threads";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        return fail(error, "unshare(CLONE_NEWNS)");
    }
    // Mounts copied into the new namespace may still be shared with the machine's: make them
    // all private before changing anything. In a chroot / is no mount point (EINVAL).
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        if (errno != EINVAL) {
            return fail(error, "make / private");
        }
        if (!makeRootAMountPoint(error)) {
            return false;
        }
    }
    // Folders under /tmp vanish behind the new tmpfs: hold on to them first. The handles must
    // be taken inside the new namespace, since a bind mount cannot cross namespaces.
    std::vector<std::pair<std::string, kit::ScopedFd>> held;
    for (const std::string& path : keep) {
        if (isUnderTmp(path)) {
            kit::ScopedFd fd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!fd.valid()) {
                return fail(error, "open " + path);
            }
            held.emplace_back(path, std::move(fd));
        }
    }
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        return fail(error, "tmpfs on /tmp");
    }
    // The service keeps its own folders under /run (its mount staging, say).
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) {
        return fail(error, "tmpfs on /run");
    }
    for (const auto& [path, fd] : held) {
        const std::string source = "/proc/self/fd/" + std::to_string(fd.get());
        std::error_code ignored;  // a folder that could not be made fails the bind below
        std::filesystem::create_directories(path, ignored);
        if (mount(source.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return fail(error, "keep " + path);
        }
    }
    entered = true;
    return true;
}

bool overlayFile(const std::string& target, const std::string& content, std::string* error) {
    static std::atomic<int> counter{0};
    if (!entered) {
        *error = "overlayFile outside a private mount namespace";
        return false;
    }
    const std::string folder = "/tmp/.velk_overlays";
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return fail(error, "mkdir " + folder);
    }
    const std::string copy =
        folder + "/" + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
    if (!writeNewFile(copy, content)) {
        return fail(error, "write " + copy);
    }
    if (mount(copy.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return fail(error, "bind " + copy + " over " + target);
    }
    return true;
}

}  // namespace velk::testing
