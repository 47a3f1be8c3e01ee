#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "velk/system_commands.h"
#include "velk/system_commands/change_failure.h"
#include "velk/system_commands/diagnostics.h"
#include "velk/system_commands/line_text.h"
#include "velk/system_commands/mount_params.h"
#include "velk/system_commands/mount_staging.h"
#include "velk/system_commands/outcome.h"
#include "velk/system_commands/path_guard.h"
#include "velk/system_commands/program_run.h"

namespace velk {

using system_commands::Outcome;
using system_commands::systemError;
using system_commands::detail::changeFailed;
using system_commands::detail::format;
using system_commands::detail::LastLink;
using system_commands::detail::makeMountCommand;
using system_commands::detail::mountOptions;
using system_commands::detail::MountParams;
using system_commands::detail::ProgramRun;
using system_commands::detail::StagingFolder;
using system_commands::detail::WalkedPath;
using system_commands::detail::walkMountPoint;
using system_commands::detail::withMaskedPassword;
using system_commands::detail::writeDiagnostic;

namespace {

// umount2 of the walked final name, reached through the descriptor of the folder that holds it:
// no later lookup of a folder on the way can be redirected. Returns 0 or the errno like the call
// it wraps (ENOENT when the walk found nothing to unmount), since the caller picks the reply by
// it.
int unmountWalked(WalkedPath walked) {
    if (walked.unreachable != 0) {
        return walked.unreachable;
    }
    if (!walked.object.valid() || !walked.folder.valid() || walked.names.empty()) {
        return ENOENT;
    }
    // The final object's own descriptor would keep its file system busy; its folder's does not.
    walked.object.reset();
    const std::string target =
        "/proc/self/fd/" + std::to_string(walked.folder.get()) + "/" + walked.names.front();
    return ::umount2(target.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

// One attempt of the mount helper on the staging folder `point`: no shell, nothing the caller
// typed among its options but the names, and the password only in its environment.
ProgramRun mountAttempt(const MountParams& params, const std::string& point,
                        const std::string& shown) {
    const char* path = std::getenv("PATH");
    ProgramRun run;
    run.program = "mount";
    run.arguments = {"-t", "cifs", params.source, point, "-o", mountOptions(params)};
    run.environment = {
        std::string("PATH=") + (path != nullptr ? path : system_commands::detail::kDefaultPath),
        "LC_ALL=C", "PASSWD=" + params.password.value_or("")};
    run.deadline = std::chrono::seconds(60);
    run.shown = shown;
    return run;
}

}  // namespace

MountCode SystemCommands::mount(const std::string& source, const std::string& mountPoint,
                                const std::optional<std::string>& user,
                                const std::optional<std::string>& password) {
    // Held from here on: the share goes onto this folder, wherever its name leads later.
    Outcome<WalkedPath> judged = walkMountPoint(mountPoint, LastLink::follow);
    if (!judged) {
        setLastError(judged.error());
        writeDiagnostic("It's forbidden to mount a remote folder to ", mountPoint);
        return MountCode::otherError;
    }
    if (system_commands::detail::isRefusedSource(source)) {
        setLastError(format("Mount from % is forbidden", source));
        writeDiagnostic("It's forbidden to mount a remote folder from ", source);
        return MountCode::otherError;
    }
    if (Outcome<void> safe = system_commands::detail::checkCredentials(user, password); !safe) {
        setLastError(format("Mount with these credentials is forbidden: %", safe.error()));
        writeDiagnostic("It's forbidden to mount a remote folder with these credentials: ",
                        safe.error());
        return MountCode::otherError;
    }
    const WalkedPath& held = judged.value();
    const int error = held.unreachable != 0       ? held.unreachable
                      : !held.object.valid()      ? ENOENT
                      : !S_ISDIR(held.objectType) ? ENOTDIR
                                                  : 0;
    if (error != 0) {
        setLastError(changeFailed("mount " + mountPoint, error));
        writeDiagnostic("Mount to ", mountPoint, " has failed: ", systemError(error));
        return MountCode::otherError;
    }
    for (const MountParams& params :
         system_commands::detail::generateMountParams(source, mountPoint, user, password)) {
        // A fresh folder per attempt: whatever a failed attempt left mounted goes with its own.
        StagingFolder staging;
        if (Outcome<void> created = staging.create(); !created) {
            setLastError(created.error());
            writeDiagnostic("Mount to ", mountPoint, " has failed: ", created.error());
            return MountCode::otherError;
        }
        const std::string shown = makeMountCommand(withMaskedPassword(params));
        std::string output;
        if (recorded(
                system_commands::detail::runProgram(mountAttempt(params, staging.path(), shown),
                                                    [&](const char* piece) { output += piece; }))) {
            if (Outcome<void> moved = staging.moveOnto(held.object.get()); !moved) {
                setLastError(changeFailed("mount " + mountPoint, moved.error()));
                writeDiagnostic("Mount command \"", shown, "\" succeeded, but moving the share to ",
                                mountPoint, " has failed: ", moved.error());
                return MountCode::otherError;
            }
            writeDiagnostic("Mount command \"", shown, "\" succeeded");
            return MountCode::success;
        }
        // "mount error(13): Permission denied" is how the helper reports a refused login; the
        // other versions would be refused too. Only this attempt's own output counts.
        if (output.find("error(13)") != std::string::npos) {
            writeDiagnostic("Mount command \"", shown, "\" failed with 'permission denied'");
            return MountCode::permissionDenied;
        }
        writeDiagnostic("Mount command \"", shown, "\" failed");
    }
    return MountCode::otherError;
}

UnmountCode SystemCommands::unmount(const std::string& path) {
    if (!checkMountPermissions(path)) {
        return UnmountCode::otherError;
    }
    // A link in the last component stays what the guard judged instead of naming its target.
    Outcome<WalkedPath> walked = walkMountPoint(path, LastLink::keep);
    if (!recorded(walked)) {
        return UnmountCode::otherError;
    }
    switch (unmountWalked(std::move(walked).value())) {
        case 0:
            return UnmountCode::success;
        case EBUSY:
        case ENOMEM:
            return UnmountCode::busy;
        case ENOENT:
            return UnmountCode::notExists;
        case EINVAL:
            return UnmountCode::notMounted;
        default:
            return UnmountCode::otherError;
    }
}

}  // namespace velk
