// Name resolution to IPv4 and IPv6 addresses and the conversion of
// addresses to text. Everything here is safe to call from many threads at
// once.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

#include "foundation/qdstring.h"
#include "net/net_failure.h"

struct addrinfo;

// Frees a list of getaddrinfo(): the deleter of an owner of one,
// std::unique_ptr<addrinfo, TAddrInfoFree>.
struct TAddrInfoFree {
    void operator()(addrinfo* list) const;
};

// Resolves host to its first IPv4 address (network byte order) into addr.
// A dotted address is taken as it is, without a lookup, except the all-ones
// broadcast address, which goes to the look-up like a name (the system's
// resolver gives it back as it is). false with "Cannot
// resolve server name to IP address" or "Name resolution error: unknown
// address structure" in err (addr unchanged). IPv4 only: a name with IPv6
// addresses only, and an IPv6 literal, do not resolve here (the callers
// need an IPv4 address); ResolveHostAddrs takes both families.
bool GetHostIP(const char* host, unsigned int& addr, String& err);

// The first IPv4 address (network byte order) of the local host name, or 0.
unsigned int GetMyIP();

// The text of the local host's own address: the first IPv4 address of the
// local host name in dotted form when it has one, else its first IPv6
// address, else "0.0.0.0".
String MyAddressText();

// One socket address of either family, port included. A plain value.
struct TSockAddr {
    sockaddr_storage storage{};
    socklen_t len = 0;  // 0: no address

    int Family() const { return storage.ss_family; }
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    // The port (host order); 0 for no address.
    int Port() const;
    // Sets the port (0 to 65535) of an IPv4 or IPv6 address.
    void SetPort(int port);
    // The address as the system writes it, without the port: "127.0.0.1",
    // "::1", "fe80::1%eth0"; empty for no address.
    String Text() const;
    bool operator==(const TSockAddr& o) const;
};

// An IPv4 address (network byte order) and port as a TSockAddr.
TSockAddr SockAddrV4(unsigned int addr, int port);

// A host text that names an address without a look-up: a dotted IPv4
// address (as GetHostIP takes it), or an IPv6 literal with or without
// brackets ("::1", "[::1]", "fe80::1%lo", "[fe80::1%lo]"). true with the
// address and port 0 in addr. A text in brackets that is no IPv6 literal
// ("[127.0.0.1]", "[::1]:80", "[name]") is no host at all: bracketed is
// set and the text never goes to the resolver.
bool ParseNumericHost(const char* host, TSockAddr& addr, bool& bracketed);

// Resolves host to its first IPv4 and its first IPv6 address, in the
// resolver's order (a literal of ParseNumericHost: itself, without a
// look-up), each with port: a name with several addresses of one family is
// tried at the first, as a look-up of that family alone gives it. socktype (SOCK_STREAM, SOCK_DGRAM) is the
// kind of socket the addresses are for. false with failure Resolve and
// "Cannot resolve server name to IP address" (no such name, an empty or
// null host, a bracketed text that is no IPv6 literal) or "Name resolution
// error: unknown address structure" (only addresses of other families), or
// failure Connect and the system's "Invalid argument" for a port outside
// 0-65535 (a name is resolved first, so an unknown name says so whatever
// the port). out is empty on failure.
bool ResolveHostAddrs(const char* host, int port, int socktype, std::vector<TSockAddr>& out, TNetFailure& failure,
                      String& err);

// Writes the dotted form of addr into field, at most size - 1 characters,
// always terminated (when size > 0). Returns field.
char* inet_ntoa_safe(in_addr addr, char* field, int size);

// The dotted form of an address in network byte order.
String IP2String(unsigned int addr);
