// Complete client exchanges over TCP and UDP: open a socket to a host and
// port, optionally send one buffer, optionally wait a bounded time for one
// answer, close the socket, and report the outcome as one signed result
// code (the codes of net/sockets.h) plus an error text.
//
// Every function here is safe to call from many threads at once: each call
// uses only its own socket and the caller's buffers. Nothing throws; every
// path closes the socket it opened.
#pragma once

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// One TCP exchange with host:port (dotted IPv4 address or name).
//
// timeoutMs bounds the connection, the whole send and the wait for an
// answer (each on its own); 0 connects without a bound and then waits for
// nothing. Connects (net/sockets.h PerformConnect), sends
// all sendLen bytes of sendBuf when sendLen > 0 (continuing partial sends,
// waiting for room within the time-out), then, when recvLen > 0, waits for
// the first chunk of the answer and reads at most recvLen bytes of it into
// recvBuf (which must hold recvLen bytes).
//
// Returns, with err:
//   > 0  the byte count received, or 1 when nothing was to be received; ""
//   0    "Timeout" (connect, send or answer), or "" when the peer closed
//        the connection without sending anything
//   -2   the host name could not be resolved
//   -3   the socket could not be created or set up (system's text)
//   -4   sending failed (system's text)
//   -5   receiving failed (system's text)
//   -6   the connection failed (system's text); also a port outside
//        0-65535 and a negative timeoutMs ("Invalid argument"), neither of
//        which connects
int SendReceiveTCPPacket(const char* host, int port, int timeoutMs, const char* sendBuf, char* recvBuf,
                         int sendLen, int recvLen, String& err);

// One UDP exchange with host:port. timeoutSec (whole seconds) bounds only
// the wait for an answer; a negative one is a time-out at once. Sends the
// sendLen bytes of sendBuf as one datagram when sendLen > 0, then, when
// recvLen > 0, waits for one datagram from any sender and keeps at most
// recvLen bytes of it in recvBuf.
//
// Returns the byte count received, or when nothing was to be received the
// byte count sent (err ""); else 0 "Timeout", -2, -3, -4 ("Message too
// long" for a datagram above the protocol's limit), -5 with a text, or -6
// "Invalid argument" for a port outside 0-65535.
int SendReceiveUDPPacket(const char* host, int port, int timeoutSec, const char* sendBuf, char* recvBuf,
                         int sendLen, int recvLen, String& err);

// Sends all len bytes of data on a connected socket (stream or datagram,
// blocking or not), waiting for room as needed, for at most timeoutMs in
// all. Returns 1 when everything was sent (or len < 1), 0 with "Timeout"
// when the time ran out first, -4 with the system's text on failure.
// Never raises SIGPIPE.
int SendAll(int fd, const char* data, long long len, int timeoutMs, String& err);

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
