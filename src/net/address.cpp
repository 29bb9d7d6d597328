#include "net/address.h"

#include <arpa/inet.h>

#include <cstring>

TNetAddress::TNetAddress(in_addr v4) {
    if (v4.s_addr == 0) return;
    family_ = AF_INET;
    std::memcpy(bytes_.data(), &v4.s_addr, 4);
}

TNetAddress TNetAddress::FromV4HostOrder(uint32_t v4) {
    TNetAddress a;
    a.family_ = AF_INET;
    a.bytes_[0] = static_cast<uint8_t>(v4 >> 24);
    a.bytes_[1] = static_cast<uint8_t>(v4 >> 16);
    a.bytes_[2] = static_cast<uint8_t>(v4 >> 8);
    a.bytes_[3] = static_cast<uint8_t>(v4);
    return a;
}

TNetAddress TNetAddress::FromV6(const in6_addr& v6) {
    TNetAddress a;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        a.family_ = AF_INET;
        std::memcpy(a.bytes_.data(), v6.s6_addr + 12, 4);
        return a;
    }
    a.family_ = AF_INET6;
    std::memcpy(a.bytes_.data(), v6.s6_addr, 16);
    return a;
}

bool TNetAddress::FromSockAddr(const sockaddr* sa, socklen_t length, TNetAddress& out) {
    if (sa == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return false;
    if (sa->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in{};
        std::memcpy(&in, sa, sizeof in);
        out = FromV4HostOrder(ntohl(in.sin_addr.s_addr));
        return true;
    }
    if (sa->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, sa, sizeof in6);
        out = FromV6(in6.sin6_addr);
        return true;
    }
    return false;
}

bool TNetAddress::Parse(std::string_view text, TNetAddress& out) {
    char buf[kNetAddressTextMax + 1];
    if (text.empty() || text.size() > kNetAddressTextMax || text.find('\0') != std::string_view::npos) return false;
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    in_addr v4{};
    if (inet_pton(AF_INET, buf, &v4) == 1) {
        out = FromV4HostOrder(ntohl(v4.s_addr));
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, buf, &v6) == 1) {
        out = FromV6(v6);
        return true;
    }
    return false;
}

uint32_t TNetAddress::V4HostOrder() const {
    if (!IsV4()) return 0;
    return (uint32_t{bytes_[0]} << 24) | (uint32_t{bytes_[1]} << 16) | (uint32_t{bytes_[2]} << 8) | bytes_[3];
}

TNetAddress TNetAddress::Masked(int bits) const {
    TNetAddress a = *this;
    const int width = Length() * 8;
    if (bits < 0) bits = 0;
    for (int i = bits; i < width; ++i) a.bytes_[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~(0x80u >> (i % 8)));
    return a;
}

TNetAddress TNetAddress::Filled(int bits) const {
    TNetAddress a = *this;
    const int width = Length() * 8;
    if (bits < 0) bits = 0;
    for (int i = bits; i < width; ++i) a.bytes_[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(0x80u >> (i % 8));
    return a;
}

TNetAddress TNetAddress::Prefix64() const { return IsV6() ? Masked(64) : *this; }

char* TNetAddress::Format(char* field, size_t size) const {
    if (field == nullptr || size == 0) return field;
    char text[kNetAddressTextMax + 1] = "";
    if (IsV4() || IsV6()) {
        if (inet_ntop(family_, bytes_.data(), text, sizeof text) == nullptr) text[0] = '\0';
    }
    const size_t n = std::strlen(text) < size - 1 ? std::strlen(text) : size - 1;
    std::memcpy(field, text, n);
    field[n] = '\0';
    return field;
}

String TNetAddress::Text() const {
    char text[kNetAddressTextMax + 1];
    return String(Format(text, sizeof text));
}

size_t TNetAddress::Hash() const {
    // FNV-1a over the family and the bytes.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint8_t b) {
        h ^= b;
        h *= 1099511628211ull;
    };
    mix(family_);
    for (uint8_t b : bytes_) mix(b);
    return static_cast<size_t>(h);
}
