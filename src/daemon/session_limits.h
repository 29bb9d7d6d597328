// Caps on concurrent sessions, so that clients that connect and then send
// slowly or not at all cannot take every thread and descriptor of the agent.
//
// The session workers' admission (daemon/admission.h) lets a connection in
// only while the agent runs fewer than the total cap of sessions and fewer
// than the per-address cap for the client's address; an excess connection
// is closed at once without a reply.
// Both caps shrink with the descriptor limit of the process (RLIMIT_NOFILE),
// so that sessions never use the descriptors the agent and its handlers need.
#pragma once

#include "net/address.h"

// Sessions at once, in all and from one client address. A monitoring server
// opens a handful of connections at a time; these are far above that.
constexpr int kSessionLimit = 4096;
constexpr int kSessionLimitPerAddress = 256;
// Descriptors left to the agent itself and to the work of the handlers
// (files, pipes, probe sockets): this many, but at most half the limit.
constexpr int kSessionDescriptorHeadroom = 64;

struct TSessionLimits {
    int total = kSessionLimit;
    int perAddress = kSessionLimitPerAddress;
};

// The caps for a process allowed `maxDescriptors` open descriptors (0 or
// less: no known limit): the total is at most the limit less the headroom,
// and one address gets at most three quarters of the total, so that another
// address (the monitoring server) still finds room. Both are at least 1.
constexpr TSessionLimits SessionLimitsFor(long long maxDescriptors) {
    TSessionLimits lim;
    if (maxDescriptors > 0) {
        long long headroom = maxDescriptors / 2 < kSessionDescriptorHeadroom ? maxDescriptors / 2
                                                                               : kSessionDescriptorHeadroom;
        long long room = maxDescriptors - headroom;
        if (room < lim.total) lim.total = room < 1 ? 1 : static_cast<int>(room);
    }
    int share = lim.total - lim.total / 4;
    if (share < lim.perAddress) lim.perAddress = share < 1 ? 1 : share;
    return lim;
}

// The process's descriptor limit of the moment (RLIMIT_NOFILE), 0 when
// there is none.
long long CurrentDescriptorLimit();
// The caps for the process's descriptor limit of the moment.
TSessionLimits CurrentSessionLimits();

// Admission, by the session worker that accepted the connection: true when
// one more session from `address` stays within `lim`; it is then counted
// until ReleaseSession. Thread-safe.
//
// The per-address cap holds for an IPv4 address, and for an IPv6 address
// both for the address and for its /64 network: one host cannot take more
// than the cap by rotating its addresses inside its prefix. Below, "the
// address" of an IPv6 client, where sessions are weighed against other
// clients', is its /64.
//
// A session is "waiting" from its admission until MarkSessionProven: the
// sender has not yet shown that it knows the password. Waiting sessions
// never keep a client out: when every slot is taken (and no more, as after
// a lowered descriptor limit), a connection whose address is still under
// its own cap takes the slot of a waiting session, whose connection
// (`socket` given at its admission) is shut down here so that its worker
// sees it end and releases it. The slot taken is that of the oldest waiting
// session of the address with the most waiting sessions, and only when that
// address has more waiting sessions than the newcomer's address has
// sessions: clients that hold many slots lose theirs first, addresses that
// share the slots evenly do not take them from each other over and over,
// and the single waiting session of a server whose request is read at once
// is practically never taken. A slot of a proven session is never taken. Sessions admitted without a socket (-1)
// are counted but never taken over.
bool AdmitSession(const TNetAddress& address, const TSessionLimits& lim, int socket = -1);
// The session on `socket` has shown the password proof: its slot is no
// longer taken by newcomers. False when the slot was already taken over (the
// connection has been shut down: the session must end without serving);
// true otherwise, also for a socket not registered. Thread-safe.
bool MarkSessionProven(int socket);
// The end of an admitted session (by the session worker that served it),
// called while `socket` is still open. A session whose slot was taken over
// is no longer counted and this does nothing. Without a socket, one session
// of `address` is uncounted. Thread-safe.
void ReleaseSession(const TNetAddress& address, int socket = -1);
// Admitted sessions now, in all, from one address, and from the /64 of an
// IPv6 address (for an IPv4 address: from that address). Thread-safe.
int AdmittedSessions();
int AdmittedSessionsFrom(const TNetAddress& address);
int AdmittedSessionsFromPrefix(const TNetAddress& address);
// Sessions admitted with a socket that still wait for their proof.
// Thread-safe.
int WaitingSessions();
// Sessions whose slot was taken over and whose workers have not yet
// released them: their descriptors are still open, and will be shortly.
// Thread-safe.
int DrainingSessions();
