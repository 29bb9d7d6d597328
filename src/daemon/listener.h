// The listening socket, the admission of accepted connections, and the
// main loop that acts on what sessions and signals ask for.
#pragma once

#include <chrono>

#include "daemon/pidfile.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Attempts to open the listening socket, and the pause after each failed one.
constexpr int kListenAttempts = 3;
constexpr int kDefaultListenRetryMs = 1000;
// Before a restart or an upgrade replaces the process, sessions in the
// middle of a request get this long to finish.
constexpr std::chrono::seconds kReplaceGrace{3};

// A message that can repeat many times a second (accept errors, refused
// connections) is shown at most once per this interval, with the number of
// repeats left out since.
constexpr std::chrono::seconds kRepeatedMessageInterval{10};

// The pause between listen attempts: kDefaultListenRetryMs unless `text`
// (the hidden environment variable ZEL_LISTEN_RETRY_MS, which the tests set
// to wait less for a port in use) holds a whole number of milliseconds from
// 0 to 60000.
int ListenRetryPauseMs(const char* text);

// A connection reaches accept() when its first bytes arrive, or at the
// latest after about this long (the kernel's TCP_DEFER_ACCEPT).
constexpr int kDeferAcceptSeconds = 1;

// Opens the listening socket on host ("" = all local addresses) and port, in
// up to kListenAttempts attempts with a pause of retryPauseMs after each
// failed one. Returns true with sock owning the socket; false with sock
// empty and the error text of the last attempt in err ("Invalid port number",
// without any attempt, for a port outside 1-65535). Blocks the calling
// thread for the pauses; reads no global state.
bool Listen(const String& host, int port, int retryPauseMs, TFd& sock, String& err);

// A descriptor kept in reserve (of /dev/null, close-on-exec); invalid when
// none is left.
TFd OpenSpareDescriptor();

// What the main loop works with; only the main thread touches it.
struct TServeContext {
    TFd listenSocket;           // empty while the agent has no listener
    int listenRetryPauseMs = kDefaultListenRetryMs;
    TPidFile* pidfile = nullptr;
    bool daemonMode = false;
    char** argv = nullptr;  // kept unchanged for a restart
    char** envp = nullptr;
};

// Hands ctx.listenSocket to the session workers (daemon/session_pool.h),
// which accept, admit and serve connections from then on, and starts the
// first of them. False with err when that failed; the main loop tries again
// every second. Main thread, once the listener is open.
bool BeginServing(TServeContext& ctx, String& err);

// Runs the main loop until the agent stops; returns the process exit code.
// The loop waits for signals and for the work sessions leave it (a stop, a
// restart, an upgrade, a port change) and does that work. Host and port come
// from the current settings whenever the listener is opened again (after a
// failed restart or a port change).
int ServeForever(TServeContext& ctx);

// Called by a session worker at the end of every session: wakes the main
// loop when the session left it work. Thread-safe.
void NoteSessionEnd();
