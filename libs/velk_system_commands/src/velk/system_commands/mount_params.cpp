#include "velk/system_commands/mount_params.h"

#include <algorithm>
#include <iterator>

#include "velk/system_commands/line_text.h"

namespace velk::system_commands::detail {
namespace {

bool holdsControlOrComma(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return c == ',' || isAsciiControl(c); });
}

// One entry of the mount helper's option list: a bare flag, or a name with its value, which
// is the caller's (written quoted where the line is shown) or the service's own.
struct MountOption {
    const char* name;
    std::optional<std::string> value;
    bool fromCaller;
};

// The options the helper is given for `params`, in their order.
std::vector<MountOption> optionList(const MountParams& params) {
    std::vector<MountOption> list;
    list.push_back(params.user ? MountOption{"username", *params.user, true}
                               : MountOption{"guest", std::nullopt, false});
    if (params.domain) {
        list.push_back({"domain", *params.domain, true});
    }
    list.push_back({"vers", params.version, false});
    return list;
}

// The options joined with commas; with `shown`, the caller's values single-quoted.
std::string joined(const std::vector<MountOption>& list, bool shown) {
    std::string text;
    for (const MountOption& option : list) {
        text += text.empty() ? "" : ",";
        text += option.name;
        if (option.value) {
            text += "=" + (shown && option.fromCaller ? quoted(*option.value) : *option.value);
        }
    }
    return text;
}

}  // namespace

std::pair<std::optional<std::string>, std::string> extractNameDomain(
    const std::optional<std::string>& user) {
    static const std::string kWorkgroupDomain = "WORKGROUP";
    if (!user) {
        return {std::nullopt, kWorkgroupDomain};
    }
    std::size_t backslash = user->find('\\');
    if (backslash == std::string::npos || backslash == 0 || backslash + 1 == user->size()) {
        return {user, kWorkgroupDomain};
    }
    return {user->substr(0, backslash), user->substr(backslash + 1)};
}

std::vector<MountParams> generateMountParams(const std::string& source,
                                             const std::string& mountPoint,
                                             const std::optional<std::string>& user,
                                             const std::optional<std::string>& password) {
    static const char* const kVersions[] = {"3.1", "2.1", "3.0", "2.0", "1.0"};
    auto [name, domain] = extractNameDomain(user);
    std::vector<MountParams> all;
    for (const std::optional<std::string>& withDomain :
         {std::optional<std::string>(domain), std::optional<std::string>()}) {
        for (const char* version : kVersions) {
            all.push_back({name, withDomain, password, version, source, mountPoint});
        }
    }
    return all;
}

std::string makeMountCommand(const MountParams& params) {
    std::vector<MountOption> list = optionList(params);
    // The helper reads the password from its environment; the shown line names it (masked by
    // the callers) right after the login.
    list.insert(std::next(list.begin()), {"password", params.password.value_or(""), true});
    return "mount -t cifs " + quoted(params.source) + " " + quoted(params.mountPoint) + " -o " +
           (params.user ? " " : "") + joined(list, true);
}

std::string mountOptions(const MountParams& params) {
    return joined(optionList(params), false);
}

Outcome<void> checkCredentials(const std::optional<std::string>& user,
                               const std::optional<std::string>& password) {
    auto [name, domain] = extractNameDomain(user);
    if ((name && holdsControlOrComma(*name)) || holdsControlOrComma(domain)) {
        return Failure{"the user name or the domain holds a comma or a control character"};
    }
    if (name && name->find('%') != std::string::npos) {
        return Failure{"the user name holds \"%\""};
    }
    if (password && password->find_first_of(std::string("\0\n", 2)) != std::string::npos) {
        return Failure{"the password holds a NUL byte or a newline"};
    }
    return {};
}

bool isRefusedSource(const std::string& source) {
    return source.rfind('-', 0) == 0 || holdsControlOrComma(source);
}

MountParams withMaskedPassword(MountParams params) {
    if (params.password) {
        params.password = kMaskedSecret;
    }
    return params;
}

}  // namespace velk::system_commands::detail
