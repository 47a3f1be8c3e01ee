#include "acceptor.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velk/system_commands.h"

namespace {

constexpr char kGroup[] = "quorvath";
constexpr int kBacklog = 128;
constexpr mode_t kSocketMode = 0660;

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

// True when a service answers on the socket at `address`: a connect that succeeds, or that
// would wait because the backlog is full, finds one listening. A stale file, a file of another
// kind or no file at all refuses the connect.
bool isServed(const sockaddr_un& address) {
    velk::kit::ScopedFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid()) {
        return false;  // bind will fail alike and say why
    }
    // A local connect on a non-blocking socket completes or fails at once; it is not retried,
    // as a connect interrupted by a signal goes on by itself.
    const int result =
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return result == 0 || errno == EAGAIN;
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
    socket_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket_.valid()) {
        std::perror("socket error");
        return false;
    }
    const char* path = velk::SystemCommands::kDomainSocket;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);

    // Removing the file of a running service would cut its clients off for good.
    if (isServed(address)) {
        std::fprintf(stderr, "A service already listens on %s\n", path);
        return false;
    }
    // A socket file left by an earlier run would make bind fail; when there is none, the
    // failure is expected and harmless.
    unlink(path);
    if (bindPrivately(socket_.get(), address) == -1) {
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
    // Nothing to do when the file is already gone.
    unlink(velk::SystemCommands::kDomainSocket);
}
