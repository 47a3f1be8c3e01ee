#include "elevard/protocol.h"

#include "elevard/wire/line_words.h"
#include "elevard/wire/number_word.h"
#include "elevard/wire/replies.h"

namespace elevard {

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& command : kCommands) {
        if (name == command.name || (command.alias != nullptr && name == command.alias)) {
            return &command;
        }
    }
    return nullptr;
}

std::string usage(const CommandInfo& command) {
    std::string text;
    for (int i = 0; i < static_cast<int>(kMaxArguments) && command.arguments[i] != nullptr; ++i) {
        std::string name = command.arguments[i];
        if (name.rfind("opt_", 0) == 0 && name.size() > 4) {
            name.erase(0, 4);
        }
        text += (text.empty() ? "" : " ") +
                (i < command.requiredArguments ? "<" + name + ">" : "[" + name + "]");
    }
    return text;
}

bool integerReplySucceeded(const CommandInfo& command, const std::vector<std::string>& words,
                           std::int64_t value) {
    if (command.success != SuccessRule::equalsAskedFor) {
        return integerSucceeded(command.success, value);
    }
    // The service answers its own soft limit when it could not set the one asked for.
    std::optional<int> asked =
        words.size() > 2 ? elevard::wire::leadingNumber(words[2]) : std::nullopt;
    return asked.has_value() && integerSucceeded(command.success, value, *asked);
}

std::optional<std::string> joinCommandLine(const std::vector<std::string>& words,
                                           std::string* error) {
    return wire::joinWords(words, error);
}

std::optional<FileStatus> decodeStatus(const std::string& payload) {
    return wire::decodeStatus(payload);
}

std::optional<std::vector<ListEntry>> decodeList(const std::string& payload) {
    return wire::decodeList(payload);
}

std::optional<MemoryModules> decodeMemoryModules(const std::string& payload) {
    return wire::decodeMemoryModules(payload);
}

}  // namespace elevard
