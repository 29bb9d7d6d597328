// Blocking IPv4 sockets with time-outs: the listening socket, outgoing TCP
// connections and the result codes shared by the network operations.
#pragma once

#include "foundation/fd.h"
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

// Opens a listening TCP socket (backlog 512, SO_REUSEADDR, close-on-exec) on
// host (null or "" = all local addresses) and service. Returns true with sock
// owning the socket (never descriptor 0, 1 or 2) and *addrlen (when given)
// holding the bound address length; false with the resolver's text,
// "socket() or bind() error" or "listen() error" in err and sock empty.
bool TcpListen(const char* host, const char* service, unsigned int* addrlen, TFd& sock, String& err);
bool TcpListen(const char* host, int port, unsigned int* addrlen, TFd& sock, String& err);

// Connects a TCP socket to host:port. timeoutMs <= 0: a blocking connect;
// otherwise the socket is made non-blocking and stays so. Returns true with
// sock owning the connected socket and code IP_OK; false with code 0
// ("Timeout"), -2, -3 or -6, a text in err and sock empty (a socket that
// did not connect is closed).
bool PerformConnect(const char* host, int port, int timeoutMs, TFd& sock, int& code, String& err);

// A reachability probe: PerformConnect, then the socket is closed again.
// Returns the code of PerformConnect.
int TCPConnect(const char* host, int port, int timeoutMs, String& err);
