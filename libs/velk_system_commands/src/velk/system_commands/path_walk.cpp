#include "velk/system_commands/path_walk.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <optional>
#include <utility>

#include "velk/system_commands/path_forms.h"

namespace velk::system_commands::detail {
namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

struct Component {
    std::string name;
    bool fromLink = false;  // part of a followed link's target
};

// The target of the link open as `link`, or nullopt with errno set.
std::optional<std::string> readLinkTarget(int link) {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t length = ::readlinkat(link, "", buffer.data(), buffer.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(length));
            return buffer;
        }
        // The target may have been cut: read again with room to spare.
        buffer.resize(buffer.size() * 2);
    }
}

// `path` is "" for the root or "/a/b"; removes its last component.
void dropLastComponent(std::string& path) {
    path.erase(path.rfind('/'));
}

// One walk in progress. Each step returns 0 or the errno that refuses the path.
class Walk {
public:
    Walk(LastLink lastLink, bool finalSlash) : lastLink_(lastLink), finalSlash_(finalSlash) {}

    int run(const std::vector<std::string>& parts) {
        for (const std::string& part : parts) {
            pending_.push_back({part, false});
        }
        int error = toRoot();
        while (error == 0 && !pending_.empty()) {
            Component part = std::move(pending_.front());
            pending_.pop_front();
            if (part.name == ".") {
                continue;
            }
            error = part.name == ".."   ? climb()
                    : !missing_.empty() ? addMissing(part.name, ENOENT)
                                        : enter(part);
        }
        return error;
    }

    // Hands over what the walk reached; returns 0 or an errno.
    int finish(WalkedPath* out) {
        result_.realPath = real_.empty() ? "/" : real_;
        result_.unreachable = unreachable_;
        result_.throughDanglingLink = throughDanglingLink_;
        if (!missing_.empty()) {
            result_.folder = std::move(current_);
            result_.names = std::move(missing_);
        } else if (!result_.object.valid()) {
            // The walk ended on a folder: the root, or one reached through "." or "..".
            result_.objectType = S_IFDIR;
            if (ids_.size() > 1) {
                int error = 0;
                result_.folder = openParentFolder(current_.get(), ids_[ids_.size() - 2], &error);
                if (!result_.folder.valid()) {
                    return error;
                }
                result_.names = {real_.substr(real_.rfind('/') + 1)};
            }
            result_.object = std::move(current_);
        }
        *out = std::move(result_);
        return 0;
    }

private:
    int toRoot() {
        kit::ScopedFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat status {};
        if (!root.valid() || ::fstat(root.get(), &status) != 0) {
            return errno;
        }
        current_ = std::move(root);
        ids_.assign(1, folderIdOf(status));
        real_.clear();
        return 0;
    }

    int climb() {
        if (!missing_.empty()) {
            missing_.pop_back();
            dropLastComponent(real_);
            return 0;
        }
        if (ids_.size() == 1) {
            return 0;  // ".." of the root is the root
        }
        int error = 0;
        kit::ScopedFd up = openParentFolder(current_.get(), ids_[ids_.size() - 2], &error);
        if (!up.valid()) {
            return error;
        }
        current_ = std::move(up);
        ids_.pop_back();
        dropLastComponent(real_);
        return 0;
    }

    // A level that does not exist (ENOENT) or is no folder though more follows (ENOTDIR).
    int addMissing(const std::string& name, int why) {
        if ((why == ENOTDIR || !pending_.empty()) && unreachable_ == 0) {
            unreachable_ = why;
        }
        missing_.push_back(name);
        real_ += "/" + name;
        return 0;
    }

    int enter(const Component& part) {
        if (part.name.find('\0') != std::string::npos) {
            return EINVAL;
        }
        bool isLast = pending_.empty();
        kit::ScopedFd fd(
            ::openat(current_.get(), part.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            if (errno != ENOENT) {
                return errno;
            }
            throughDanglingLink_ = throughDanglingLink_ || part.fromLink;
            return addMissing(part.name, ENOENT);
        }
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) {
            return errno;
        }
        bool mustBeFolder = !isLast || finalSlash_;
        if (S_ISLNK(status.st_mode) && (mustBeFolder || lastLink_ == LastLink::follow)) {
            return follow(fd.get());
        }
        if (mustBeFolder && !S_ISDIR(status.st_mode)) {
            return addMissing(part.name, ENOTDIR);
        }
        real_ += "/" + part.name;
        if (isLast) {
            result_.object = std::move(fd);
            result_.objectType = status.st_mode & S_IFMT;
            result_.folder = std::move(current_);
            result_.names = {part.name};
            return 0;
        }
        ids_.push_back(folderIdOf(status));
        current_ = std::move(fd);
        return 0;
    }

    int follow(int link) {
        if (++linksFollowed_ > kMaxLinks) {
            return ELOOP;
        }
        struct statfs fileSystem {};
        if (::fstatfs(link, &fileSystem) != 0) {
            return errno;
        }
        if (fileSystem.f_type == PROC_SUPER_MAGIC) {
            return EPERM;
        }
        std::optional<std::string> target = readLinkTarget(link);
        if (!target) {
            return errno;
        }
        if (target->empty()) {
            return ENOENT;
        }
        if (target->front() == '/') {
            int error = toRoot();
            if (error != 0) {
                return error;
            }
        }
        std::vector<std::string> parts = splitComponents(*target);
        for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
            pending_.push_front({std::move(*part), true});
        }
        return 0;
    }

    const LastLink lastLink_;
    const bool finalSlash_;
    std::deque<Component> pending_;
    kit::ScopedFd current_;      // the deepest existing folder reached
    std::vector<FolderId> ids_;  // the folders from the root down to current_
    std::string real_;           // current_'s real path, then the missing levels; "" is the root
    std::vector<std::string> missing_;
    int linksFollowed_ = 0;
    int unreachable_ = 0;
    bool throughDanglingLink_ = false;
    WalkedPath result_;  // the final object and its folder, once found
};

}  // namespace

FolderId folderIdOf(const struct stat& status) {
    return FolderId{status.st_dev, status.st_ino};
}

Outcome<WalkedPath> walkPath(std::string_view path, LastLink lastLink) {
    int failure = path.find('\0') != std::string_view::npos ? EINVAL : 0;
    std::vector<std::string> parts = splitComponents(path);
    Walk walk(lastLink, !parts.empty() && path.back() == '/');
    WalkedPath result;
    if (failure == 0) {
        failure = walk.run(parts);
    }
    if (failure == 0) {
        failure = walk.finish(&result);
    }
    if (failure != 0) {
        return Failure{systemError(failure)};
    }
    result.endsWithDots = !parts.empty() && (parts.back() == "." || parts.back() == "..");
    return result;
}

kit::ScopedFd openParentFolder(int fd, const FolderId& expected, int* error) {
    kit::ScopedFd up(::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!up.valid() || ::fstat(up.get(), &status) != 0) {
        *error = errno;
        return {};
    }
    if (folderIdOf(status) != expected) {
        *error = ESTALE;
        return {};
    }
    return up;
}

std::optional<std::string> resolveLinks(std::string_view path) {
    Outcome<WalkedPath> walked = walkPath(path, LastLink::follow);
    if (!walked) {
        return std::nullopt;
    }
    return std::move(walked.value().realPath);
}

}  // namespace velk::system_commands::detail
