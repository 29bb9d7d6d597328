// Blocking IPv4 sockets with time-outs: the listening socket, outgoing TCP
// connections and the result codes shared by the network operations.
#pragma once

#include "foundation/qdstring.h"

// Result codes of the connect, read and send operations.
enum : int {
    IP_OK = 1,              // success of a connect or resolve
    IP_TIMEOUT = 0,         // a time-out while connecting or reading
    IP_ERR_INIT = -1,       // never produced on this platform
    IP_ERR_RESOLVE = -2,    // name resolution failed
    IP_ERR_SOCKET = -3,     // socket creation or set-up failed
    IP_ERR_SEND = -4,       // a send failed
    IP_ERR_READ = -5,       // a receive failed
    IP_ERR_CONNECT = -6,    // a connect failed
    IP_ERR_WINSOCK = -7,    // never produced on this platform
};

// The generic text of each result code, indexed by the code plus 7.
extern const char* const ipErrMsg[9];
// The generic text of a result code ("" for unknown codes and for 1).
const char* IpErrText(int code);

// Opens a listening TCP socket (backlog 512, SO_REUSEADDR) on host (null or
// "" = all local addresses) and service. Returns the descriptor (never 0),
// or 0 with the resolver's text, "socket() or bind() error" or "listen()
// error" in err. *addrlen (when given) receives the bound address length.
int TcpListen(const char* host, const char* service, unsigned int* addrlen, String& err);
int TcpListen(const char* host, int port, unsigned int* addrlen, String& err);

// Connects a TCP socket to host:port. timeoutMs <= 0: a blocking connect;
// otherwise the socket is made non-blocking and stays so. sock receives the
// descriptor (or -1) whatever the result, and the caller owns it.
// Returns 1, 0 ("Timeout"), -2, -3 or -6 with a text in err.
int PerformConnect(int& sock, const char* host, int port, int timeoutMs, String& err);

// A reachability probe: PerformConnect, then the socket is closed again.
int TCPConnect(const char* host, int port, int timeoutMs, String& err);
