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
Reply<To> decoded(const Reply<From>& reply, Decode decode) {
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

template <typename Code>
std::optional<Code> asCode(std::int64_t value) {
    std::optional<int> number = asInt(value);
    return number ? std::optional<Code>(static_cast<Code>(*number)) : std::nullopt;
}

std::optional<std::int64_t> asIs(std::int64_t value) {
    return value;
}

// The commands without a reply: any byte the service sends is out of shape.
std::optional<Delivered> nothingSent(const std::string& stream) {
    return stream.empty() ? std::optional<Delivered>(Delivered{}) : std::nullopt;
}

// One typed call: joins `words` (refusing what the line cannot carry), runs the exchange of
// the reply's shape and decodes the result.
template <typename T, typename From, typename Decode>
Reply<T> call(const Client& client, Reply<From> (Client::*request)(const std::string&) const,
              Decode decode, std::vector<std::string> words) {
    Reply<std::string> joined = line(std::move(words));
    if (!joined) {
        return failedAs<T>(joined);
    }
    return decoded<T>((client.*request)(joined.value()), decode);
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

Reply<ScopedFd> Client::requestDescriptor(const std::string& line) const {
    return exchange(socketPath_, timeout_, line, detail::receiveDescriptor);
}

Reply<std::string> Client::requestAll(const std::string& line) const {
    return exchange(socketPath_, timeout_, line, detail::receiveAll);
}

Reply<bool> Client::makeDirectory(const std::string& path) const {
    return call<bool>(*this, &Client::requestInteger, asBool, {"mkdir", path});
}

Reply<bool> Client::removePath(const std::string& path) const {
    return call<bool>(*this, &Client::requestInteger, asBool, {"rm", path});
}

Reply<bool> Client::changeOwner(const std::string& path, int uid, int gid, bool recursive) const {
    std::vector<std::string> words = {"chown", path, number(uid), number(gid)};
    if (recursive) {
        words.push_back("recursive");
    }
    return call<bool>(*this, &Client::requestInteger, asBool, words);
}

Reply<MountCode> Client::mount(const std::string& url, const std::string& path,
                               const std::optional<std::string>& user,
                               const std::optional<std::string>& password) const {
    std::vector<std::string> words = {"mount", url, path};
    // The service reads optional words in order: a password needs a user word before it.
    if (user || password) {
        words.push_back(user.value_or(""));
    }
    if (password) {
        words.push_back(*password);
    }
    return call<MountCode>(*this, &Client::requestInteger, asCode<MountCode>, words);
}

Reply<bool> Client::rename(const std::string& source, const std::string& target) const {
    return call<bool>(*this, &Client::requestInteger, asBool, {"mv", source, target});
}

Reply<ScopedFd> Client::open(const std::string& path, int flags) const {
    Reply<std::string> joined = line({"open", path, number(flags)});
    return joined ? requestDescriptor(joined.value()) : failedAs<ScopedFd>(joined);
}

Reply<std::int64_t> Client::freeSpace(const std::string& path) const {
    return call<std::int64_t>(*this, &Client::requestInteger, asIs, {"freeSpace", path});
}

Reply<std::int64_t> Client::totalSpace(const std::string& path) const {
    return call<std::int64_t>(*this, &Client::requestInteger, asIs, {"totalSpace", path});
}

Reply<bool> Client::exists(const std::string& path) const {
    return call<bool>(*this, &Client::requestInteger, asBool, {"exists", path});
}

Reply<FileStatus> Client::stat(const std::string& path) const {
    return call<FileStatus>(*this, &Client::requestBuffer, decodeStatus, {"stat", path});
}

Reply<std::vector<ListEntry>> Client::list(const std::string& path) const {
    return call<std::vector<ListEntry>>(*this, &Client::requestBuffer, decodeList, {"list", path});
}

Reply<std::string> Client::devicePath(const std::string& path) const {
    auto text = [](const std::string& payload) { return std::optional<std::string>(payload); };
    return call<std::string>(*this, &Client::requestBuffer, text, {"devicePath", path});
}

Reply<std::int64_t> Client::size(const std::string& path) const {
    return call<std::int64_t>(*this, &Client::requestInteger, asIs, {"size", path});
}

Reply<int> Client::setFdLimit(int pid, int value) const {
    return call<int>(*this, &Client::requestInteger, asInt,
                     {"setFdLimit", number(pid), number(value)});
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
    return call<std::optional<MemoryModules>>(*this, &Client::requestBuffer, modules, {"dmiInfo"});
}

Reply<UnmountCode> Client::unmount(const std::string& path) const {
    return call<UnmountCode>(*this, &Client::requestInteger, asCode<UnmountCode>,
                             {"unmount", path});
}

Reply<Delivered> Client::install(const std::string& debPath, bool forceConflicts) const {
    std::vector<std::string> words = {"install", debPath};
    if (forceConflicts) {
        words.push_back("force-conflicts");
    }
    return call<Delivered>(*this, &Client::requestAll, nothingSent, words);
}

Reply<Delivered> Client::help() const {
    return call<Delivered>(*this, &Client::requestAll, nothingSent, {"help"});
}

}  // namespace elevard
