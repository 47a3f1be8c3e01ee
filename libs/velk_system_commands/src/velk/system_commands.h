#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "elevard/command_table.h"
#include "velk/system_commands/outcome.h"

namespace velk {

// Kind of object found at a path: other for devices, sockets, pipes, and any path that could
// not be examined. The codes below are the ones clients decode, so they share one definition.
using FileType = elevard::FileType;

// What `SystemCommands::stat` found at a path.
struct StatResult {
    bool pathExists = false;  // true when the path could be examined
    FileType type = FileType::other;
    std::int64_t size = -1;  // st_size whatever the type; -1 when the path is missing

    // The 16-byte record sent to clients, in host byte order: pathExists as 1 or 0, three zero
    // bytes, type as a 32-bit integer, size as a signed 64-bit integer.
    std::string serialized() const;
};

// What `SystemCommands::mount` and `SystemCommands::unmount` did; sent to clients as a 64-bit
// integer.
using MountCode = elevard::MountCode;
using UnmountCode = elevard::UnmountCode;

// Every privileged operation of the service. One instance per process, built by main and
// shared by all worker threads; every member may be called from any thread at once. The
// last-error text is the only changing state; it is guarded by a mutex.
class SystemCommands {
public:
    // The socket on which the service listens and to which clients connect.
    static const char* const kDomainSocket;

    // Reads fs.protected_hardlinks from the kernel at each chown.
    SystemCommands();
    // Asks `hardLinksProtected` instead whether fs.protected_hardlinks is on, at each chown and
    // from any worker thread at once.
    explicit SystemCommands(std::function<bool()> hardLinksProtected);
    SystemCommands(const SystemCommands&) = delete;
    SystemCommands& operator=(const SystemCommands&) = delete;

    // A copy of the text of the most recent failure that any member recorded; empty until the
    // first one. Never cleared by a later success. Thread-safe. Read by the tests only: inside
    // the library every failure travels as an Outcome, and the service judges the replies; this
    // keeps the text of a member whose reply cannot carry it.
    std::string lastError() const;

    // Shell execution ------------------------------------------------------------------------

    // Runs `command` through /bin/sh with its standard error joined to its standard output.
    // Each piece of output (a line with its newline, or at most 1023 bytes of a longer line) is
    // passed to `callback` if it is set; the pointer is valid only during that call. Returns
    // true when the shell started and ended with status 0. Otherwise records
    // "popen for % has failed" or "Command % failed with return code %. Output: %" (the raw wait
    // status and the whole output) as the last-error text and, when `failure` is given, stores
    // the same text there too, so that a caller judges its own run even while other threads
    // record theirs. Blocks until the command's output ends; `callback` runs on this thread.
    bool execute(const std::string& command, std::function<void(const char*)> callback = {},
                 std::string* failure = nullptr);

    // Mount and unmount -----------------------------------------------------------------------

    // The guard of mount and unmount. Refuses a path that is empty, is not absolute or holds a
    // NUL byte, and one whose lexical form or link-resolved form does not begin with "/tmp/"
    // or lacks "_temp_folder_"; a path whose links cannot be resolved is refused too. A
    // refusal records "Mount to <path> is forbidden" with the path as given and returns false.
    // The folder need not exist.
    bool checkMountPermissions(const std::string& path);

