#include "velk/system_commands/tree_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "velk/kit/scoped_fd.h"
#include "velk/system_commands/change_failure.h"
#include "velk/system_commands/entry_facts.h"
#include "velk/system_commands/folder_listing.h"
#include "velk/system_commands/path_walk.h"

namespace velk::system_commands::detail {
namespace {

// Large folders share the change of their entries among threads when the change allows it: a
// thread for every kEntriesPerThread entries, kMaxThreads in all, at most one per processor.
constexpr std::size_t kEntriesPerThread = 1024;
constexpr unsigned kMaxThreads = 4;
constexpr std::size_t kSharedChunk = 64;  // the entries a thread takes at a time

// Returned by EntryChange::nonFolder for an entry that turned out to be a folder, to be
// entered; never leaves this file.
constexpr int kIsFolder = -3;

// A folder being worked through: its name in the folder above, what its statx said when it
// was opened, and its entries.
struct Level {
    std::string name;
    Facts facts;
    FolderListing listing;
    std::size_t next = 0;  // the next entry to visit
};

// What a tree change does to each entry. Each returns 0, an errno, kOtherMount or kLinkedFile.
class EntryChange {
public:
    virtual ~EntryChange() = default;
    // The top of the tree when it is no folder: `name` of `folder`, held open as `object`.
    virtual int topNonFolder(int folder, const char* name, int object) = 0;
    // An entry of `folder` (whose statx gave `folderFacts`) listed as no folder; kIsFolder
    // when it is one after all.
    virtual int nonFolder(int folder, const Facts& folderFacts, const char* name) = 0;
    // The folder `name` of `folder`, held open as `self`, once everything in it is done.
    virtual int folderDone(int folder, const char* name, int self) = 0;
    // Whether nonFolder may run on several threads at once for entries of the same folder.
    virtual bool sharesEntries() const { return false; }
};

// Runs work(0) to work(count - 1), each once, on this thread and on up to `helpers` threads
// more, which take kSharedChunk indexes at a time. When a thread cannot be started, the others
// do its share.
void runShared(std::size_t count, unsigned helpers, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> taken{0};
    auto take = [&] {
        for (std::size_t first; (first = taken.fetch_add(kSharedChunk)) < count;) {
            for (std::size_t i = first; i < std::min(count, first + kSharedChunk); ++i) {
                work(i);
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < helpers; ++i) {
        try {
            threads.emplace_back(take);
        } catch (const std::system_error&) {
            break;  // out of threads: fewer share the work
        }
    }
    take();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// How many threads beside the caller's share the change of `entries` entries.
unsigned helpersFor(std::size_t entries) {
    const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t threads =
        std::min<std::size_t>({entries / kEntriesPerThread, processors, kMaxThreads});
    return threads > 1 ? static_cast<unsigned>(threads - 1) : 0;
}

// Why opening an entry as a folder failed says it is no folder to descend into: a file or a
// link (taken as itself), or an entry gone meanwhile.
bool isNoFolder(int error) {
    return error == ENOTDIR || error == ELOOP || error == ENOENT;
}

// The first failure of a tree change and the entry it concerns.
class FirstFailure {
public:
    explicit FirstFailure(std::string* entry) : entry_(entry) {}

    // Keeps `error` unless a failure is already kept. The entry is `name` in the deepest of
    // `levels`, or the top itself when `levels` is empty.
    void keep(int error, const std::vector<Level>& levels, const std::string& name) {
        if (error == 0 || error_ != 0) {
            return;
        }
        error_ = error;
        if (entry_ == nullptr) {
            return;
        }
        entry_->clear();
        for (std::size_t i = 1; i < levels.size(); ++i) {
            *entry_ += levels[i].name + "/";
        }
        *entry_ += levels.empty() ? std::string() : name;
    }

    int error() const { return error_; }

private:
    std::string* entry_;
    int error_ = 0;
};

// Applies an EntryChange to a tree, each entry before the folder that holds it. A folder
// below the top that is the root of another mount is left alone. Descends without recursion
// and climbs back through "..", checked against the folder it came from; a folder moved away
// meanwhile ends the work.
class TreeWalk {
public:
    TreeWalk(EntryChange& change, ListedTypes types, std::string* failedEntry)
        : change_(change), types_(types), first_(failedEntry) {}

    // Works through `name` of `folder`, held open as `object`: a folder is read through that
    // descriptor, never looked up by name again.
    int run(int folder, const std::string& name, int object) {
        kit::ScopedFd top(::openat(object, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        Level root;
        root.name = name;
        int error = 0;
        if (!top.valid()) {
            error = errno == ENOTDIR ? change_.topNonFolder(folder, name.c_str(), object) : errno;
        } else if ((error = factsOfHeld(top.get(), &root.facts)) == 0) {
            error = root.listing.read(top.get(), scratch_.get(), kListingChunk, types_);
        }
        first_.keep(error, levels_, name);
        if (error != 0 || !top.valid()) {
            return first_.error();
        }
        levels_.push_back(std::move(root));
        current_ = std::move(top);
        changeNonFolders();
        while (!levels_.empty()) {
            Level& level = levels_.back();
            if (level.next < level.listing.size()) {
                const ListedEntry entry = level.listing.entry(level.next++);
                if (entry.type == DT_DIR) {
                    visit(entry);
                }
            } else {
                climb(folder);
            }
        }
        return first_.error();
    }

private:
    // Changes the entries of the folder just entered that its listing calls no folder, on
    // several threads when the change allows it and they are many, and marks those that turn
    // out to be folders, to be entered in turn.
    void changeNonFolders() {
        Level& level = levels_.back();
        std::vector<std::size_t> batch;
        for (std::size_t i = 0; i < level.listing.size(); ++i) {
            if (level.listing.entry(i).type != DT_DIR) {
                batch.push_back(i);
            }
        }
        std::vector<int> results(batch.size());
        runShared(
            batch.size(), change_.sharesEntries() ? helpersFor(batch.size()) : 0,
            [&](std::size_t k) { results[k] = nonFolder(level.listing.entry(batch[k]).name); });
        for (std::size_t k = 0; k < batch.size(); ++k) {
            if (results[k] == kIsFolder) {
                level.listing.setType(batch[k], DT_DIR);
            } else {
                first_.keep(results[k], levels_, level.listing.entry(batch[k]).name);
            }
        }
    }

    // Enters a folder of the listing, or changes it as no folder when it is one no more.
    void visit(const ListedEntry& entry) {
        int error = enter(entry.name);
        if (isNoFolder(error)) {
            // Swapped for something else since it was listed or examined.
            error = nonFolder(entry.name);
            error = error == kIsFolder ? ESTALE : error;
        }
        first_.keep(error, levels_, entry.name);
    }

    int nonFolder(const char* name) {
        return change_.nonFolder(current_.get(), levels_.back().facts, name);
    }

    // Opens the entry `name` as a folder and, unless it lies on another mount, reads it and
    // goes down into it. Returns 0 or why not.
    int enter(const char* name) {
        kit::ScopedFd below(
            ::openat(current_.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!below.valid()) {
            return errno;
        }
        Level next;
        next.name = name;
        int error = factsOfHeld(below.get(), &next.facts);
        if (error != 0) {
            return error;
        }
        // Judged on the folder as opened: that is the one the change goes into.
        if (onOtherMount(next.facts, levels_.back().facts)) {
            return kOtherMount;
        }
        error = next.listing.read(below.get(), scratch_.get(), kListingChunk, types_);
        if (error != 0) {
            return error;
        }
        levels_.push_back(std::move(next));
        current_ = std::move(below);
        changeNonFolders();
        return 0;
    }

    // The deepest folder is done: changes it and goes back up to the folder that holds it.
    void climb(int folder) {
        Level done = std::move(levels_.back());
        levels_.pop_back();
        if (levels_.empty()) {
            first_.keep(change_.folderDone(folder, done.name.c_str(), current_.get()), levels_,
                        done.name);
            return;
        }
        int error = 0;
        kit::ScopedFd up = openParentFolder(current_.get(), levels_.back().facts.id, &error);
        if (!up.valid()) {
            first_.keep(error, levels_, done.name);
            levels_.clear();
            return;
        }
        first_.keep(change_.folderDone(up.get(), done.name.c_str(), current_.get()), levels_,
                    done.name);
        current_ = std::move(up);
    }

    EntryChange& change_;
    const ListedTypes types_;
    FirstFailure first_;
    std::vector<Level> levels_;  // from the top down to current_
    kit::ScopedFd current_;      // the deepest folder entered
    std::unique_ptr<char[]> scratch_ = std::make_unique_for_overwrite<char[]>(kListingChunk);
};

// rm -rf: every entry unlinked by name, which the kernel does to the name's own object,
// refusing a folder (EISDIR) and a mount point (EBUSY) on its own.
class Removal : public EntryChange {
public:
    int topNonFolder(int folder, const char* name, int) override {
        int error = nonFolder(folder, Facts{}, name);
        // The name holds a folder now, which nobody judged.
        return error == kIsFolder ? EISDIR : error;
    }

    int nonFolder(int folder, const Facts&, const char* name) override {
        if (::unlinkat(folder, name, 0) == 0 || errno == ENOENT) {
            return 0;
        }
        // On Linux only a mount point (a file bound over a name of the tree) is busy here.
        return errno == EISDIR ? kIsFolder : errno == EBUSY ? kOtherMount : errno;
    }

    int folderDone(int folder, const char* name, int) override {
        if (::unlinkat(folder, name, AT_REMOVEDIR) == 0 || errno == ENOENT) {
            return 0;
        }
        return errno == EBUSY ? kOtherMount : errno;
    }
};

// chown of the object held open as `object`, unless mustLeaveLinked says to leave it alone.
int changeHeld(int object, uid_t uid, gid_t gid, bool leaveLinked) {
    Facts facts;
    int error = factsOfHeld(object, &facts);
    if (error != 0) {
        return error;
    }
    if (mustLeaveLinked(facts.mode, facts.links, facts.owner, leaveLinked)) {
        return kLinkedFile;
    }
    return ::fchownat(object, "", uid, gid, AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// What makeFolders does; 0 or the errno of the failure.
int makeEach(int folder, const std::vector<std::string>& names) {
    kit::ScopedFd held;
    int current = folder;
    for (const std::string& name : names) {
        bool made = ::mkdirat(current, name.c_str(), 0777) == 0;
        if (!made && errno != EEXIST) {
            return errno;
        }
        kit::ScopedFd next(
            ::openat(current, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            return made ? errno : EEXIST;
        }
        held = std::move(next);
        current = held.get();
    }
    return 0;
}

// chown -R: folders changed through their held descriptors; a non-folder by name where only
// root can change what the name stands for, otherwise held from its checks to its change, so
// that a name swapped in between (for a link to root's file, say) is never what changes.
class OwnerChange : public EntryChange {
public:
    OwnerChange(uid_t uid, gid_t gid, bool leaveLinked)
        : uid_(uid), gid_(gid), leaveLinked_(leaveLinked) {}

    int topNonFolder(int, const char*, int object) override {
        return changeHeld(object, uid_, gid_, leaveLinked_);
    }

    int nonFolder(int folder, const Facts& folderFacts, const char* name) override {
        Facts facts;
        if (namesHeldByRoot(folderFacts)) {
            int error = factsOf(folder, name, 0, &facts);
            error = error != 0 ? error : judge(facts, folderFacts);
            if (error != 0) {
                return error;
            }
            return ::fchownat(folder, name, uid_, gid_, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
        }
        kit::ScopedFd object(::openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        int error = !object.valid() ? errno : factsOfHeld(object.get(), &facts);
        error = error != 0 ? error : judge(facts, folderFacts);
        if (error != 0) {
            return error;
        }
        return ::fchownat(object.get(), "", uid_, gid_, AT_EMPTY_PATH) == 0 ? 0 : errno;
    }

    int folderDone(int, const char*, int self) override {
        return ::fchownat(self, "", uid_, gid_, AT_EMPTY_PATH) == 0 ? 0 : errno;
    }

    // Each entry's change is its own, through the folder's descriptor, which only the caller
    // closes; two threads removing from one folder would only queue for its lock.
    bool sharesEntries() const override { return true; }

private:
    int judge(const Facts& facts, const Facts& folderFacts) const {
        if (S_ISDIR(facts.mode)) {
            return kIsFolder;
        }
        if (onOtherMount(facts, folderFacts)) {
            return kOtherMount;
        }
        return mustLeaveLinked(facts.mode, facts.links, facts.owner, leaveLinked_) ? kLinkedFile
                                                                                   : 0;
    }

    const uid_t uid_;
    const gid_t gid_;
    const bool leaveLinked_;
};

}  // namespace

namespace {

// The outcome of a change that ended with `error` at the entry `below`.
Outcome<void> reported(int error, const ShownChange& shown, const std::string& below) {
    if (error != 0) {
        return Failure{changeFailedAt(shown, below, error)};
    }
    return {};
}

}  // namespace

Outcome<void> removeTree(int folder, const std::string& name, int object, const ShownChange& shown,
                         ListedTypes types) {
    Removal removal;
    std::string below;
    return reported(TreeWalk(removal, types, &below).run(folder, name, object), shown, below);
}

Outcome<void> changeTreeOwner(int folder, const std::string& name, int object, uid_t uid, gid_t gid,
                              bool leaveLinked, const ShownChange& shown, ListedTypes types) {
    OwnerChange change(uid, gid, leaveLinked);
    std::string below;
    return reported(TreeWalk(change, types, &below).run(folder, name, object), shown, below);
}

Outcome<void> changeHeldOwner(int object, uid_t uid, gid_t gid, bool leaveLinked,
                              const ShownChange& shown) {
    return reported(changeHeld(object, uid, gid, leaveLinked), shown, "");
}

Outcome<void> makeFolders(int folder, const std::vector<std::string>& names,
                          const ShownChange& shown) {
    return reported(makeEach(folder, names), shown, "");
}

}  // namespace velk::system_commands::detail
