// IPv4 name resolution and the conversion of addresses to text. Everything here is safe to call from many threads at once.
#pragma once

#include <netinet/in.h>

#include "foundation/qdstring.h"
#include "net/net_failure.h"

// Resolves host to its first IPv4 address (network byte order) into addr.
// A dotted address is taken as it is, without a lookup, except the all-ones
// broadcast address, which goes to the look-up like a name (the system's
// resolver gives it back as it is). false with "Cannot
// resolve server name to IP address" or "Name resolution error: unknown
// address structure" in err (addr unchanged).
bool GetHostIP(const char* host, unsigned int& addr, String& err);

// The first IPv4 address (network byte order) of the local host name, or 0.
unsigned int GetMyIP();

// Resolves host (as GetHostIP) and fills an IPv4 socket address with the
// port. false with failure Resolve (GetHostIP's text) or Connect (a port
// outside 0-65535, with the system's "Invalid argument" text).
bool ResolveSockAddr(const char* host, int port, struct sockaddr_in& out, TNetFailure& failure, String& err);

// Writes the dotted form of addr into field, at most size - 1 characters,
// always terminated (when size > 0). Returns field.
char* inet_ntoa_safe(in_addr addr, char* field, int size);

// The dotted form of an address in network byte order.
String IP2String(unsigned int addr);
