// Client sessions: each accepted connection is served by the session worker
// that accepted it (daemon/session_pool.h), which reads one request packet,
// has it dispatched and sends one reply (two for a self-upgrade).
#pragma once

#include <chrono>

#include "daemon/dispatcher.h"
#include "daemon/session_pool.h"
#include "foundation/fd.h"
#include "net/address.h"

// A request must arrive whole within the `timeout` setting, counted in whole
// seconds from the connection (however its bytes are spread), and in any
// case, whatever the setting, within this cap.
constexpr std::chrono::seconds kSessionRequestCap{300};

// How long a session waits for a client that does not take its reply: the
// whole reply is sent within this one deadline, however the client reads.
constexpr int kSessionSendTimeoutSeconds = 30;

// Serves one admitted connection to its end on the calling thread (a
// session worker): reads, dispatches, replies, closes, and uncounts the
// session (the admission counted it in AgentStatus and in
// daemon/session_limits.h). A finished upgrade transfer sets the Upgrade
// flag of ZELFlags. Waking the main loop for the work a request left it is
// the caller's business (the serve hook of daemon/listener.cpp). Takes
// ownership of `socket`; any number of workers call it concurrently.
void ServeConnection(TFd socket, const TNetAddress& address);
