// Whether this machine's network namespace can use the IPv6 loopback (::1):
// it is listed in /proc/net/if_inet6 and a TCP socket can be bound to it.
// Tests that need ::1 skip with kNoIPv6Loopback when it cannot.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "foundation/fd.h"

inline constexpr const char* kNoIPv6Loopback =
    "IPv6 is off in this network namespace (no ::1 in /proc/net/if_inet6, or it cannot be bound)";

inline bool IPv6LoopbackUsable() {
    static const bool usable = [] {
        std::ifstream in("/proc/net/if_inet6");
        std::string line;
        bool listed = false;
        while (std::getline(in, line))
            if (line.rfind("00000000000000000000000000000001", 0) == 0) listed = true;
        if (!listed) return false;
        TFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.Valid()) return false;
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_loopback;
        return bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }();
    return usable;
}
