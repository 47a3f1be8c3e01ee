#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velk/system_commands/outcome.h"

// The option sets that a mount request tries, the option list the mount helper gets for each
// and the command line shown for it. Everything here is pure and thread-safe.
namespace velk::system_commands::detail {

// One candidate way of mounting a share.
struct MountParams {
    std::optional<std::string> user;      // absent: a guest login
    std::optional<std::string> domain;    // absent: no domain option
    std::optional<std::string> password;  // absent: an empty password
    std::string version;                  // the protocol version, the text after "vers="
    std::string source;                   // the share, as the client gave it
    std::string mountPoint;               // the folder, as the client gave it
};

// Splits "name\domain" at its first backslash. Without a backslash, with one at either end or
// with no user at all, the name is the whole user (absent when absent) and the domain is
// "WORKGROUP". Further backslashes stay in the domain.
std::pair<std::optional<std::string>, std::string> extractNameDomain(
    const std::optional<std::string>& user);

// The ten option sets in the order they are tried: with the domain and the versions 3.1, 2.1,
// 3.0, 2.0 and 1.0, then without a domain and the same versions.
std::vector<MountParams> generateMountParams(const std::string& source,
                                             const std::string& mountPoint,
                                             const std::optional<std::string>& user,
                                             const std::optional<std::string>& password);

// The command line shown for an attempt with `params`: mount -t cifs 'source' 'point' -o
// options, the options of mountOptions with the password after the login, every value the
// caller gave single-quoted with its quotes escaped, so that it reads back as one word.
std::string makeMountCommand(const MountParams& params);

// The option list the mount helper is given for `params`: "username=NAME" or "guest", then
// "domain=DOMAIN" when there is one, then "vers=VERSION", joined with commas and unquoted. The
// password is never part of it: the helper reads it from its environment.
std::string mountOptions(const MountParams& params);

// Checks that the mount helper reads `user` ("name\domain" as the caller gave it) and
// `password` as the one value each is. Fails, with the reason as the text, when a comma or a
// control character in the name or the domain would add options, a "%" in the name would start
// a password, or a NUL byte or a newline would cut a password short.
Outcome<void> checkCredentials(const std::optional<std::string>& user,
                               const std::optional<std::string>& password);

// True when `source` could reach the mount helper as anything but a share: it begins with "-"
// (an option), holds a control character (a NUL byte included) or a comma, which the helper
// would read as the start of further options, since it passes the share inside its option list.
// No server or share name holds a comma.
bool isRefusedSource(const std::string& source);

// `params` with a present password replaced by kMaskedSecret: the form of a mount line that may be
// shown in diagnostic lines and failure texts.
MountParams withMaskedPassword(MountParams params);

}  // namespace velk::system_commands::detail
