// Blocking sockets with time-outs: the listening socket and outgoing TCP
// connections (IPv4 and IPv6). Safe to call from many threads at once.
#pragma once

#include "foundation/fd.h"
#include "foundation/qdstring.h"
#include "net/net_failure.h"
#include "net/resolve.h"

// Opens a listening TCP socket (backlog 512, SO_REUSEADDR, close-on-exec) on
// host and service. Host null, "" or "::": every local address of both
// families on one IPv6 socket with IPV6_V6ONLY off (IPv4 clients arrive as
// IPv4-mapped addresses); on a host without IPv6 an IPv4 socket on every
// address instead. Host a literal of either family: that address. Host a
// name: its first IPv4 address that can be bound, else its first IPv6 one.
// Returns true with sock owning the socket (never descriptor 0, 1 or 2) and
// *addrlen (when given) holding the bound address length; false with the
// resolver's text, "socket() or bind() error" or "listen() error" in err and
// sock empty. The texts do not carry the system's reason: the form with
// systemError gives the errno of the last failed call there, 0 when the
// failure was the resolver's (and on success).
bool TcpListen(const char* host, const char* service, unsigned int* addrlen, TFd& sock, String& err);
bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, String& err);
bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, int& systemError, String& err);

// Connects a TCP socket to host:port. host is a dotted IPv4 address, an
// IPv6 literal with or without brackets, or a name; a name's addresses (of
// both families) are tried in the resolver's order, as ConnectFirst tries
// them. timeoutMs <= 0: a blocking connect;
// otherwise the socket is made non-blocking and stays so. Returns true with
// sock owning the connected socket; false with failure Timeout ("Timeout"),
// Resolve, Socket or Connect, a text in err and sock empty (a socket that
// did not connect is closed).
bool PerformConnect(const char* host, int port, int timeoutMs, TFd& sock, TNetFailure& failure, String& err);

// Connects a TCP socket to the first of addrs (ports included) that takes
// the connection, trying them one after another in their order. With
// timeoutMs > 0 all the attempts together stay within it: each address
// gets the time left divided by the number of addresses not yet tried (a
// refused address leaves its share to the next ones), and the socket is
// non-blocking and stays so. timeoutMs <= 0: a blocking connect to each in
// turn. true with sock owning the connected socket; false with the
// failure and text of the last attempt (Timeout "Timeout", Socket or
// Connect; Resolve "Cannot resolve server name to IP address" for an empty
// list) and sock empty (every socket that did not connect is closed).
bool ConnectFirst(const std::vector<TSockAddr>& addrs, int timeoutMs, TFd& sock, TNetFailure& failure, String& err);
