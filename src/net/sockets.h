// Blocking IPv4 sockets with time-outs: the listening socket and outgoing
// TCP connections. Safe to call from many threads at once.
#pragma once

#include "foundation/fd.h"
#include "foundation/qdstring.h"
#include "net/net_failure.h"

// Opens a listening TCP socket (backlog 512, SO_REUSEADDR, close-on-exec) on
// host and service. Host null, "" or "::": every local address of both
// families on one IPv6 socket with IPV6_V6ONLY off (IPv4 clients arrive as
// IPv4-mapped addresses); on a host without IPv6 an IPv4 socket on every
// address instead. Host a literal of either family: that address. Host a
// name: its first IPv4 address that can be bound, else its first IPv6 one.
// Returns true with sock owning the socket (never descriptor 0, 1 or 2) and
// *addrlen (when given) holding the bound address length; false with the
// resolver's text, "socket() or bind() error" or "listen() error" in err and
// sock empty.
bool TcpListen(const char* host, const char* service, unsigned int* addrlen, TFd& sock, String& err);
bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, String& err);

// Connects a TCP socket to host:port. timeoutMs <= 0: a blocking connect;
// otherwise the socket is made non-blocking and stays so. Returns true with
// sock owning the connected socket; false with failure Timeout ("Timeout"),
// Resolve, Socket or Connect, a text in err and sock empty (a socket that
// did not connect is closed).
bool PerformConnect(const char* host, int port, int timeoutMs, TFd& sock, TNetFailure& failure, String& err);
