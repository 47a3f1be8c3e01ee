#include <malloc.h>

#include <cstdio>

#include "commands.h"
#include "register_commands.h"
#include "run_modes.h"
#include "service.h"
#include "service_lock.h"
#include "velk/system_commands.h"
#include "velk/system_commands/mount_staging.h"

int main(int argc, const char** argv) {
    if (argc >= 2 && isOptionWord(argv[1])) {
        return runOption(argv);
    }
    // Before the first write: changing the buffering of a stream already written to is
    // undefined.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Blocks of 128 KiB and more (the replies of large listings) are mapped for themselves and
    // go back to the system when freed. Left to itself, glibc raises this threshold after the
    // first such free, and each worker's arena then keeps the memory of the largest reply it
    // ever built. Fails only for an unknown parameter; the service runs either way.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::printf("Starting elevard, using domain socket: %s\n", velk::SystemCommands::kDomainSocket);
    velk::SystemCommands systemCommands;
    CommandsFactory factory;
    registerCommands(factory, &systemCommands);

    if (argc < 2) {
        // Held until the process ends. Whoever holds it owns the socket path and the staging
        // mounts; a second service must not touch either.
        velk::kit::ScopedFd lock = takeServiceLock();
        if (!lock.valid()) {
            return -1;
        }
        // A service that ended in the middle of a mount may have left its staging mounts.
        velk::system_commands::detail::detachStaleStagingMounts();
        return runService(factory);
    }
    return runDirect(factory, argv);
}
