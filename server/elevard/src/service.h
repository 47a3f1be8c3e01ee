#pragma once

class CommandsFactory;

// The number of worker threads, and so the number of commands that may run at once.
inline constexpr int kServiceWorkers = 16;

// Service mode: catches the broken-pipe signal (a write to a closed peer then fails instead
// of ending the process), starts the pool of kServiceWorkers workers, binds the Acceptor and then
// serves one command line per accepted connection for ever, each connection with the timeouts of
// setConnectionTimeouts. Returns -1 only when the workers or the socket could not be set up (after
// the pool, if any, has been stopped and joined); otherwise never returns. Runs on the main thread;
// `factory` must no longer be written.
int runService(const CommandsFactory& factory);
