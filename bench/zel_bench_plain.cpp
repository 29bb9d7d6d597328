// The plaintext passive-check protocol of the agent zel is compared with:
// framing of a request and checks of a reply, and one blocking exchange.
#include <cstring>

#include "zel_bench.h"

namespace zelbench {

namespace {

constexpr char kMagic[] = "ZBXD";
constexpr unsigned char kFlagProtocol = 0x01;
constexpr unsigned char kFlagLarge = 0x04;
constexpr char kNotSupported[] = "ZBX_NOTSUPPORTED";

uint64_t LittleEndian(const std::string& s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

}  // namespace

String BuildPlainRequest(const String& key) {
    std::string packet(kMagic, 4);
    packet.push_back(static_cast<char>(kFlagProtocol));
    uint64_t n = static_cast<uint64_t>(key.Length());
    for (int i = 0; i < 8; ++i) packet.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
    packet.append(key.Data(), static_cast<size_t>(key.Length()));
    return String(packet.data(), static_cast<int>(packet.size()));
}

int64_t PlainReplySize(const std::string& received) {
    if (received.size() < 5) return -1;
    const bool large = (static_cast<unsigned char>(received[4]) & kFlagLarge) != 0;
    const size_t header = large ? 21 : 13;
    if (received.size() < header) return -1;
    // The data length; the field after it (reserved, or the size before
    // compression) does not count.
    const uint64_t n = LittleEndian(received, 5, large ? 8 : 4);
    if (n > (uint64_t{1} << 40)) return -1;
    return static_cast<int64_t>(header + n);
}

bool PlainReplyOk(const std::string& received, std::string& value, std::string& why) {
    if (received.empty()) {
        why = "connection closed without a reply";
        return false;
    }
    if (received.size() < 5) {
        why = "reply packet incomplete";
        return false;
    }
    if (received.compare(0, 4, kMagic) != 0 || (static_cast<unsigned char>(received[4]) & kFlagProtocol) == 0) {
        why = "not a reply of the plaintext protocol";
        return false;
    }
    const int64_t size = PlainReplySize(received);
    if (size < 0 || static_cast<uint64_t>(size) > received.size()) {
        why = "reply packet incomplete";
        return false;
    }
    if (static_cast<uint64_t>(size) < received.size()) {
        why = "bytes after the reply packet";
        return false;
    }
    const bool large = (static_cast<unsigned char>(received[4]) & kFlagLarge) != 0;
    value = received.substr(large ? 21 : 13);
    if (value.compare(0, sizeof kNotSupported - 1, kNotSupported) == 0) {
        // The reason follows the marker after a NUL.
        const size_t nul = value.find('\0');
        why = "not supported: " + (nul == std::string::npos ? std::string() : value.substr(nul + 1));
        return false;
    }
    return true;
}

bool PlainExchange(const std::string& host, int port, const String& key, std::string& value, std::string& err) {
    std::string received;
    if (!SendAndReceive(host, port, BuildPlainRequest(key).View(), received, err)) return false;
    return PlainReplyOk(received, value, err);
}

}  // namespace zelbench
