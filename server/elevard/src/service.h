#pragma once

#include <chrono>
#include <functional>

#include "service_loop.h"

class CommandsFactory;

// The number of worker threads, and so the number of commands that may run at once.
inline constexpr int kServiceWorkers = 16;

// How long the commands still running (or queued) at the first SIGTERM or SIGINT may take
// before the service stops at once.
inline constexpr std::chrono::seconds kStopGrace{30};

// Service mode, on the main thread; `factory` must no longer be written. Catches the
// broken-pipe signal (a write to a closed peer then fails instead of ending the process) and
// the stop signals, raises the soft open-file limit to the hard one, binds the Acceptor and
// starts the pool of kServiceWorkers workers. A few idle workers (kIdleWatchers) watch the
// listening socket; one of them accepts a connection and, when its command line is already
// there, runs it on the spot. A watcher inside one command for longer than kWatcherStuckAfter
// is replaced by an idle worker, so that commands that block hold up nobody else while a worker
// is free. When the line is not there yet, the main thread's event loop
// collects the line as its bytes arrive and posts it to the pool once complete. A connection
// that has not delivered the whole line kConnectionTimeout after it was accepted is closed; so
// is the oldest of them when the loop holds as many connections as the descriptor limit
// allows less a reserve. Connections are non-blocking: what of a reply the client does not
// take at once is written by the loop as it drains, and a reply not out kConnectionTimeout
// after it was ready closes its connection. The lines still arriving and the replies still
// going out hold at most 64 MiB between them; past that the oldest of those connections are
// closed. No worker ever waits on a client. Once the socket accepts, "READY=1" goes to
// systemd's NOTIFY_SOCKET, and "STOPPING=1" when a stop begins.
//
// The first SIGTERM or SIGINT stops the service: the socket is closed and its file removed,
// connections still sending their line are closed, the requests already read (running or
// queued) finish and send their replies whole, and then runService returns 0 once the workers
// are joined. A second signal, or requests still unfinished `stopGrace` after the first, end the
// process at once with kForcedStopStatus. Returns -1 when the workers, the socket or the event
// loop could not be set up (after the pool, if any, has been stopped and joined).
// `stopGrace` is kStopGrace in the service; tests shorten it. `whileStopping`, empty in the
// service, is called on the loop's thread during a stop each time the loop counts the unfinished
// requests and takes their hand-overs, between the two; tests widen that window with it.
int runService(const CommandsFactory& factory, std::chrono::milliseconds stopGrace = kStopGrace,
               std::function<void()> whileStopping = {});
