#include "net/resolve.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "foundation/io.h"

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

}  // namespace

bool GetHostIP(const char* host, unsigned int& addr, String& err) {
    err = "";
    if (host != nullptr) {
        // The dotted all-ones broadcast address is not taken as an address
        // (the classic parser cannot tell it from its error value): it goes
        // to the name look-up like a host name.
        in_addr a{};
        if (inet_aton(host, &a) != 0 && a.s_addr != INADDR_NONE) {
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
        err = "Cannot resolve server name to IP address";
        return false;
    }
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    if (list->ai_family != AF_INET || list->ai_addr == nullptr ||
        list->ai_addrlen != sizeof(sockaddr_in)) {
        err = "Name resolution error: unknown address structure";
        return false;
    }
    sockaddr_in sa{};
    memcpy(&sa, list->ai_addr, sizeof sa);
    addr = sa.sin_addr.s_addr;
    return true;
}

unsigned int GetMyIP() {
    char name[256];
    if (gethostname(name, 255) != 0) return 0;
    name[255] = '\0';
    unsigned int addr = 0;
    String err;
    if (!GetHostIP(name, addr, err)) return 0;
    return addr;
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

bool ResolveSockAddr(const char* host, int port, sockaddr_in& out, TNetFailure& failure, String& err) {
    unsigned int ip = 0;
    if (!GetHostIP(host, ip, err)) {
        failure = TNetFailure::Resolve;
        return false;
    }
    if (port < 0 || port > 65535) {
        err = ErrnoText(EINVAL);
        failure = TNetFailure::Connect;
        return false;
    }
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(port));
    out.sin_addr.s_addr = ip;
    failure = TNetFailure::None;
    return true;
}
