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

// What a non-blocking connection could not take at once of one reply: the bytes still to be
// written, then the descriptor still to be passed, if any. Owns `socket` (a duplicate of the
// connection, so that the reply outlives the request's own descriptor) and `descriptor`, and
// closes both when destroyed. Move-only; used by one thread at a time.
class UnsentReply {
public:
    UnsentReply() = default;
    ~UnsentReply();
    UnsentReply(UnsentReply&& other) noexcept;
    UnsentReply& operator=(UnsentReply&& other) noexcept;
    UnsentReply(const UnsentReply&) = delete;
    UnsentReply& operator=(const UnsentReply&) = delete;

    int socket = -1;
    std::string bytes;  // not yet written, in order; `written` of them are out
    size_t written = 0;
    size_t lengthBytes = 0;  // how many leading bytes of `bytes` belong to a length field
    int descriptor = -1;     // passed once every byte is out; -1 for none
};

// While it lives, the sends of the constructing thread on `socket`, a non-blocking connection,
// no longer fail when the socket is full: what it cannot take goes into reply() (from then on
// every later send on it too, so the order holds) and the send reports success. A send that
// fails for another reason fails as before. Without one, a full non-blocking socket fails the
// send like any error. One per thread at a time; not thread-safe.
class DeferredSends {
public:
    explicit DeferredSends(int socket);
    ~DeferredSends();
    DeferredSends(const DeferredSends&) = delete;
    DeferredSends& operator=(const DeferredSends&) = delete;

    // True once something was deferred; reply() then holds it, with its own socket.
    bool deferred() const { return reply_.socket >= 0; }
    UnsentReply& reply() { return reply_; }

    // For the senders: keeps `size` bytes from `data` (the first `lengthBytes` of them from a
    // length field), or takes over `fd`. False, after perror with `what`, when the connection
    // cannot be duplicated; keepDescriptor then has not taken `fd`.
    bool keepBytes(const char* data, size_t size, size_t lengthBytes, const char* what);
    bool keepDescriptor(int fd);

    // The instance installed for `socket` on the calling thread, or nullptr.
    static DeferredSends* forSocket(int socket);

private:
    bool holdSocket(const char* what);

    int socket_;
    DeferredSends* previous_;
    UnsentReply reply_;
};

enum class Progress { done, blocked, failed };

// Writes what `reply` holds, then passes its descriptor (closing it here), as far as its
// non-blocking socket takes them: done when everything is out, blocked when the socket is full
// (call again once it drains), failed after perror with "sendData", "write" or "sendmsg" as the
// senders above print it. Never blocks.
Progress sendUnsent(UnsentReply* reply);

// Creates a close-on-exec stream socket connected to `path` (cut to 107 bytes). Returns the
// descriptor, owned by the caller, or -1 after printing "create socket error" when no socket
// could be created. A failed connect is not reported here: the first send on the returned
// socket fails instead.
int createConnectedSocket(const char* path);

}  // namespace elevard::wire
