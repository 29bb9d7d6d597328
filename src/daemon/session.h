// Client sessions: each accepted connection is served by a session worker
// (daemon/session_pool.h), which reads one request packet, has it
// dispatched and sends one reply (two for a self-upgrade).
#pragma once

#include "daemon/dispatcher.h"
#include "daemon/session_pool.h"
#include "foundation/fd.h"

// How long a session waits for a client that does not take its reply.
constexpr int SESSION_SEND_TIMEOUT_SECONDS = 30;

// Serves one connection to its end on the calling thread: counts it in
// AgentStatus, reads, dispatches, replies, closes.
void ServeConnection(TFd socket, in_addr address);

// Hands the connection to a session worker, which takes it over. On failure
// (no worker free and none can be started) the connection is shut down and
// closed and false returned with the reason in err.
bool StartSession(TFd socket, in_addr address, String& err);
