#include "reply_outcome.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "elevard/wire/replies.h"
#include "json_output.h"

namespace elevard_client {
namespace {

using elevard::CommandInfo;
using elevard::ReplyKind;

std::string jsonBool(bool value) {
    return value ? "true" : "false";
}

// The --json members shared by every outcome without a reply.
std::string jsonError(const char* error, const std::string& message) {
    return jsonMember("error", jsonString(error)) + "," +
           jsonMember("message", jsonString(message));
}

Outcome malformed(const std::string& what, const std::string& bytes) {
    Outcome outcome;
    outcome.status = kNoReply;
    outcome.err = "elevard-client: malformed reply (" + what + "):\n" + hexDump(bytes);
    outcome.json = jsonError("malformedReply", what);
    return outcome;
}

// The name of `error` as the library spells it.
const char* errorName(elevard::ClientError error) {
    using elevard::ClientError;
    switch (error) {
        case ClientError::notConnected:
            return "notConnected";
        case ClientError::unsendable:
            return "unsendable";
        case ClientError::closedWithoutReply:
            return "closedWithoutReply";
        case ClientError::malformedReply:
            return "malformedReply";
        case ClientError::timedOut:
            return "timedOut";
        case ClientError::untrustedListener:
            return "untrustedListener";
    }
    return "unknown";
}

// A success flag that ends the --json members of a decoded reply.
std::string jsonSuccess(bool success) {
    return jsonMember("success", jsonBool(success));
}

// "name (value)" for a result code, or nullopt when `value` is no code of Code.
template <typename Code>
std::optional<std::string> namedCode(std::int64_t value) {
    std::optional<Code> code = elevard::codeFromReply<Code>(value);
    if (!code) {
        return std::nullopt;
    }
    return std::string(elevard::codeName(*code)) + " (" + std::to_string(value) + ")";
}

Outcome decodeStat(const std::string& payload) {
    std::optional<elevard::FileStatus> status = elevard::decodeStatus(payload);
    if (!status) {
        return malformed("a status record has 16 bytes", payload);
    }
    const char* const words[] = {"file", "directory", "other"};
    auto type = static_cast<int32_t>(status->type);
    std::string typeWord = type >= 0 && type <= 2 ? words[type] : std::to_string(type);
    Outcome outcome;
    outcome.status = kSuccess;
    outcome.out = "exists=" + std::to_string(static_cast<unsigned char>(payload[0])) +
                  " type=" + typeWord + " size=" + std::to_string(status->size) + "\n";
    outcome.json = jsonMember("exists", jsonBool(status->exists)) + "," +
                   jsonMember("type", jsonString(typeWord)) + "," +
                   jsonMember("size", std::to_string(status->size)) + "," + jsonSuccess(true);
    return outcome;
}

Outcome decodeList(const std::string& payload) {
    std::optional<std::vector<elevard::ListEntry>> entries = elevard::decodeList(payload);
    if (!entries) {
        return malformed("the listing does not end with a whole entry", payload);
    }
    Outcome outcome;
    outcome.status = kSuccess;
    std::string items;
    for (const elevard::ListEntry& entry : *entries) {
        outcome.out += entry.path + "\t" + std::to_string(entry.size) + "\t" +
                       (entry.isDirectory ? "1" : "0") + "\n";
        items += std::string(items.empty() ? "" : ",") + "{" +
                 jsonMember("path", jsonString(entry.path)) + "," +
                 jsonMember("size", std::to_string(entry.size)) + "," +
                 jsonMember("isDirectory", jsonBool(entry.isDirectory)) + "}";
    }
    outcome.json = jsonMember("entries", "[" + items + "]") + "," + jsonSuccess(true);
    return outcome;
}

Outcome decodeDmiInfo(const std::string& payload) {
    std::optional<elevard::MemoryModules> modules = elevard::decodeMemoryModules(payload);
    if (!modules) {
        return malformed("two length-prefixed records expected", payload);
    }
    Outcome outcome;
    outcome.status = kSuccess;
    outcome.out = modules->partNumbers + "\n" + modules->serialNumbers + "\n";
    outcome.json = jsonMember("partNumbers", jsonString(modules->partNumbers)) + "," +
                   jsonMember("serialNumbers", jsonString(modules->serialNumbers)) + "," +
                   jsonSuccess(true);
    return outcome;
}

}  // namespace

Outcome decodeInteger(const CommandInfo& command, const std::vector<std::string>& words,
                      std::int64_t value) {
    std::optional<std::string> named = std::to_string(value);
    if (command.codes == elevard::CodeSet::mount) {
        named = namedCode<elevard::MountCode>(value);
    } else if (command.codes == elevard::CodeSet::unmount) {
        named = namedCode<elevard::UnmountCode>(value);
    }
    if (!named) {
        return malformed("no result code of " + std::string(command.name), std::string());
    }
    Outcome outcome;
    bool success = elevard::integerReplySucceeded(command, words, value);
    outcome.status = success ? kSuccess : kFailure;
    outcome.out = *named + "\n";
    outcome.json = jsonMember("value", std::to_string(value)) + ",";
    if (*named != std::to_string(value)) {
        outcome.json += jsonMember("result", jsonString(named->substr(0, named->find(' ')))) + ",";
    }
    outcome.json += jsonSuccess(success);
    return outcome;
}

Outcome noReply(elevard::ClientError error, const std::string& message) {
    Outcome outcome;
    outcome.status = kNoReply;
    outcome.err = error == elevard::ClientError::closedWithoutReply
                      ? kNoReplyMessage
                      : "elevard-client: " + message + "\n";
    if (error == elevard::ClientError::notConnected &&
        message.find(std::strerror(EACCES)) != std::string::npos) {
        outcome.err +=
            "elevard-client: only root and members of the group quorvath may use the service; "
            "ask an administrator to add your account (usermod -aG quorvath USER) and log in "
            "again\n";
    }
    outcome.json = jsonError(errorName(error), message);
    return outcome;
}

Outcome decodeBuffer(const CommandInfo& command, const std::string& payload) {
    Outcome outcome;
    switch (command.reply) {
        case ReplyKind::stat:
            return decodeStat(payload);
        case ReplyKind::list:
            return decodeList(payload);
        case ReplyKind::text:
            if (payload.empty()) {
                outcome.status = kFailure;
                outcome.err = "elevard-client: empty reply: no block device found\n";
            } else {
                outcome.status = kSuccess;
                outcome.out = payload + "\n";
            }
            outcome.json =
                jsonMember("devicePath", jsonString(payload)) + "," + jsonSuccess(!payload.empty());
            return outcome;
        case ReplyKind::dmiInfo:
            if (payload.empty()) {
                outcome.status = kFailure;
                outcome.err =
                    "elevard-client: empty reply: the memory inventory could not be "
                    "read\n";
                outcome.json = jsonSuccess(false);
                return outcome;
            }
            return decodeDmiInfo(payload);
        default:
            outcome.status = kSuccess;
            outcome.out = hexDump(payload);
            outcome.json = jsonMember("bytes", jsonString(payload));
            return outcome;
    }
}

Outcome judgeRaw(const CommandInfo* command, const std::vector<std::string>& words,
                 const std::string& stream) {
    Outcome outcome;
    outcome.out = hexDump(stream);
    outcome.json = jsonMember("bytes", jsonString(stream));
    if (command != nullptr && command->reply == ReplyKind::none) {
        // The service took the line; what became of it only the service's output shows.
        outcome.status = kNotVisible;
        outcome.err = std::string("elevard-client: sent; ") + command->name + " answers nothing" +
                      (command->name == std::string("help")
                           ? ": the help is on the service's output (elevard help prints it "
                             "here)\n"
                           : ": its result shows only on the service's output\n");
        if (!stream.empty()) {
            outcome.err += "elevard-client: unexpected reply to a command that has none\n";
        }
        return outcome;
    }
    if (stream.empty()) {
        outcome = noReply(elevard::ClientError::closedWithoutReply, "closed without a reply");
        return outcome;
    }
    if (command == nullptr) {
        outcome.status = kSuccess;
        return outcome;
    }
    std::optional<std::string> payload = elevard::wire::decodeMessage(stream);
    Outcome decoded;
    if (payload && command->reply != ReplyKind::integer) {
        decoded = decodeBuffer(*command, *payload);
    } else if (std::optional<std::int64_t> value =
                   payload ? elevard::wire::decodeInteger(*payload) : std::nullopt) {
        decoded = decodeInteger(*command, words, *value);
    }
    outcome.status = decoded.status;
    if (decoded.status == kNoReply) {
        outcome.err = "elevard-client: malformed reply\n";
        outcome.json = jsonError("malformedReply", "not of the command's shape");
    }
    return outcome;
}

std::string hexDump(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto byte = static_cast<unsigned char>(bytes[i]);
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
        text += (i % 16 == 15 || i + 1 == bytes.size()) ? '\n' : ' ';
    }
    return text;
}

}  // namespace elevard_client
