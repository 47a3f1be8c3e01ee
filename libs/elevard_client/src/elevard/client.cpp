#include "elevard/client.h"

#include <climits>
#include <utility>
#include <vector>

#include "elevard/exchange.h"
#include "elevard/protocol.h"

namespace elevard {
namespace {

using velk::kit::ScopedFd;

template <typename To, typename From>
Reply<To> failedAs(const Reply<From>& reply) {
    return Reply<To>::failure(reply.error(), reply.message());
}

Reply<std::string> line(std::vector<std::string> words) {
    std::string error;
    std::optional<std::string> joined = joinCommandLine(words, &error);
    if (!joined) {
        return Reply<std::string>::failure(ClientError::unsendable, error);
    }
    return *joined;
}

// Turns a reply into another with `decode`, which gives nullopt for a reply of the wrong shape.
template <typename To, typename From, typename Decode>
Reply<To> decoded(Reply<From> reply, Decode decode) {
    if (!reply) {
        return failedAs<To>(reply);
    }
    std::optional<To> value = decode(reply.value());
    if (!value) {
        return Reply<To>::failure(ClientError::malformedReply,
                                  "malformed reply: not of the command's shape");
    }
    return std::move(*value);
}

std::optional<bool> asBool(std::int64_t value) {
    return value == 0 || value == 1 ? std::optional<bool>(value == 1) : std::nullopt;
}

std::optional<int> asInt(std::int64_t value) {
    return value >= INT_MIN && value <= INT_MAX ? std::optional<int>(static_cast<int>(value))
                                                : std::nullopt;
}

// A code outside its enum is a reply of the wrong shape, not a value to hand on.
template <typename Code>
std::optional<Code> asCode(std::int64_t value) {
    return codeFromReply<Code>(value);
}

std::optional<std::int64_t> asIs(std::int64_t value) {
    return value;
}

// The commands without a reply: any byte the service sends is out of shape.
std::optional<Delivered> nothingSent(const std::string& stream) {
    return stream.empty() ? std::optional<Delivered>(Delivered{}) : std::nullopt;
}

// The exchange that receives replies of `kind`.
template <ReplyKind kind>
constexpr auto requestFor() {
    if constexpr (kind == ReplyKind::integer) {
        return &Client::requestInteger;
    } else if constexpr (kind == ReplyKind::descriptor) {
        return &Client::requestDescriptor;
    } else if constexpr (kind == ReplyKind::none) {
        return &Client::requestAll;
    } else {
        return &Client::requestBuffer;
    }
}

// One typed call of command `id`: joins its name and `arguments` (refusing what the line
// cannot carry), runs the exchange of the reply's shape in the command table and decodes the
// result with `decode`, which must take what that exchange brings.
template <typename T, CommandId id, typename Decode>
Reply<T> call(const Client& client, Decode decode, std::vector<std::string> arguments) {
    constexpr const CommandInfo& command = commandInfo(id);
    static_assert(!command.direct || command.reply == ReplyKind::none);
    arguments.insert(arguments.begin(), command.name);
    Reply<std::string> joined = line(std::move(arguments));
    if (!joined) {
        return failedAs<T>(joined);
    }
    return decoded<T>((client.*requestFor<command.reply>())(joined.value()), decode);
}

// Connects to `path`, sends `line` and receives the reply with `receive`, all within
// `timeout`.
template <typename T>
Reply<T> exchange(const std::string& path, std::chrono::milliseconds timeout,
                  const std::string& line, Reply<T> (*receive)(int, detail::Deadline)) {
    detail::Deadline deadline = std::chrono::steady_clock::now() + timeout;
    Reply<ScopedFd> socket = detail::connectAndSend(path, line, deadline);
    return socket ? receive(socket.value().get(), deadline) : failedAs<T>(socket);
}

std::string number(int value) {
    return std::to_string(value);
}

}  // namespace

Client::Client(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {}

Reply<std::int64_t> Client::requestInteger(const std::string& line) const {
    return exchange(socketPath_, timeout_, line, detail::receiveInteger);
}

Reply<std::string> Client::requestBuffer(const std::string& line) const {
    return exchange(socketPath_, timeout_, line, detail::receiveBuffer);
}

Reply<FileDescriptor> Client::requestDescriptor(const std::string& line) const {
    Reply<ScopedFd> received = exchange(socketPath_, timeout_, line, detail::receiveDescriptor);
    if (!received) {
        return failedAs<FileDescriptor>(received);
    }
    return FileDescriptor(received.value().release());
}

Reply<std::string> Client::requestAll(const std::string& line) const {
    return exchange(socketPath_, timeout_, line, detail::receiveAll);
}

Reply<bool> Client::makeDirectory(const std::string& path) const {
    return call<bool, CommandId::makeDirectory>(*this, asBool, {path});
}

Reply<bool> Client::removePath(const std::string& path) const {
    return call<bool, CommandId::removePath>(*this, asBool, {path});
}

Reply<bool> Client::changeOwner(const std::string& path, int uid, int gid, bool recursive) const {
    std::vector<std::string> words = {path, number(uid), number(gid)};
    if (recursive) {
        words.push_back("recursive");
    }
    return call<bool, CommandId::changeOwner>(*this, asBool, words);
}

Reply<MountCode> Client::mount(const std::string& url, const std::string& path,
                               const std::optional<std::string>& user,
                               const std::optional<std::string>& password) const {
    std::vector<std::string> words = {url, path};
    // The service reads optional words in order: a password needs a user word before it.
    if (user || password) {
        words.push_back(user.value_or(""));
    }
    if (password) {
        words.push_back(*password);
    }
    return call<MountCode, CommandId::mount>(*this, asCode<MountCode>, words);
}

Reply<bool> Client::rename(const std::string& source, const std::string& target) const {
    return call<bool, CommandId::rename>(*this, asBool, {source, target});
}

Reply<FileDescriptor> Client::open(const std::string& path, int flags) const {
    auto asIsFd = [](FileDescriptor& fd) { return std::optional<FileDescriptor>(std::move(fd)); };
    return call<FileDescriptor, CommandId::open>(*this, asIsFd, {path, number(flags)});
}

Reply<std::int64_t> Client::freeSpace(const std::string& path) const {
    return call<std::int64_t, CommandId::freeSpace>(*this, asIs, {path});
}

Reply<std::int64_t> Client::totalSpace(const std::string& path) const {
    return call<std::int64_t, CommandId::totalSpace>(*this, asIs, {path});
}

Reply<bool> Client::exists(const std::string& path) const {
    return call<bool, CommandId::exists>(*this, asBool, {path});
}

Reply<FileStatus> Client::stat(const std::string& path) const {
    return call<FileStatus, CommandId::stat>(*this, decodeStatus, {path});
}

Reply<std::vector<ListEntry>> Client::list(const std::string& path) const {
    return call<std::vector<ListEntry>, CommandId::list>(*this, decodeList, {path});
}

Reply<std::string> Client::devicePath(const std::string& path) const {
    auto text = [](const std::string& payload) { return std::optional<std::string>(payload); };
    return call<std::string, CommandId::devicePath>(*this, text, {path});
}

Reply<std::int64_t> Client::size(const std::string& path) const {
    return call<std::int64_t, CommandId::size>(*this, asIs, {path});
}

Reply<int> Client::setFdLimit(int pid, int value) const {
    return call<int, CommandId::setFdLimit>(*this, asInt, {number(pid), number(value)});
}

Reply<std::optional<MemoryModules>> Client::dmiInfo() const {
    // An empty reply is the service's failure to read the inventory, not a malformed one.
    auto modules = [](const std::string& payload) {
        using Value = std::optional<MemoryModules>;
        if (payload.empty()) {
            return std::optional<Value>(Value());
        }
        std::optional<MemoryModules> decoded = decodeMemoryModules(payload);
        return decoded ? std::optional<Value>(decoded) : std::nullopt;
    };
    return call<std::optional<MemoryModules>, CommandId::dmiInfo>(*this, modules, {});
}

Reply<UnmountCode> Client::unmount(const std::string& path) const {
    return call<UnmountCode, CommandId::unmount>(*this, asCode<UnmountCode>, {path});
}

Reply<Delivered> Client::install(const std::string& debPath, bool forceConflicts) const {
    std::vector<std::string> words = {debPath};
    if (forceConflicts) {
        words.push_back("force-conflicts");
    }
    return call<Delivered, CommandId::install>(*this, nothingSent, words);
}

Reply<Delivered> Client::help() const {
    return call<Delivered, CommandId::help>(*this, nothingSent, {});
}

}  // namespace elevard
