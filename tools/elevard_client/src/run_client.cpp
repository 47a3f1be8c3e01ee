#include "run_client.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "elevard/client.h"
#include "elevard/protocol.h"
#include "json_output.h"
#include "reply_outcome.h"

namespace elevard_client {
namespace {

using elevard::CommandInfo;
using elevard::ReplyKind;

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

// The reply of open: one descriptor, or none when the service could not open the file. With
// `cat` the file's content follows the path on standard output.
Outcome showOpenedFile(elevard::Reply<elevard::FileDescriptor> reply, bool cat) {
    Outcome outcome;
    if (reply.error() == elevard::ClientError::closedWithoutReply) {
        outcome.status = kFailure;
        outcome.err =
            "elevard-client: no descriptor received: the service could not open the file\n";
        outcome.json = jsonMember("success", "false");
        return outcome;
    }
    if (!reply) {
        return noReply(reply.error(), reply.message());
    }
    elevard::FileDescriptor file = std::move(reply).value();
    std::string link = "/proc/self/fd/" + std::to_string(file.get());
    char target[4096];
    ssize_t size = ::readlink(link.c_str(), target, sizeof target);
    std::string path = size < 0 ? std::string() : std::string(target, static_cast<size_t>(size));
    if (size < 0) {
        outcome.err = "elevard-client: cannot tell the descriptor's path: " +
                      std::string(std::strerror(errno)) + "\n";
    }
    outcome.status = kSuccess;
    outcome.json = jsonMember("path", jsonString(path)) + "," + jsonMember("success", "true");
    if (!cat) {
        outcome.out = path.empty() ? "" : path + "\n";
        return outcome;
    }
    // The content is copied straight to standard output, after the path.
    print(path.empty() ? "" : path + "\n", stdout);
    std::string error;
    if (!copyToStandardOutput(file.get(), &error)) {
        outcome.err += "elevard-client: " + error + "\n";
        outcome.status = kFailure;
    }
    return outcome;
}

Outcome callAndDecode(const elevard::Client& client, const std::string& line,
                      const CommandInfo* command, const Options& options) {
    if (command == nullptr || command->reply == ReplyKind::none || options.raw) {
        elevard::Reply<std::string> stream = client.requestAll(line);
        return stream ? judgeRaw(command, options.words, stream.value())
                      : noReply(stream.error(), stream.message());
    }
    if (command->reply == ReplyKind::integer) {
        elevard::Reply<std::int64_t> value = client.requestInteger(line);
        return value ? decodeInteger(*command, options.words, value.value())
                     : noReply(value.error(), value.message());
    }
    elevard::Reply<std::string> payload = client.requestBuffer(line);
    return payload ? decodeBuffer(*command, payload.value())
                   : noReply(payload.error(), payload.message());
}

}  // namespace

int runClient(const Options& options) {
    const std::vector<std::string>& words = options.words;
    const CommandInfo* command = elevard::findCommand(words[0]);
    std::optional<std::string> bad =
        command != nullptr ? badArgument(*command, words) : unknownCommand(words[0]);
    std::string error;
    std::optional<std::string> line;
    if (!bad) {
        line = elevard::joinCommandLine(words, &error);
    }
    Outcome outcome;
    if (bad || !line) {
        outcome = noReply(elevard::ClientError::unsendable, bad.value_or(error));
    } else {
        elevard::Client client(options.socketPath, options.timeout);
        outcome = command != nullptr && command->reply == ReplyKind::descriptor
                      ? showOpenedFile(client.requestDescriptor(*line), options.cat)
                      : callAndDecode(client, *line, command, options);
    }
    print(options.json ? jsonObject(words[0], outcome.json) : outcome.out, stdout);
    print(outcome.err, stderr);
    return outcome.status;
}

}  // namespace elevard_client
