// The step at which a network operation failed, for callers that answer a
// time-out differently from other failures.
#pragma once

enum class TNetFailure {
    None,     // no failure
    Timeout,  // a connect, send or receive ran out of time
    Resolve,  // the host name could not be resolved
    Socket,   // the socket could not be created or set up
    Send,     // a send failed
    Receive,  // a receive failed
    Connect,  // the connection failed (also a port outside 0-65535)
};
