#include "net/resolve.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "foundation/io.h"

namespace {

constexpr const char kCannotResolve[] = "Cannot resolve server name to IP address";
constexpr const char kUnknownStructure[] = "Name resolution error: unknown address structure";

// A dotted IPv4 address as the classic parser takes it; the all-ones
// broadcast address is not one (the parser cannot tell it from its error
// value): it goes to the name look-up like a host name.
bool ParseDotted(const char* host, in_addr& a) { return inet_aton(host, &a) != 0 && a.s_addr != INADDR_NONE; }

// An IPv6 literal, a zone ("%eth0", "%2") allowed.
bool ParseIPv6(const std::string& text, TSockAddr& out) {
    if (text.empty() || text.find(':') == std::string::npos) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* raw = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &raw) != 0 || raw == nullptr) {
        if (raw) freeaddrinfo(raw);
        return false;
    }
    std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
    if (list->ai_family != AF_INET6 || list->ai_addrlen > sizeof out.storage) return false;
    out = TSockAddr{};
    memcpy(&out.storage, list->ai_addr, list->ai_addrlen);
    out.len = list->ai_addrlen;
    return true;
}

// The addresses of a name, in the resolver's order.
bool LookUp(const char* host, int socktype, std::vector<TSockAddr>& out, String& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;  // one entry per address, not one per socket type
    addrinfo* raw = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &raw) != 0 || raw == nullptr) {
        if (raw) freeaddrinfo(raw);
        err = kCannotResolve;
        return false;
    }
    std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        const bool v4 = a->ai_family == AF_INET && a->ai_addrlen == sizeof(sockaddr_in);
        const bool v6 = a->ai_family == AF_INET6 && a->ai_addrlen == sizeof(sockaddr_in6);
        if (a->ai_addr == nullptr || (!v4 && !v6)) continue;
        TSockAddr one;
        memcpy(&one.storage, a->ai_addr, a->ai_addrlen);
        one.len = a->ai_addrlen;
        one.SetPort(0);
        // The first address of each family only: a name with several IPv4
        // addresses is reached at its first one with the whole time-out,
        // as before IPv6 was served.
        const bool familySeen = std::any_of(out.begin(), out.end(), [&](const TSockAddr& o) {
            return o.Family() == one.Family();
        });
        if (!familySeen) out.push_back(one);
    }
    if (out.empty()) {
        err = kUnknownStructure;
        return false;
    }
    return true;
}

}  // namespace

void TAddrInfoFree::operator()(addrinfo* list) const { freeaddrinfo(list); }

int TSockAddr::Port() const {
    if (Family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (Family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

void TSockAddr::SetPort(int port) {
    const uint16_t p = htons(static_cast<uint16_t>(port));
    if (Family() == AF_INET) reinterpret_cast<sockaddr_in*>(&storage)->sin_port = p;
    if (Family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = p;
}

String TSockAddr::Text() const {
    if (len == 0 || (Family() != AF_INET && Family() != AF_INET6)) return String();
    char text[NI_MAXHOST] = "";
    if (getnameinfo(Get(), len, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return String();
    return String(text);
}

bool TSockAddr::operator==(const TSockAddr& o) const {
    return len == o.len && memcmp(&storage, &o.storage, len) == 0;
}

TSockAddr SockAddrV4(unsigned int addr, int port) {
    TSockAddr out;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    memcpy(&out.storage, &sa, sizeof sa);
    out.len = sizeof sa;
    out.SetPort(port);
    return out;
}

bool ParseNumericHost(const char* host, TSockAddr& addr, bool& bracketed) {
    bracketed = false;
    if (host == nullptr || *host == '\0') return false;
    const std::string text(host);
    if (text.front() == '[') {
        bracketed = true;
        return text.size() > 2 && text.back() == ']' && ParseIPv6(text.substr(1, text.size() - 2), addr);
    }
    in_addr a{};
    if (ParseDotted(host, a)) {
        addr = SockAddrV4(a.s_addr, 0);
        return true;
    }
    return ParseIPv6(text, addr);
}

bool ResolveHostAddrs(const char* host, int port, int socktype, std::vector<TSockAddr>& out, TNetFailure& failure,
                      String& err) {
    out.clear();
    err = "";
    failure = TNetFailure::None;
    TSockAddr numeric;
    bool bracketed = false;
    if (ParseNumericHost(host, numeric, bracketed)) {
        out.push_back(numeric);
    } else if (host == nullptr || *host == '\0' || bracketed) {
        err = kCannotResolve;
    } else {
        LookUp(host, socktype, out, err);
    }
    if (out.empty()) {
        failure = TNetFailure::Resolve;
        return false;
    }
    if (port < 0 || port > 65535) {
        out.clear();
        err = ErrnoText(EINVAL);
        failure = TNetFailure::Connect;
        return false;
    }
    for (TSockAddr& a : out) a.SetPort(port);
    return true;
}

bool GetHostIP(const char* host, unsigned int& addr, String& err) {
    err = "";
    if (host != nullptr) {
        in_addr a{};
        if (ParseDotted(host, a)) {
            addr = a.s_addr;
            return true;
        }
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* raw = nullptr;
    if (host == nullptr || *host == '\0' || getaddrinfo(host, nullptr, &hints, &raw) != 0 ||
        raw == nullptr) {
        if (raw) freeaddrinfo(raw);
        err = kCannotResolve;
        return false;
    }
    std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
    if (list->ai_family != AF_INET || list->ai_addr == nullptr ||
        list->ai_addrlen != sizeof(sockaddr_in)) {
        err = kUnknownStructure;
        return false;
    }
    sockaddr_in sa{};
    memcpy(&sa, list->ai_addr, sizeof sa);
    addr = sa.sin_addr.s_addr;
    return true;
}

namespace {

// The local host name (at most 254 characters), or "" when there is none.
std::string LocalHostName() {
    char name[256];
    if (gethostname(name, 255) != 0) return std::string();
    name[255] = '\0';
    return name;
}

}  // namespace

unsigned int GetMyIP() {
    const std::string name = LocalHostName();
    if (name.empty()) return 0;
    unsigned int addr = 0;
    String err;
    if (!GetHostIP(name.c_str(), addr, err)) return 0;
    return addr;
}

String MyAddressText() {
    // The IPv4 address exactly as GetMyIP finds it; an IPv6 address only
    // for a host without one.
    if (const unsigned int v4 = GetMyIP(); v4 != 0) return IP2String(v4);
    const std::string name = LocalHostName();
    std::vector<TSockAddr> addrs;
    TNetFailure failure = TNetFailure::None;
    String err;
    if (!name.empty() && ResolveHostAddrs(name.c_str(), 0, SOCK_DGRAM, addrs, failure, err))
        for (const TSockAddr& a : addrs)
            if (a.Family() == AF_INET6) return a.Text();
    return IP2String(0);
}

char* inet_ntoa_safe(in_addr addr, char* field, int size) {
    if (field == nullptr || size <= 0) return field;
    char text[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) text[0] = '\0';
    size_t n = strnlen(text, sizeof text);
    if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
    memcpy(field, text, n);
    field[n] = '\0';
    return field;
}

String IP2String(unsigned int addr) {
    char field[24];
    in_addr a{};
    a.s_addr = addr;
    return String(inet_ntoa_safe(a, field, sizeof field));
}
