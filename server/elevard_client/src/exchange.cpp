#include "exchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "velk/system_commands/domain_socket.h"

namespace elevard_client {
namespace {

namespace ds = velk::system_commands::domain_socket;
using velk::kit::ScopedFd;

void* growString(void* context, long length) {
    auto* text = static_cast<std::string*>(context);
    try {
        text->resize(static_cast<size_t>(length));
    } catch (const std::exception&) {
        return nullptr;  // a length no string can hold: readBuffer reports a failed read
    }
    return text->data();
}

// Looks at the 8-byte length of the coming message without taking it off the stream. Returns
// none when the stream ended before its first byte; malformed when it ended inside the length,
// reading failed or the length is negative; complete with `*length` filled otherwise.
Arrival peekLength(int socket, int64_t* length) {
    char bytes[sizeof *length];
    bool peerDone = false;
    for (;;) {
        ssize_t got = ::recv(socket, bytes, sizeof bytes, MSG_PEEK | MSG_WAITALL);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == static_cast<ssize_t>(sizeof bytes)) {
            std::memcpy(length, bytes, sizeof bytes);
            return *length < 0 ? Arrival::malformed : Arrival::complete;
        }
        if (got <= 0 || peerDone) {
            return got == 0 ? Arrival::none : Arrival::malformed;
        }
        // Part of the length is there, and a peek returns what is queued without waiting for
        // more. The service closes the connection after its reply, so wait for that and look
        // again; POLLRDHUP alone is not raised by the arrival of more data.
        pollfd watch{socket, POLLRDHUP, 0};
        int ready = ::poll(&watch, 1, -1);
        if (ready < 0 && errno != EINTR) {
            return Arrival::malformed;
        }
        peerDone = ready > 0;
    }
}

// read(2), resumed after an interruption.
ssize_t readResuming(int fd, char* buffer, size_t size) {
    ssize_t got;
    do {
        got = ::read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

void print(const std::string& text, FILE* stream) {
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stream);
    }
}

// Copies everything `fd` holds from its current offset to standard output.
bool copyToStandardOutput(int fd, std::string* error) {
    std::fflush(stdout);
    char chunk[65536];
    for (;;) {
        ssize_t got = readResuming(fd, chunk, sizeof chunk);
        if (got < 0) {
            *error = std::string("cannot read the file: ") + std::strerror(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(STDOUT_FILENO, chunk + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0) {
                *error = std::string("cannot write standard output: ") + std::strerror(errno);
                return false;
            }
            done += put;
        }
    }
}

// The reply of open: one descriptor, or none when the service could not open the file.
int showOpenedFile(int socket, bool cat) {
    ScopedFd file(ds::readFd(socket));
    if (!file.valid()) {
        print("elevard-client: no descriptor received: the service could not open the file\n",
              stderr);
        return kFailure;
    }
    std::string link = "/proc/self/fd/" + std::to_string(file.get());
    char target[4096];
    ssize_t size = ::readlink(link.c_str(), target, sizeof target);
    if (size < 0) {
        print("elevard-client: cannot tell the descriptor's path: " +
                  std::string(std::strerror(errno)) + "\n",
              stderr);
    } else {
        print(std::string(target, static_cast<size_t>(size)) + "\n", stdout);
    }
    std::string error;
    if (cat && !copyToStandardOutput(file.get(), &error)) {
        print("elevard-client: " + error + "\n", stderr);
        return kFailure;
    }
    return kSuccess;
}

Outcome receiveAndDecode(int socket, const CommandInfo& command,
                         const std::vector<std::string>& words) {
    Outcome outcome;
    Arrival arrival;
    if (command.reply == ReplyKind::integer) {
        IntegerReply reply = receiveInteger(socket);
        arrival = reply.arrival;
        if (arrival == Arrival::complete) {
            outcome = decodeInteger(command, words, reply.value);
        }
    } else {
        BufferReply reply = receiveBuffer(socket);
        arrival = reply.arrival;
        if (arrival == Arrival::complete) {
            outcome = decodeBuffer(command, reply.payload);
        }
    }
    if (arrival == Arrival::none) {
        outcome.err = kNoReplyMessage;
    } else if (arrival == Arrival::malformed) {
        outcome.err = "elevard-client: malformed reply: cut short or of an impossible length\n";
    }
    return outcome;
}

}  // namespace

ScopedFd connectToService(const std::string& path, std::string* error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = "socket path is empty or longer than " +
                 std::to_string(sizeof address.sun_path - 1) + " bytes: " + path;
        return ScopedFd();
    }
    ScopedFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return ScopedFd();
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    // No signal handler is installed, so connect cannot be interrupted here.
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
        return ScopedFd();
    }
    return socket;
}

IntegerReply receiveInteger(int socket) {
    IntegerReply reply;
    int64_t length = 0;
    // readInt64 judges the length itself, and takes the message off the stream.
    if (peekLength(socket, &length) != Arrival::none) {
        reply.arrival =
            ds::readInt64(socket, &reply.value) ? Arrival::complete : Arrival::malformed;
    }
    return reply;
}

BufferReply receiveBuffer(int socket) {
    BufferReply reply;
    int64_t length = 0;
    reply.arrival = peekLength(socket, &length);
    // A length of 0 is a complete, empty reply; readBuffer would report it as a failure.
    if (reply.arrival == Arrival::complete && length > 0 &&
        !ds::readBuffer(socket, growString, &reply.payload)) {
        reply.arrival = Arrival::malformed;
    }
    return reply;
}

std::string receiveAll(int socket, bool* ok) {
    std::string all;
    char chunk[65536];
    for (;;) {
        ssize_t got = readResuming(socket, chunk, sizeof chunk);
        if (got <= 0) {
            *ok = got == 0;
            return all;
        }
        all.append(chunk, static_cast<size_t>(got));
    }
}

int runClient(const Options& options) {
    const std::vector<std::string>& words = options.words;
    const CommandInfo* command = findCommand(words[0]);
    if (command != nullptr && static_cast<int>(words.size()) - 1 < command->requiredArguments) {
        print("elevard-client: missing argument; usage: " + words[0] + " " + command->arguments +
                  "\n",
              stderr);
        return kNoReply;
    }
    std::string error;
    std::optional<std::string> line = joinCommandLine(words, &error);
    if (!line) {
        print("elevard-client: " + error + "\n", stderr);
        return kNoReply;
    }
    ScopedFd socket = connectToService(options.socketPath, &error);
    if (!socket.valid()) {
        print("elevard-client: " + error + "\n", stderr);
        return kNoReply;
    }
    if (!ds::sendBuffer(socket.get(), line->data(), static_cast<long>(line->size()))) {
        print("elevard-client: the command could not be sent\n", stderr);
        return kNoReply;
    }
    if (command != nullptr && command->reply == ReplyKind::descriptor) {
        return showOpenedFile(socket.get(), options.cat);
    }
    Outcome outcome;
    if (command == nullptr || command->reply == ReplyKind::none || options.raw) {
        bool ok = true;
        std::string stream = receiveAll(socket.get(), &ok);
        outcome = judgeRaw(command, words, stream);
        if (!ok) {
            outcome.status = kNoReply;
            outcome.err += "elevard-client: reading the reply failed\n";
        }
    } else {
        outcome = receiveAndDecode(socket.get(), *command, words);
    }
    print(outcome.out, stdout);
    print(outcome.err, stderr);
    return outcome.status;
}

}  // namespace elevard_client
