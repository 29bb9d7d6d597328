// One-way delivery of the send action: connect to a host over TCP or UDP,
// send a first piece of data, optionally pause and send a second, close.
// Nothing is read from the peer beyond draining it before the close.
// Safe to call from many threads at once (each call has its own socket).
#pragma once

#include "foundation/qdstring.h"

// The bound of each step of the action (the connect, every send): a peer
// that never accepts or never reads cannot hold the session for good.
inline constexpr int kSendActionBoundMs = 120000;
// How long the close waits for the peer to finish after the last send.
inline constexpr int kSendActionDrainMs = 1000;

struct TSendPlan {
    String host;       // dotted IPv4 address, IPv6 literal (brackets optional) or name
    int port = 0;
    bool tcp = true;   // false: one UDP datagram per piece of data
    String first;      // sent whole before anything else
    int pauseSec = 0;  // sleep before the second data (when above 0)
    String second;     // sent after the pause when not empty; its outcome is not reported
};

// Carries out the plan with every step bounded by boundMs (> 0).
// Returns true once the first data has been sent whole (whatever becomes of
// the second); otherwise false with the failed step's text in err (the
// system's text; for a passed bound, the text of ETIMEDOUT).
bool SendDataOneWay(const TSendPlan& plan, int boundMs, String& err);
