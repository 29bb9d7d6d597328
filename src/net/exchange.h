// Complete client exchanges over TCP and UDP: open a socket to a host and
// port, optionally send one buffer, optionally wait a bounded time for one
// answer, close the socket, and report the outcome: the byte count
// received, or the failed step (net/net_failure.h) with an error text.
//
// Every function here is safe to call from many threads at once: each call
// uses only its own socket and the caller's buffers. Nothing throws; every
// path closes the socket it opened.
#pragma once

#include "foundation/fd.h"
#include "foundation/qdstring.h"
#include "net/net_failure.h"

// One TCP exchange with host:port. host is a dotted IPv4 address, an IPv6
// literal with or without brackets ("::1", "[::1]") or a name; a name with
// several addresses (of both families) is connected as PerformConnect does:
// in the resolver's order, each address with its share of the time-out.
//
// timeoutMs bounds the connection, the whole send and the wait for an
// answer together: one deadline from the call, so that the exchange never
// outlasts it; 0 connects without a bound and then waits for nothing. Connects (net/sockets.h PerformConnect), sends
// all sendLen bytes of sendBuf when sendLen > 0 (continuing partial sends,
// waiting for room within the time-out), then, when recvLen > 0, waits for
// the first chunk of the answer and reads at most recvLen bytes of it into
// recvBuf (which must hold recvLen bytes).
//
// Returns true with received = the byte count received: 0 when nothing was
// to be received, or when the peer closed the connection without sending
// anything. false with failure and err:
//   Timeout  "Timeout" (connect, send or answer)
//   Resolve  the host name could not be resolved
//   Socket   the socket could not be created or set up (system's text)
//   Send     sending failed (system's text)
//   Receive  receiving failed (system's text)
//   Connect  the connection failed (system's text); also a port outside
//            0-65535 and a negative timeoutMs ("Invalid argument"), neither
//            of which connects
bool SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuf, char* recvBuf,
                          int sendLen, int recvLen, int& received, TNetFailure& failure, String& err);

// One UDP exchange with host:port (host as for TCP). timeoutSec (whole
// seconds) bounds only the wait for an answer; a negative one is a time-out
// at once. Sends the sendLen bytes of sendBuf as one datagram when
// sendLen > 0, to the first of the host's addresses (in the resolver's
// order) for which a socket can be made and the send succeeds, then, when
// recvLen > 0, waits for one datagram from any sender and keeps at most
// recvLen bytes of it in recvBuf.
//
// Returns true with received = the byte count received (0 when nothing was
// to be received, or for an empty datagram); false with failure Timeout
// ("Timeout"), Resolve, Socket, Send ("Message too long" for a datagram
// above the protocol's limit), Receive, or Connect ("Invalid argument" for
// a port outside 0-65535), and the text in err.
bool SendReceiveUDPPacket(const char* host, int port, int timeoutSec, const char* sendBuf, char* recvBuf,
                          int sendLen, int recvLen, int& received, TNetFailure& failure, String& err);

// Closes a socket that has sent what it had to send. A stream socket first
// shuts down its sending side and reads and discards whatever the peer
// sends until the peer closes or drainMs passes, so that unread input does
// not turn the close into a reset that could make the peer drop the data
// just sent. Leaves fd empty.
void CloseAfterSending(TFd& fd, int drainMs);

// A host parameter as the C text the functions above take: a text holding
// a NUL byte names no host (it must not be cut short to a different name),
// so it becomes "", which never resolves.
inline const char* HostText(const String& host) { return host.Pos('\0') > 0 ? "" : host.Data(); }
