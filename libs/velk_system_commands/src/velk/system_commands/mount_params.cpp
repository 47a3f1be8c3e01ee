#include "velk/system_commands/mount_params.h"

#include <algorithm>

#include "velk/system_commands/shell_text.h"

namespace velk::system_commands::detail {
namespace {

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

bool holdsControlOrComma(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c == ',' || isControl(c); });
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
    std::string line =
        "mount -t cifs " + quoted(params.source) + " " + quoted(params.mountPoint) + " -o ";
    line += params.user ? " username=" + quoted(*params.user) + "," : "guest,";
    line += "password=" + quoted(params.password.value_or("")) + ",";
    if (params.domain) {
        line += "domain=" + quoted(*params.domain) + ",";
    }
    return line + "vers=" + params.version;
}

std::string mountOptions(const MountParams& params) {
    std::string options = params.user ? "username=" + *params.user + "," : "guest,";
    if (params.domain) {
        options += "domain=" + *params.domain + ",";
    }
    return options + "vers=" + params.version;
}

const char* credentialFault(const std::optional<std::string>& user,
                            const std::optional<std::string>& password) {
    auto [name, domain] = extractNameDomain(user);
    if ((name && holdsControlOrComma(*name)) || holdsControlOrComma(domain)) {
        return "the user name or the domain holds a comma or a control character";
    }
    if (name && name->find('%') != std::string::npos) {
        return "the user name holds \"%\"";
    }
    if (password && password->find_first_of(std::string("\0\n", 2)) != std::string::npos) {
        return "the password holds a NUL byte or a newline";
    }
    return nullptr;
}

bool isRefusedSource(const std::string& source) {
    return source.rfind('-', 0) == 0 || holdsControlOrComma(source);
}

MountParams withMaskedPassword(MountParams params) {
    if (params.password) {
        params.password = "****";
    }
    return params;
}

}  // namespace velk::system_commands::detail
