#include "acceptor.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "elevard/command_table.h"
#include "velk/system_commands.h"
#include "velk/system_commands/tree_changes.h"

namespace {

constexpr const char* kGroup = elevard::kGroupName;
constexpr int kBacklog = 128;
constexpr mode_t kSocketMode = 0660;
constexpr int kBindRounds = 3;

// Binds `socket` with a umask that keeps the new file at kSocketMode or narrower: between
// bind and chmod the file would otherwise carry whatever mode the inherited umask allows.
int bindPrivately(int socket, const sockaddr_un& address) {
    const mode_t previous = umask(~kSocketMode & 0777);
    const int result = ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int savedErrno = errno;
    umask(previous);
    errno = savedErrno;
    return result;
}

// Removes whatever is at the socket path: a socket or file left by anyone is unlinked, a
// folder removed with everything in it, never following a link. Only the lock holder calls
// this, so nothing there belongs to a running service. A failure is printed; bind then says
// why it cannot go on.
void clearPath(const char* path) {
    const std::string whole = path;
    const size_t slash = whole.rfind('/');
    const std::string folderPath = slash == 0 ? "/" : whole.substr(0, slash);
    velk::kit::ScopedFd folder(
        ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const std::string name = whole.substr(slash + 1);
    // The entry is held from here on, so that what is removed is what was found.
    velk::kit::ScopedFd object(
        folder.valid() ? ::openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)
                       : -1);
    if (folder.valid() && !object.valid() && errno == ENOENT) {
        return;
    }
    if (!object.valid()) {
        std::fprintf(stderr, "remove %s: %s\n", path, std::strerror(errno));
        return;
    }
    const velk::system_commands::Outcome<void> removed = velk::system_commands::detail::removeTree(
        folder.get(), name, object.get(), {std::string("remove ") + path, path});
    if (!removed) {
        std::fprintf(stderr, "%s\n", removed.error().c_str());
    }
}

// The listening socket that systemd passed (LISTEN_FDS, LISTEN_PID), made non-blocking:
// `*socket` stays invalid when none was passed. False after printing why when what was passed
// cannot be served on.
bool takePassedSocket(velk::kit::ScopedFd* socket) {
    // Also clears the variables, so that the programs the commands start never see them.
    const int count = sd_listen_fds(1);
    if (count == 0) {
        return true;
    }
    if (count < 0) {
        std::fprintf(stderr, "sd_listen_fds: %s\n", std::strerror(-count));
        return false;
    }
    // Every passed descriptor is ours now; only the first may be served on.
    for (int extra = 1; extra < count; ++extra) {
        ::close(SD_LISTEN_FDS_START + extra);
    }
    socket->reset(SD_LISTEN_FDS_START);
    if (count != 1 || sd_is_socket_unix(socket->get(), SOCK_STREAM, 1, nullptr, 0) <= 0) {
        std::fprintf(stderr,
                     "systemd passed %d descriptors; the service takes exactly one, a listening "
                     "Unix stream socket\n",
                     count);
        return false;
    }
    const int flags = fcntl(socket->get(), F_GETFL);
    if (flags < 0 || fcntl(socket->get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        std::perror("fcntl passed socket");
        return false;
    }
    return true;
}

// The group's entry, or null after printing why there is none. getgrnam leaves errno alone,
// or sets one of these, when it merely finds no such group.
const group* serviceGroup() {
    errno = 0;
    const group* owners = getgrnam(kGroup);
    if (owners != nullptr) {
        return owners;
    }
    if (errno == 0 || errno == ENOENT || errno == ESRCH || errno == EBADF || errno == EPERM) {
        std::fprintf(stderr, "getgrnam failed: no group named %s\n", kGroup);
    } else {
        std::perror("getgrnam failed");
    }
    return nullptr;
}

}  // namespace

bool Acceptor::bind() {
    if (!takePassedSocket(&socket_)) {
        return false;
    }
    if (socket_.valid()) {
        passed_ = true;
        return true;
    }
    socket_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket_.valid()) {
        std::perror("socket error");
        return false;
    }
    const char* path = velk::SystemCommands::kDomainSocket;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);

    // Whoever else listens at the path, or left something there, has no claim on it: the
    // caller holds the service lock. A local user may put something back between the removal
    // and bind; a few rounds outlast a slip, not a determined racer, whose bind error is shown.
    int bound = -1;
    for (int round = 0; round < kBindRounds && bound != 0; ++round) {
        clearPath(path);
        bound = bindPrivately(socket_.get(), address);
        if (bound != 0 && errno != EADDRINUSE) {
            break;
        }
    }
    if (bound != 0) {
        std::perror("bind error");
        return false;
    }
    if (listen(socket_.get(), kBacklog) == -1) {
        std::perror("listen error");
        return false;
    }
    // The umask at bind already gave this mode or a narrower one; chmod only widens it to
    // exactly 0660, and a failure leaves the file at least as private.
    chmod(path, kSocketMode);
    const group* owners = serviceGroup();
    if (owners == nullptr) {
        return false;
    }
    if (chown(path, geteuid(), owners->gr_gid) != 0) {
        std::perror("chown socket");
        return false;
    }
    return true;
}

velk::kit::ScopedFd Acceptor::accept() {
    int connection;
    do {
        // Non-blocking: no thread of the service ever waits on a client.
        connection = ::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (connection < 0 && errno == EINTR);
    return velk::kit::ScopedFd(connection);
}

void Acceptor::close() {
    if (!socket_.valid()) {
        return;
    }
    socket_.reset();
    if (passed_) {
        return;  // systemd keeps the socket, and its file, for the next start
    }
    // Nothing to do when the file is already gone.
    unlink(velk::SystemCommands::kDomainSocket);
}