    // Mounts the CIFS share `source` on the folder `mountPoint` leads to when the guard judges
    // it, whatever later happens to its name. Refused before any attempt, with otherError and
    // the reason as the last-error text: the guard's refusal; a source that begins with "-" or
    // holds a control character ("Mount from <source> is forbidden"); a user name or domain
    // holding a comma or a control character, a user name holding "%", a password holding a
    // NUL byte or a newline; a mount point that is no folder. `user` may be "name\domain".
    // Tries ten option sets in turn (with the domain, WORKGROUP when none is given, and the
    // protocol versions 3.1, 2.1, 3.0, 2.0, 1.0; then the same versions without a domain),
    // each by running the mount helper (on PATH; no shell, the password in its environment,
    // at most 60 s) on a staging folder of the service's own, and stops at the first that
    // mounts, or at the first whose output holds "error(13)", the helper's refused login. The
    // new mount is then moved onto the judged folder; when that fails it is detached and the
    // result is otherError. Writes a diagnostic line per attempt and per refusal. Wherever the
    // command line is shown (those lines, the last-error text) it reads, each value the caller
    // gave single-quoted, "mount -t cifs 'SOURCE' 'POINT' -o  username='NAME',password='****',...".
    // On otherError after the attempts the last-error text holds the tenth one's failure.
    MountCode mount(const std::string& source, const std::string& mountPoint,
                    const std::optional<std::string>& user,
                    const std::optional<std::string>& password);

    // Unmounts the file system mounted on `path` (the guard first) without following a link
    // in its last component. The folder is looked up for the guard, then again, its last link
    // kept, and judged once more; it is unmounted through the descriptor of the folder that
    // holds it. A failing unmount records no last-error text.
    UnmountCode unmount(const std::string& path);

    // Memory module inventory -----------------------------------------------------------------

    // Runs "/usr/sbin/dmidecode -t17" (no shell, at most 30 s) and returns two records, part
    // numbers first: each a signed 64-bit length in host byte order, then the distinct values
    // sorted by their bytes and joined without separators. Empty when the program could not run or
    // failed; the last-error text then says why.
    std::string serializedDmiInfo();

    // Ownership and path changes ------------------------------------------------------------

    // The guard of the four changing operations below. Refuses a path that is empty, is not
    // absolute, holds a NUL byte, whose lexical form or link-resolved form is "/" or lies under
    // /bin, /boot, /cdrom, /dev, /etc, /lib, /lib64, /proc, /root, /run, /sbin, /snap, /srv,
    // /sys, /usr or /var (each as a plain prefix, so /usr2 too) unless that form is
    // /etc/velk_ini or lies under /etc/velk_ini/, or whose links cannot be resolved (a step
    // that fails for another reason than a missing name, more than 40 links, a link inside
    // /proc). A refusal records "<path> is forbidden for chown" with the path as given and
    // returns false.
    bool checkOwnerPermissions(const std::string& path);

    // The operations below judge the path the same way, and also the place of what they change
    // when that is a link kept as itself; all but makeDirectory also refuse a top-level folder
    // ("/tmp", "/home": a single component) as written or where the path leads. Then they
    // change what they judged, through descriptors held from the judgement, without starting a
    // process, and never cross into another mount. A refusal records the text above; another
    // failure records "<operation>: <reason>", the operation written as its command line would
    // read (such as "rm -rf /tmp/x") and the reason as the system words it, or, for an entry
    // left alone on purpose, "<operation>: <entry> left alone: it is the root of another mount"
    // or "... it has more than one link", the entry named below the path as given.

    // chown uid:gid on `path`, a link there followed; with `recursive`, chown -R: the link
    // itself, else the folder and everything below it, links inside changed as links, folders
    // that are the root of another mount left alone. While fs.protected_hardlinks is off, a
    // non-folder with more than one link is left alone. A uid or gid below 0 is refused with
    // "Invalid argument" before anything else. Returns true when every change was made.
    bool changeOwner(const std::string& path, int uid, int gid, bool recursive);

    // mkdir -p on `path`: an existing folder, or a link to one, is success.
    bool makeDirectory(const std::string& path);

    // rm -rf --one-file-system on `path`: a missing path is success; a link is removed, not
    // what it names; a path ending in "." or ".." fails with "Invalid argument"; a mount point
    // is left alone, and so is every folder below that is the root of another mount, while the
    // rest is removed.
    bool removePath(const std::string& path);

