#pragma once

// The service's commands and the codes of its replies, read both by the service, which
// registers its command table from kCommands, and by the client library, which builds its calls
// and judges replies from the same rows. A command or a result code is added here, once; a row
// without a handler on either side fails the build. Constants only: thread-safe.

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace elevard {

// The socket on which the service listens, and the group whose members may use it.
inline constexpr const char* kSocketPath = "/tmp/quorvath_syscmd_socket3f64fa";
inline constexpr const char* kGroupName = "quorvath";

// What the mount command did; sent as one integer message.
enum class MountCode : int {
    success = 0,           // one attempt mounted the share
    permissionDenied = 1,  // the server refused the login; no further attempt was made
    otherError = 2,        // the mount point or the source was refused, or every attempt failed
};

// What the unmount command did; sent as one integer message.
enum class UnmountCode : int {
    success = 0,
    busy = 1,        // EBUSY or ENOMEM
    notExists = 2,   // ENOENT
    otherError = 3,  // refused by the guard, or any other error
    notMounted = 4,  // EINVAL: nothing is mounted there, the last component a link included
};

// The type field of the 16-byte status record.
enum class FileType : std::int32_t { regularFile = 0, directory = 1, other = 2 };

// The name of a code as written in its enum, or nullptr for a value outside the enum.
constexpr const char* codeName(MountCode code) {
    switch (code) {
        case MountCode::success:
            return "success";
        case MountCode::permissionDenied:
            return "permissionDenied";
        case MountCode::otherError:
            return "otherError";
    }
    return nullptr;
}

constexpr const char* codeName(UnmountCode code) {
    switch (code) {
        case UnmountCode::success:
            return "success";
        case UnmountCode::busy:
            return "busy";
        case UnmountCode::notExists:
            return "notExists";
        case UnmountCode::otherError:
            return "otherError";
        case UnmountCode::notMounted:
            return "notMounted";
    }
    return nullptr;
}

// The code a reply carries, or nullopt for a value that is none of Code's.
template <typename Code>
constexpr std::optional<Code> codeFromReply(std::int64_t value) {
    if (value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    Code code = static_cast<Code>(static_cast<int>(value));
    return codeName(code) != nullptr ? std::optional<Code>(code) : std::nullopt;
}

// The values of the structured replies.
struct FileStatus {
    bool exists = false;
    FileType type = FileType::other;
    std::int64_t size = -1;  // st_size, for a directory too
};

struct ListEntry {
    std::string path;       // the listed directory, "/", the entry's name
    std::int64_t size = 0;  // 0 for a directory
    bool isDirectory = false;
};

// The distinct part numbers and serial numbers of the memory modules, each set sorted and
// joined without a separator, as the service sends them.
struct MemoryModules {
    std::string partNumbers;
    std::string serialNumbers;
};

// The shape of a command's reply.
enum class ReplyKind {
    integer,     // one integer message
    stat,        // a 16-byte status record in a buffer message
    list,        // "path,size,isdir," records in a buffer message
    text,        // plain text in a buffer message (devicePath)
    dmiInfo,     // two length-prefixed texts in a buffer message
    descriptor,  // one descriptor message (open)
    none,        // no reply: the connection closing ends the exchange
};

// What tells success from failure in a reply.
enum class SuccessRule {
    isOne,           // the integer is 1
    isZero,          // the integer is 0
    positive,        // the integer is above 0
    nonNegative,     // the integer is 0 or more
    equalsAskedFor,  // the integer equals the second argument, which is 0 or more
    always,          // any reply of the right shape
    notEmpty,        // a buffer that is not empty; a descriptor above 0
};

// The set of result codes an integer reply carries.
enum class CodeSet {
    none,     // no code: a count, a size, a yes or no
    mount,    // a MountCode
    unmount,  // an UnmountCode
};

// Each command, in the order of the service's table.
enum class CommandId {
    makeDirectory,
    removePath,
    changeOwner,
    mount,
    rename,
    open,
    freeSpace,
    totalSpace,
    exists,
    stat,
    list,
    devicePath,
    size,
    setFdLimit,
    dmiInfo,
    unmount,
    install,
    help,
};

inline constexpr std::size_t kMaxArguments = 4;

struct CommandInfo {
    CommandId id;
    const char* name;
    const char* alias;  // a second name for the same command, or nullptr
    // The argument names in the order the line carries them, as the service's help shows
    // them ("opt_" marks an optional one); nullptr after the last.
    std::array<const char*, kMaxArguments> arguments;
    int requiredArguments;
    unsigned numericArguments;  // bit i set: argument i is read as a leading decimal number
    ReplyKind reply;
    SuccessRule success;
    bool direct;      // meant for the service's own command line; sends no reply
    CodeSet codes;    // what the integer reply's value means
    unsigned secret;  // bit i set: argument i is never shown (a password)
};

namespace table_detail {

using C = CommandId;
using K = ReplyKind;
using S = SuccessRule;
using R = CodeSet;

// clang-format off
inline constexpr std::array<CommandInfo, 18> kRows = {{
    // id            name          alias      arguments                                   required numeric reply          success            direct  codes       secret
    {C::makeDirectory, "mkdir",      nullptr,   {"path"},                                   1, 0,      K::integer,    S::isOne,          false, R::none,     0},
    {C::removePath,    "rm",         nullptr,   {"path"},                                   1, 0,      K::integer,    S::isOne,          false, R::none,     0},
    {C::changeOwner,   "chown",      nullptr,   {"path", "uid", "gid", "opt_recursive"},    3, 0b0110, K::integer,    S::isOne,          false, R::none,     0},
    {C::mount,         "mount",      nullptr,   {"url", "path", "opt_user", "opt_password"}, 2, 0,     K::integer,    S::isZero,         false, R::mount,    0b1000},
    {C::rename,        "mv",         nullptr,   {"source_path", "target_path"},             2, 0,      K::integer,    S::isOne,          false, R::none,     0},
    {C::open,          "open",       nullptr,   {"file_path", "mode"},                      2, 0b10,   K::descriptor, S::notEmpty,       false, R::none,     0},
    {C::freeSpace,     "freeSpace",  nullptr,   {"path"},                                   1, 0,      K::integer,    S::positive,       false, R::none,     0},
    {C::totalSpace,    "totalSpace", nullptr,   {"path"},                                   1, 0,      K::integer,    S::positive,       false, R::none,     0},
    {C::exists,        "exists",     nullptr,   {"path"},                                   1, 0,      K::integer,    S::isOne,          false, R::none,     0},
    {C::stat,          "stat",       nullptr,   {"path"},                                   1, 0,      K::stat,       S::always,         false, R::none,     0},
    {C::list,          "list",       nullptr,   {"path"},                                   1, 0,      K::list,       S::always,         false, R::none,     0},
    {C::devicePath,    "devicePath", nullptr,   {"path"},                                   1, 0,      K::text,       S::notEmpty,       false, R::none,     0},
    {C::size,          "size",       nullptr,   {"path"},                                   1, 0,      K::integer,    S::nonNegative,    false, R::none,     0},
    {C::setFdLimit,    "setFdLimit", nullptr,   {"pid", "value"},                           2, 0b11,   K::integer,    S::equalsAskedFor, false, R::none,     0},
    {C::dmiInfo,       "dmiInfo",    nullptr,   {},                                         0, 0,      K::dmiInfo,    S::notEmpty,       false, R::none,     0},
    {C::unmount,       "umount",     "unmount", {"path"},                                   1, 0,      K::integer,    S::isZero,         false, R::unmount,  0},
    // The one word that changes what install does is force-conflicts, so it is its name.
    {C::install,       "install",    nullptr,   {"deb_path", "opt_force-conflicts"},        1, 0,      K::none,       S::always,         true, R::none,     0},
    {C::help,          "help",       nullptr,   {},                                         0, 0,      K::none,       S::always,         true, R::none,     0},
}};
// clang-format on

}  // namespace table_detail

// Every command, in the order of CommandId.
inline constexpr const std::array<CommandInfo, 18>& kCommands = table_detail::kRows;

// The row of `id`.
constexpr const CommandInfo& commandInfo(CommandId id) {
    return kCommands[static_cast<std::size_t>(id)];
}

// Whether an integer reply `value` says success under `rule`; `askedFor` is the number the
// second argument asked for (equalsAskedFor only).
constexpr bool integerSucceeded(SuccessRule rule, std::int64_t value, std::int64_t askedFor = 0) {
    switch (rule) {
        case SuccessRule::isOne:
            return value == 1;
        case SuccessRule::isZero:
            return value == 0;
        case SuccessRule::positive:
        case SuccessRule::notEmpty:
            return value > 0;
        case SuccessRule::nonNegative:
            return value >= 0;
        case SuccessRule::equalsAskedFor:
            return value >= 0 && value == askedFor;
        case SuccessRule::always:
            return true;
    }
    return false;
}

namespace table_detail {

constexpr int argumentCount(const CommandInfo& row) {
    int count = 0;
    while (count < static_cast<int>(kMaxArguments) && row.arguments[count] != nullptr) {
        ++count;
    }
    return count;
}

constexpr bool sameName(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Whether `name` is a name or alias of a row before row `end`.
constexpr bool nameTaken(const char* name, std::size_t end) {
    for (std::size_t i = 0; i < end; ++i) {
        if (sameName(name, kRows[i].name) || sameName(name, kRows[i].alias)) {
            return true;
        }
    }
    return false;
}

// Each row sits at its id's place, has names no earlier row has, takes at least its required
// arguments, marks only required arguments as numbers and only arguments it has as secrets, replies
// only when it is no direct command, and has result codes only in an integer reply.
constexpr bool rowsAreSound() {
    for (std::size_t i = 0; i < kCommands.size(); ++i) {
        const CommandInfo& row = kCommands[i];
        int count = argumentCount(row);
        if (static_cast<std::size_t>(row.id) != i || nameTaken(row.name, i) ||
            nameTaken(row.alias, i) || sameName(row.name, row.alias) ||
            row.requiredArguments > count || (row.numericArguments >> row.requiredArguments) != 0 ||
            (row.secret >> count) != 0 || (row.secret & row.numericArguments) != 0 ||
            (row.codes != CodeSet::none && row.reply != ReplyKind::integer) ||
            row.direct != (row.reply == ReplyKind::none)) {
            return false;
        }
    }
    return true;
}

static_assert(rowsAreSound(), "a row of kCommands is out of place or contradicts itself");
static_assert(kCommands.back().id == CommandId::help, "every CommandId needs its row");

}  // namespace table_detail

}  // namespace elevard
