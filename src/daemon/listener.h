// The listening socket and the main loop: the loop hands the listener to
// the session workers (daemon/session_pool.h), whose admission is in
// daemon/admission.h, and then acts on what sessions and signals leave it
// (a stop, a restart, an upgrade, a port change).
//
// Main thread only, except where a function says otherwise.
#pragma once

#include "daemon/exit_codes.h"
#include "daemon/pidfile.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Attempts to open the listening socket, and the pause after each failed one.
constexpr int kListenAttempts = 3;
constexpr int kDefaultListenRetryMs = 1000;

// The pause between listen attempts: kDefaultListenRetryMs unless `text`
// (the hidden environment variable ZEL_LISTEN_RETRY_MS, which the tests set
// to wait less for a port in use) holds a whole number of milliseconds from
// 0 to 60000. Pure; any thread.
int ListenRetryPauseMs(const char* text);

// A connection reaches accept() when its first bytes arrive, or at the
// latest after about this long (the kernel's TCP_DEFER_ACCEPT).
constexpr int kDeferAcceptSeconds = 1;

// Opens the listening socket on host ("" = every local address of both
// families, see TcpListen) and port, in
// up to kListenAttempts attempts with a pause of retryPauseMs after each
// failed one. Returns true with sock owning the socket; false with sock
// empty and the error text of the last attempt in err ("Invalid port number",
// without any attempt, for a port outside 1-65535). Blocks the calling
// thread for the pauses; reads no global state; any thread.
bool Listen(const String& host, int port, int retryPauseMs, TFd& sock, String& err);

// What the main loop works with; only the main thread touches it. The
// pointers are borrowed from main and outlive the loop.
struct TServeContext {
    TFd listenSocket;           // empty while the agent has no listener
    int listenRetryPauseMs = kDefaultListenRetryMs;
    TPidFile* pidfile = nullptr;
    bool daemonMode = false;
    char** argv = nullptr;  // kept unchanged for a restart
    char** envp = nullptr;
};

// Sets the session pool's hooks (the admission of daemon/admission.h and
// the serving of a session), hands ctx.listenSocket to the session workers,
// which accept, admit and serve connections from then on, and starts the
// first of them. False with err when that failed; the main loop tries again
// every second. Once the listener is open, before ServeForever.
bool BeginServing(TServeContext& ctx, String& err);

// Runs the main loop until the agent stops; returns the process's exit
// code. The loop waits for signals and for the work sessions leave it (a
// stop, a restart, an upgrade, a port change) and does that work. Host and
// port come from the current settings whenever the listener is opened again
// (after a failed restart or a port change).
TExitCode ServeForever(TServeContext& ctx);
