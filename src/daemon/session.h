// Client sessions: each accepted connection is served by a session worker
// (daemon/session_pool.h), which reads one request packet, has it
// dispatched and sends one reply (two for a self-upgrade).
#pragma once

#include <chrono>

#include "daemon/dispatcher.h"
#include "daemon/session_pool.h"
#include "foundation/fd.h"

// A request must arrive whole within the `timeout` setting, counted in whole
// seconds from the connection (however its bytes are spread), and in any
// case, whatever the setting, within this cap.
constexpr std::chrono::seconds SESSION_REQUEST_CAP{300};

// How long a session waits for a client that does not take its reply.
constexpr int SESSION_SEND_TIMEOUT_SECONDS = 30;

// Serves one connection to its end on the calling thread: reads,
// dispatches, replies, closes, and uncounts the session (StartSession
// counted it in AgentStatus).
void ServeConnection(TFd socket, in_addr address);

// Hands the connection to a session worker, which takes it over. The
// caller has admitted the session (AdmitSession, daemon/session_limits.h);
// the session releases it once the connection is closed. On failure (no
// worker free and none can be started) the connection is shut down and
// closed, false returned with the reason in err, and the admission is still
// the caller's to release.
bool StartSession(TFd socket, in_addr address, String& err);
