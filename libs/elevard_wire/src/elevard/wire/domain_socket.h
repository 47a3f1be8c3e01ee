#pragma once

// Message framing on a connected Unix stream socket, shared by the service and its clients.
// One connection carries one exchange: the client sends one buffer message holding a command
// line, the service answers with at most one message, then closes the connection.
//
// Wire formats (integers in host byte order):
//   buffer message:     int64 length N, then N payload bytes, no terminator. N <= 0 carries
//                       no payload and counts as a failed transfer on both ends.
//   integer message:    a buffer message of length 8 whose payload is one int64.
//   descriptor message: one sendmsg of 1 data byte (ignored) plus one SCM_RIGHTS control
//                       message (cmsg_len 20) carrying exactly one descriptor.
//
// None of these functions keeps state, retries after a failure (an interrupted system call is
// simply repeated), times out or closes the connection: the caller owns the socket. After a
// failed read or send the stream is no longer usable for further messages. Sends use
// MSG_NOSIGNAL, so a peer that has gone away yields a failure, never SIGPIPE. Failures of a
// send are printed with perror; reads print only the two readFd diagnostics below. Each
// function may be called from any thread; one connection is used by one thread at a time.

#include <cstddef>
#include <string>

#include "velk/kit/scoped_fd.h"

namespace elevard::wire {

// The size of the length field that opens every buffer message.
inline constexpr unsigned long kLengthFieldSize = 8;

// The payload length announced by a length field of kLengthFieldSize bytes as it came off the
// wire, or 0 when it announces no payload (a length of zero or less, which both ends count as a
// failed transfer). For readers that collect the bytes of a message themselves.
long announcedLength(const unsigned char* field);

// Receives one buffer message. `grow` is called with `context` and the announced length N
// (only when N > 0) and must return a destination of at least N bytes, or nullptr to refuse.
// Returns true when N > 0 and all N bytes arrived.
bool readBuffer(int socket, void* (*grow)(void*, long), void* context);

// Receives one integer message into `*value`. Returns false on end of stream, a read error or
// a length other than 8; `*value` is then unchanged.
bool readInt64(int socket, long* value);

// Receives one descriptor message. Returns the received descriptor (close-on-exec, owned by
// the caller), or -1 when nothing or anything but exactly one SCM_RIGHTS descriptor arrived;
// every descriptor of a refused message is closed. A wrong control level or type is printed
// as "control level != SOL_SOCKET" or "control type != SCM_RIGHTS".
int readFd(int socket);

// Sends one buffer message of `size` bytes from `data`. Returns true when size > 0 and every
// byte went out; a size <= 0 still writes the length and returns false. A failed write is
// printed as "sendData" (the length) or "write" (the payload).
bool sendBuffer(int socket, const void* data, long size);

// Sends one integer message. Returns true when all 16 bytes went out.
bool sendInt64(int socket, long value);

// Sends `fd` in one descriptor message and then closes `fd` in this process, whatever the
// outcome: the descriptor belongs to sendFd once it is called (-1 is sent as nothing and
// closes nothing). Returns true when sent; a failure is printed as "sendmsg".
bool sendFd(int socket, int fd);

// One reply as a value: the bytes of its messages, then the descriptor it passes, if any, and
// once it is handed on to be finished, the connection it goes to. Owns `socket` (a duplicate
// of the connection, so that the reply outlives the request's own descriptor) and
// `descriptor`; both close with it. Move-only; used by one thread at a time.
struct UnsentReply {
    velk::kit::ScopedFd socket;  // set only once the reply is handed on
    std::string head;            // the length field, written before `bytes`
    std::string bytes;           // the payload; `written` bytes of head, then bytes, are out
    size_t written = 0;
    size_t lengthBytes = 0;          // the size of `head`
    bool passesDescriptor = false;   // a descriptor message follows the bytes
    velk::kit::ScopedFd descriptor;  // what it passes; none passes nothing and fails the send
};

// The reply of one integer message, one buffer message of `payload` (an empty payload is a
// length field alone, which the client counts as a failed transfer), or one descriptor
// message passing `fd`. Exactly the bytes sendInt64, sendBuffer and sendFd write.
UnsentReply integerReply(long value);
UnsentReply bufferReply(std::string payload);
UnsentReply descriptorReply(velk::kit::ScopedFd fd);

enum class Progress { done, blocked, failed };

// Writes what `reply` holds on `socket`, then passes its descriptor (closing it here): done
// when everything is out; failed after perror with "sendData", "write" or "sendmsg" as the
// senders above print it. A blocking socket is waited on. A full non-blocking socket gives
// blocked when `keepWhenFull` (call again once it drains), else a failure like any other.
Progress sendReply(int socket, UnsentReply* reply, bool keepWhenFull);

// sendReply on the reply's own socket, never blocking: for a reply handed on to be finished.
Progress sendUnsent(UnsentReply* reply);

// Creates a close-on-exec stream socket connected to `path` (cut to 107 bytes). Returns the
// descriptor, owned by the caller, or -1 after printing "create socket error" when no socket
// could be created. A failed connect is not reported here: the first send on the returned
// socket fails instead.
int createConnectedSocket(const char* path);

}  // namespace elevard::wire
