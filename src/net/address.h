// A client or list address of either family: IPv4 or IPv6, tagged with its
// family, at most 16 bytes, comparable and hashable, so that the filter,
// the session caps, the audit and the messages treat both families alike.
//
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d, what a dual-stack listener
// reports for an IPv4 client) is always turned into the IPv4 address it
// carries: such a client is seen, filtered, counted and logged as its IPv4
// address, never as ::ffff:a.b.c.d.
//
// A plain value: copies are cheap, every function is pure (thread-safe, no
// locks, nothing kept).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/qdstring.h"

// Characters of the longest address text (an IPv6 address ending in a
// dotted IPv4 part), without the terminating NUL.
inline constexpr size_t kNetAddressTextMax = INET6_ADDRSTRLEN - 1;

class TNetAddress {
public:
    // No address: the client of a message that has none (LOCAL).
    constexpr TNetAddress() = default;
    // An IPv4 address in network byte order. Implicit, so that code written
    // for IPv4 clients keeps working; 0.0.0.0 gives no address, as the
    // address 0 always meant "no client".
    TNetAddress(in_addr v4);  // NOLINT(google-explicit-constructor)

    // An IPv4 address in host byte order (0 included: 0.0.0.0).
    static TNetAddress FromV4HostOrder(uint32_t v4);
    // An IPv6 address; an IPv4-mapped one gives its IPv4 address.
    static TNetAddress FromV6(const in6_addr& v6);
    // The address of a socket address of family AF_INET or AF_INET6 (as
    // accept() and getpeername() fill it) of `length` bytes. False for
    // another family or a short length; `out` is then unchanged.
    static bool FromSockAddr(const sockaddr* sa, socklen_t length, TNetAddress& out);
    // Parses a literal: a dotted IPv4 address (four decimal parts 0-255) or
    // an IPv6 address in any of its text forms (compressed or not, with a
    // dotted IPv4 tail), without brackets, zone or prefix. False when the
    // text is none of these; `out` is then unchanged.
    static bool Parse(std::string_view text, TNetAddress& out);

    // AF_UNSPEC (no address), AF_INET or AF_INET6.
    int Family() const { return family_; }
    bool IsNone() const { return family_ == AF_UNSPEC; }
    bool IsV4() const { return family_ == AF_INET; }
    bool IsV6() const { return family_ == AF_INET6; }
    // The bytes in network order: 4 for IPv4, 16 for IPv6, 0 for none.
    int Length() const { return IsV4() ? 4 : IsV6() ? 16 : 0; }
    const uint8_t* Bytes() const { return bytes_.data(); }
    // The IPv4 address in host byte order; 0 unless IsV4().
    uint32_t V4HostOrder() const;

    // The address with every bit after the first `bits` cleared (bits is
    // taken at most as the family's width: 32 or 128).
    TNetAddress Masked(int bits) const;
    // The address with every bit after the first `bits` set: the last
    // address of that prefix.
    TNetAddress Filled(int bits) const;
    // The /64 network an IPv6 address belongs to (Masked(64)); an IPv4
    // address or none is returned unchanged.
    TNetAddress Prefix64() const;

    // The text: dotted decimal for IPv4 (as inet_ntoa gives it), the
    // standard compressed form for IPv6 (RFC 5952, as inet_ntop gives it),
    // "" for none. At most kNetAddressTextMax characters.
    String Text() const;
    // The same into `field` of `size` bytes (cut to fit, always
    // terminated when size > 0); returns field.
    char* Format(char* field, size_t size) const;

    // Ordered by family, then numerically, so that for one family a <= b
    // reads as the numeric order of the addresses.
    auto operator<=>(const TNetAddress&) const = default;
    bool operator==(const TNetAddress&) const = default;

    // A hash for unordered containers.
    size_t Hash() const;

private:
    uint8_t family_ = AF_UNSPEC;
    std::array<uint8_t, 16> bytes_{};  // unused bytes are 0
};

struct TNetAddressHash {
    size_t operator()(const TNetAddress& a) const { return a.Hash(); }
};
