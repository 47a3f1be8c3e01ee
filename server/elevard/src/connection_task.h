#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "commands.h"
#include "elevard/wire/domain_socket.h"
#include "journal.h"
#include "velk/kit/scoped_fd.h"

class CommandsFactory;

// The longest command line a client may send, in bytes. A longer announced length is refused
// before anything is allocated for it.
inline constexpr long kMaxCommandLineLength = 64 * 1024;

// How long a client has, from the moment its connection is accepted, to deliver its whole
// command line; and, from the moment its reply is ready, to take the whole reply.
inline constexpr std::chrono::seconds kConnectionTimeout{10};

// Growth callback for readBuffer: `context` is the std::string* that receives the command
// line, `length` the length the client announced. Resizes the string to `length` bytes (new
// bytes are zero) and returns its first byte. Returns nullptr, leaving the string unchanged,
// when `length` is negative or above kMaxCommandLineLength or the memory cannot be had; the
// read then fails. Never throws.
void* reallocCallback(void* context, long length);

// One accepted connection while its command line arrives: the buffer message (length field,
// then that many bytes) is collected across as many readAvailable() calls as the client
// needs, without ever blocking. The line grows with the bytes that arrive, so a connection
// holds memory for what it sent, never for what it announced. Owns the connection until it is
// handed on with takeSocket() or the request is destroyed, which closes it. Move-only; used by
// one thread at a time.
class PendingRequest {
public:
    enum class State {
        reading,   // more bytes are needed; call readAvailable() again once some arrive
        complete,  // the whole command line is in line()
        refused,   // end of stream, a read error, or a length of zero or less or above
                   // kMaxCommandLineLength: nothing is to run, the connection is to be closed
    };

    // Takes over `socket`, a connected stream socket (blocking or not: it is only read with
    // MSG_DONTWAIT), accepted at `accepted`, and reads its caller's credentials.
    PendingRequest(velk::kit::ScopedFd socket, std::chrono::steady_clock::time_point accepted);
    // A request that still owns its connection, got part of a request and never a whole line
    // (refused, cut short, late, closed to make room or at a stop) becomes a journal entry when
    // standard output is the journal, so that no request goes unseen; nothing is printed.
    ~PendingRequest();
    PendingRequest(PendingRequest&&) = default;
    PendingRequest& operator=(PendingRequest&&) = default;

    // Reads whatever has arrived, without blocking, up to the end of the command line; bytes
    // the client sent after it may be read with it and are dropped. Once it has returned
    // complete or refused, the request must not be read again.
    State readAvailable();

    // When the command line must be complete: kConnectionTimeout after the connection was
    // accepted, however slowly its bytes arrive.
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }

    // The connection's descriptor, still owned here, for watching it; -1 once taken.
    int descriptor() const { return socket_.get(); }

    // The command line as received so far; whole once readAvailable() returned complete.
    const std::string& line() const { return line_; }

    // The caller, and when the whole line arrived (once readAvailable() returned complete;
    // before, when the connection was accepted).
    const RequestOrigin& origin() const { return origin_; }

    // Hands the connection on; the request then owns nothing.
    velk::kit::ScopedFd takeSocket() { return std::move(socket_); }

private:
    // A line this short comes in the same read as its length field.
    static constexpr size_t kShortLine = 248;

    // Takes `count` bytes read while the length field was incomplete: the rest of the field,
    // then the start of the line once its length is known. False to refuse.
    bool takeEarly(const unsigned char* bytes, size_t count);
    // Resizes line_; false when the memory cannot be had.
    bool resizeLine(size_t size);
    // The journal entry of a request that never got its whole line.
    void reportRefused() const;

    velk::kit::ScopedFd socket_;
    std::chrono::steady_clock::time_point deadline_;
    unsigned char lengthField_[elevard::wire::kLengthFieldSize] = {};
    size_t lengthFieldReceived_ = 0;
    size_t announced_ = 0;  // the line's length, once the length field is complete
    std::string line_;
    RequestOrigin origin_;
    bool complete_ = false;
};

// Runs one complete request on the calling thread: executeCommand with its line and its
// non-blocking connection, whose ownership passes on to the registry's request object, which
// closes it after the handler. What of the reply the connection cannot take at once goes, with
// a duplicate of the connection, to `carrier`; the thread never waits on the client. `factory`
// and `carrier` are only read here, so any number of requests may run at once.
void runRequest(PendingRequest request, const CommandsFactory& factory, ReplyCarrier& carrier);

// runRequest as a task for a worker. A task that is destroyed without having run closes the
// connection instead. `factory` and `carrier` must outlive the task.
std::function<void()> makeConnectionTask(PendingRequest request, const CommandsFactory& factory,
                                         ReplyCarrier& carrier);
