#pragma once

#include <chrono>
#include <functional>

class CommandsFactory;

// The longest command line a client may send, in bytes. A longer announced length is refused
// before anything is allocated for it.
inline constexpr long kMaxCommandLineLength = 64 * 1024;

// How long one receive or one send on a connection may block before the connection counts as
// failed, so that a client that stalls frees its worker.
inline constexpr std::chrono::seconds kConnectionTimeout{10};

// Growth callback for readBuffer: `context` is the std::string* that receives the command
// line, `length` the length the client announced. Resizes the string to `length` bytes (new
// bytes are zero) and returns its first byte. Returns nullptr, leaving the string unchanged,
// when `length` is negative or above kMaxCommandLineLength or the memory cannot be had; the
// read then fails. Never throws.
void* reallocCallback(void* context, long length);

// Gives `socket` a receive and a send timeout of kConnectionTimeout. Returns false, after
// printing the reason with perror, when either cannot be set; the caller keeps the socket.
bool setConnectionTimeouts(int socket);

// The task that serves one accepted connection on a worker: reads one command line and runs
// it through executeCommand with the connection, or closes the connection when no line could
// be read (end of stream, read error or timeout, a length of zero or less, a refused length).
// The task owns `socket` and closes it exactly once; `factory` must outlive the task and is
// only read, so any number of tasks may run at once.
std::function<void()> makeConnectionTask(int socket, const CommandsFactory& factory);
