// Helpers shared by the protocol tests.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/qdstring.h"

inline String FromHex(const std::string& hex) {
    String out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.AddChar(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const String& s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s.View()) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline String Bytes(const std::string& s) { return String(std::string_view(s)); }
