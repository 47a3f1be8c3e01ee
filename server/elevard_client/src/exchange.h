#pragma once

// The socket side of elevard-client: one connection to the service, one command line sent,
// one reply received and shown. Nothing here keeps state between calls; each function works
// on the socket it is given.

#include <string>

#include "client.h"
#include "velk/kit/scoped_fd.h"

namespace elevard_client {

// Connects a close-on-exec stream socket to `path`. Returns the connected socket, owned by the
// caller, or an empty ScopedFd with the reason in `*error` (a path that does not fit a socket
// address, or the system's error text of socket or connect).
velk::kit::ScopedFd connectToService(const std::string& path, std::string* error);

// How a reply message arrived.
enum class Arrival {
    none,       // the stream ended before the first byte: no reply at all
    complete,   // one whole message arrived
    malformed,  // the message was cut short, or its length cannot be right
};

struct IntegerReply {
    Arrival arrival = Arrival::none;
    long value = 0;  // when complete
};

struct BufferReply {
    Arrival arrival = Arrival::none;
    std::string payload;  // when complete; empty for a message of length 0
};

// Receives one integer message.
IntegerReply receiveInteger(int socket);

// Receives one buffer message, telling a message of length 0 (an empty reply) from the end
// of the stream (no reply).
BufferReply receiveBuffer(int socket);

// Everything the socket delivers until the end of the stream. `*ok` is false after a read
// error; what arrived before it is still returned.
std::string receiveAll(int socket, bool* ok);

// Runs one exchange as `options` say: checks the command's arguments, joins the line, connects,
// sends, receives and prints the reply on standard output (messages on standard error).
// Returns the exit status (ExitStatus).
int runClient(const Options& options);

}  // namespace elevard_client
