#include "exchange.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "elevard/client.h"
#include "elevard/protocol.h"
#include "velk/kit/scoped_fd.h"

namespace elevard_client {
namespace {

using elevard::CommandInfo;
using elevard::ReplyKind;
using velk::kit::ScopedFd;

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
int showOpenedFile(elevard::Reply<ScopedFd> reply, bool cat) {
    if (reply.error() == elevard::ClientError::closedWithoutReply) {
        print("elevard-client: no descriptor received: the service could not open the file\n",
              stderr);
        return kFailure;
    }
    if (!reply) {
        print("elevard-client: " + reply.message() + "\n", stderr);
        return kNoReply;
    }
    ScopedFd file = std::move(reply).value();
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

// The outcome of an exchange that brought back no reply.
Outcome noReply(const std::string& message, elevard::ClientError error) {
    Outcome outcome;
    outcome.status = kNoReply;
    outcome.err = error == elevard::ClientError::closedWithoutReply
                      ? kNoReplyMessage
                      : "elevard-client: " + message + "\n";
    return outcome;
}

Outcome callAndDecode(const elevard::Client& client, const std::string& line,
                      const CommandInfo* command, const Options& options) {
    if (command == nullptr || command->reply == ReplyKind::none || options.raw) {
        elevard::Reply<std::string> stream = client.requestAll(line);
        return stream ? judgeRaw(command, options.words, stream.value())
                      : noReply(stream.message(), stream.error());
    }
    if (command->reply == ReplyKind::integer) {
        elevard::Reply<std::int64_t> value = client.requestInteger(line);
        return value ? decodeInteger(*command, options.words, value.value())
                     : noReply(value.message(), value.error());
    }
    elevard::Reply<std::string> payload = client.requestBuffer(line);
    return payload ? decodeBuffer(*command, payload.value())
                   : noReply(payload.message(), payload.error());
}

}  // namespace

int runClient(const Options& options) {
    const std::vector<std::string>& words = options.words;
    const CommandInfo* command = elevard::findCommand(words[0]);
    if (command != nullptr && static_cast<int>(words.size()) - 1 < command->requiredArguments) {
        print("elevard-client: missing argument; usage: " + words[0] + " " + command->arguments +
                  "\n",
              stderr);
        return kNoReply;
    }
    std::string error;
    std::optional<std::string> line = elevard::joinCommandLine(words, &error);
    if (!line) {
        print("elevard-client: " + error + "\n", stderr);
        return kNoReply;
    }
    elevard::Client client(options.socketPath, options.timeout);
    if (command != nullptr && command->reply == ReplyKind::descriptor) {
        return showOpenedFile(client.requestDescriptor(*line), options.cat);
    }
    Outcome outcome = callAndDecode(client, *line, command, options);
    print(outcome.out, stdout);
    print(outcome.err, stderr);
    return outcome.status;
}

}  // namespace elevard_client
