#pragma once

#include <string>

#include "velk/system_commands/outcome.h"

// The folders on which the mount helper mounts a share before the service moves that mount
// onto the folder its guard judged: the helper resolves its mount point by name, and nobody but
// the service can reach these names. They live on a tmpfs of the service's own, owned by root
// and mode 0700, whose mounts propagate nowhere (a mount under a shared one cannot be moved).
namespace velk::system_commands::detail {

// Where the staging folders live.
inline constexpr const char* kStagingRoot = "/run/elevard";

// One staging folder, made fresh for one attempt of the mount helper. Owns the folder: on
// destruction everything still mounted there (mounts stacked on it and those below them) is
// detached and the folder removed. Used by one thread at a time; any number may exist at once.
class StagingFolder {
public:
    StagingFolder() = default;
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Makes the folder, and the staging tmpfs first when it is not mounted yet. The staging place
    // must be a root-owned folder, not a link, holding that tmpfs (or nothing yet): anything else
    // is refused. Fails with why the folder could not be made, naming the staging place.
    Outcome<void> create();

    // The folder's path; empty until create succeeded.
    const std::string& path() const { return path_; }

    // Marks the mount on the folder, and every mount below it, nosuid and nodev, then moves it
    // onto the folder `target` refers to (an O_PATH descriptor will do). Fails with the
    // system's words for the reason (systemError); then the mount stays on the folder.
    Outcome<void> moveOnto(int target) const;

private:
    std::string path_;
};

// Detaches the staging tmpfs with everything mounted below it: what a service that ended in the
// middle of a mount left behind. Meant for the service's start-up and its forced stop; a missing
// one is fine.
void detachStaleStagingMounts();

}  // namespace velk::system_commands::detail
