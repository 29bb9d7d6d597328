// Admission of the connections the session workers accept: the connection
// filter, the descriptor limit, the session caps (daemon/session_limits.h),
// the spare descriptor that lets a worker refuse a connection when none is
// left, and the rate-limited messages of refusals and accept errors.
//
// AdmitConnection and OnAcceptFailed are the session pool's admit and
// accept-failure hooks (daemon/session_pool.h): they run on the session
// workers, concurrently. Every function here is thread-safe.
#pragma once

#include "foundation/fd.h"
#include "net/address.h"

// The admit hook: a connection the session worker has just accepted. It may
// wait while the descriptor limit has dropped below the connection's
// descriptor (see below), then applies the connection filter ("TCP
// connection rejected") and the session caps ("TCP connection refused: too
// many sessions"); both refusals are recorded in the audit trail,
// rate-limited per address and reason (daemon/audit.h). With every slot
// taken, a connection from an address under its own cap takes the slot of a
// session that still waits for its password proof (daemon/session_limits.h).
// True when admitted: the connection is then
// counted as a session (AgentStatus, daemon/session_limits.h) until the
// session ends. False when refused: `client` has been shut down and closed.
//
// A worker waiting in accept() holds the number of its next descriptor from
// before the connection came. When the limit has dropped below it since,
// the agent is in fact out of descriptors: the connection waits, as it
// would in the queue, until the limit allows it again (at most the request
// cap of a session), and the shortage is reported like any other; with
// every session slot taken it goes on at once to the caps (where it may take
// a waiting session's slot, or is refused).
bool AdmitConnection(TFd& client, const TNetAddress& peer);

// The accept-failure hook: accept() on listenFd failed with `error`.
// Transient errors (TransientAcceptError) are reported ("Accept error: ...",
// rate-limited) and the worker goes on: after a pause when descriptors are
// short (a short one while sessions whose slots were taken over still close
// theirs), or, with every session slot taken, after spending the spare
// descriptor to take the waiting connection and close it. Any other error
// is kept for TakeFatalAcceptError, the main loop is woken, and the result
// is false: the listener is broken for good.
bool OnAcceptFailed(int error, int listenFd);

// Errors of accept() that concern one connection or a passing shortage of
// resources: the agent reports them and keeps serving.
bool TransientAcceptError(int error);

// Opens the spare descriptor when none is held: at the start of serving and
// on every pass of the main loop, after a worker spent it.
void KeepSpareDescriptor();

// A descriptor for the reserve (of /dev/null, close-on-exec); invalid when
// none is left.
TFd OpenSpareDescriptor();

// The error that broke the listener for good since the last call, 0 when
// none. The main loop ends the agent on it.
int TakeFatalAcceptError();
