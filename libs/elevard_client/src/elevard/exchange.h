#pragma once

// The socket side of one call: connect, send the command line, receive the reply, each step
// bounded by the call's deadline. Every function works on the socket it is given and keeps no
// state.

#include <chrono>
#include <cstdint>
#include <string>

#include "elevard/reply.h"
#include "velk/kit/scoped_fd.h"

namespace elevard::detail {

using Deadline = std::chrono::steady_clock::time_point;

// Connects a close-on-exec stream socket to `path`, waiting until `deadline` at most when the
// service's queue of waiting connections is full. A failure is notConnected with the reason;
// a listener whose uid (SO_PEERCRED) is neither 0 nor this process's effective uid is
// untrustedListener, its uid in the message.
Reply<velk::kit::ScopedFd> connectToService(const std::string& path, Deadline deadline);

// Connects and sends `line` as one buffer message. A failure to send is closedWithoutReply,
// or timedOut once the deadline has passed.
Reply<velk::kit::ScopedFd> connectAndSend(const std::string& path, const std::string& line,
                                          Deadline deadline);

// Receives one integer message.
Reply<std::int64_t> receiveInteger(int socket, Deadline deadline);

// Receives one buffer message: its payload, empty for a message of length 0.
Reply<std::string> receiveBuffer(int socket, Deadline deadline);

// Receives one descriptor message. A stream that ends first is closedWithoutReply.
Reply<velk::kit::ScopedFd> receiveDescriptor(int socket, Deadline deadline);

// Everything the socket delivers until the service closes it.
Reply<std::string> receiveAll(int socket, Deadline deadline);

}  // namespace elevard::detail
