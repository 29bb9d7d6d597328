// The listening socket and the accept loop of the main thread.
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

// What the accept loop works with; only the main thread touches it.
struct TServeContext {
    TFd listenSocket;           // empty while the agent has no listener
    // Held while descriptors are plentiful; when accept() finds none left
    // while every session slot is taken, it is given up for a moment to
    // take the waiting connection and close it (a refusal, as at the cap).
    TFd spareDescriptor = OpenSpareDescriptor();
    int listenRetryPauseMs = kDefaultListenRetryMs;
    TPidFile* pidfile = nullptr;
    bool daemonMode = false;
    char** argv = nullptr;  // kept unchanged for a restart
    char** envp = nullptr;
};

// Runs the accept loop until the agent stops; returns the process exit code.
// Host and port come from the current settings whenever the listener is
// opened again (after a failed restart or a port change).
int ServeForever(TServeContext& ctx);
