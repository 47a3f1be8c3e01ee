#include "velk/system_commands/mount_params.h"

#include "velk/system_commands/shell_text.h"

namespace velk::system_commands::detail {

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

MountParams withMaskedPassword(MountParams params) {
    if (params.password) {
        params.password = "****";
    }
    return params;
}

}  // namespace velk::system_commands::detail