    // rename(2) of `source` to `target`, both guarded (the source first); a link at either
    // is renamed or replaced itself; a mount point at either is left alone. Failures are
    // recorded as "rename <source> <target>: ...".
    bool rename(const std::string& source, const std::string& target);

    // Opens `path` with `flags` (close-on-exec added) and, when created, permission bits 0660
    // less the umask. No guard. Returns the descriptor, owned by the caller, or a negative
    // value after printing the reason with perror("open").
    int open(const std::string& path, int flags);

    // Storage and file queries ---------------------------------------------------------------

    // Bytes available to unprivileged users on the file system holding `path`; -1 after
    // perror on failure.
    std::int64_t freeSpace(const std::string& path);

    // Total bytes of the file system holding `path`; -1 after perror on failure.
    std::int64_t totalSpace(const std::string& path);

    // Status of `path`, links followed. A path that cannot be examined gives
    // {false, other, -1}.
    StatResult stat(const std::string& path);

    // `stat(path).pathExists`.
    bool isPathExists(const std::string& path);

    // `stat(path).size`: st_size, also for a directory; -1 when the path cannot be examined.
    std::int64_t fileSize(const std::string& path);

    // "/dev/" and the name /proc/partitions gives the device holding `path`; empty when the
    // path is missing or its device is not listed there (memory and network file systems).
    std::string devicePath(const std::string& path);

    // The entries of directory `path` (without "." and ".."), links followed and dangling ones
    // skipped, each as "fullPath,size,isDirectory," with size 0 for directories; empty when the
    // directory is empty or cannot be opened.
    std::string serializedFileList(const std::string& path);

    // Packages -------------------------------------------------------------------------------

    // Runs "dpkg -i PATH" ("dpkg -i --auto-deconfigure --force-conflicts PATH" when `force` is
    // "force-conflicts"; any other word is ignored) without a shell, with the service's own
    // environment and at most 30 minutes; dpkg's output goes to the service's own standard
    // output and standard error. With `takeTerminal`, dpkg takes the terminal's foreground while
    // it runs (for a run on behalf of the one at the terminal). A path that is not absolute or
    // holds a NUL byte or a control character is refused before anything runs, with
    // "Installing <path> is forbidden" as the last-error text. Returns true when dpkg ended with
    // status 0; otherwise the last-error text says why.
    bool install(const std::string& packagePath, const std::optional<std::string>& force,
                 bool takeTerminal);

    // Process limits -------------------------------------------------------------------------

    // Sets the soft and hard open-file limit of process `pid` to `value`. Returns `value` on
    // success; on failure the service's own soft limit, read before the attempt; -1 when even
    // that could not be read. A pid of 0 or below, the service's own pid and the id of one of
    // its threads are refused like a failure and never passed on (the kernel takes 0 as the
    // caller, and a thread's id as its whole process). Writes one diagnostic line.
    int setFdLimit(int pid, int value);

    // What setFdLimitFor did: the number to send back, and whether the limit was set.
    struct FdLimitOutcome {
        int reply;  // `value` when set, else as setFdLimit answers a failure
        bool set;
    };

    // setFdLimit on behalf of the user `caller` (none: the service's own administrator, as in
    // direct mode): a caller other than root may change only a process whose real uid is its
    // own, judged from /proc while that process is held; any other target is refused like a
    // failed prlimit, with a diagnostic line naming both uids. Thread-safe.
    FdLimitOutcome setFdLimitFor(int pid, int value, std::optional<uid_t> caller);

private:
    void setLastError(std::string text);
    // Records `text` as the last-error text and returns false.
    bool fail(std::string text);
    // Whether `outcome` succeeded; a failure's text is recorded as the last-error text.
    template <typename T>
    bool recorded(const system_commands::Outcome<T>& outcome) {
        return outcome.ok() || fail(outcome.error());
    }

    const std::function<bool()> hardLinksProtected_;
    mutable std::mutex lastErrorMutex_;
    std::string lastError_;
};

}  // namespace velk
