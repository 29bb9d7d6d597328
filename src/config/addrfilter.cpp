#include "config/addrfilter.h"

#include <arpa/inet.h>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Parses a dotted IPv4 address into host byte order; false when invalid.
bool ParseDotted(const String& text, unsigned int& out) {
    in_addr a{};
    if (text.IsEmpty() || inet_pton(AF_INET, text.Data(), &a) != 1) return false;
    out = ntohl(a.s_addr);
    return true;
}

// Position (0-based) of the next ',' or '-' at or after `from`, or the end.
size_t ItemEnd(std::string_view s, size_t from) {
    size_t p = s.find_first_of(",-", from);
    return p == std::string_view::npos ? s.size() : p;
}

}  // namespace

bool islistsetchar(char c) { return IsDigit(c) || c == '.' || c == '-' || c == ','; }

void getitem(String& list, unsigned int& first, unsigned int& last, String& error) {
    first = 0;
    last = 0;
    std::string_view s = list.View();
    size_t start = 0;
    while (start < s.size() && !IsDigit(s[start])) ++start;
    if (start >= s.size()) {
        list = String();
        return;
    }
    size_t end = ItemEnd(s, start);
    String text(s.substr(start, end - start));
    unsigned int addr = 0;
    if (!ParseDotted(text, addr)) {
        error = String("Invalid IP address (") + text + ") specified";
        return;
    }
    first = addr;
    size_t consumed = end;
    if (end < s.size() && s[end] == '-') {
        size_t endEnd = ItemEnd(s, end + 1);
        String endText(s.substr(end + 1, endEnd - end - 1));
        if (ParseDotted(endText, addr)) {
            last = addr;
        } else {
            error = String("Invalid IP address (") + endText + ") specified";
        }
        consumed = endEnd;
    }
    if (consumed < s.size() && s[consumed] == ',') ++consumed;
    list.Delete(1, static_cast<int>(consumed));
}

bool IPAllowed(unsigned int address, const String& list, String& error) {
    error = String();
    unsigned int host = ntohl(address);
    String copy;
    for (char c : list.View())
        if (islistsetchar(c)) copy.AddChar(c);
    bool allowed = false;
    for (;;) {
        unsigned int first = 0, last = 0;
        getitem(copy, first, last, error);
        if (first == 0) break;
        bool match = last == 0 ? host == first
                               : (host >= std::min(first, last) && host <= std::max(first, last));
        if (match) {
            allowed = true;
            break;
        }
    }
    if (error.IsEmpty()) {
        for (char c : list.View()) {
            if (!islistsetchar(c)) {
                error = String("Illegal character (") + c + ") specified";
                break;
            }
        }
    }
    return allowed;
}

bool IPAllowed(const char* address, const String& list, String& error) {
    in_addr a{};
    if (address == nullptr || inet_pton(AF_INET, address, &a) != 1) return false;
    return IPAllowed(a.s_addr, list, error);
}

bool FilterAdmits(const String& effectiveList, const char* dottedAddress) {
    if (dottedAddress == nullptr || *dottedAddress == '\0') return false;
    std::string_view want(dottedAddress);
    std::string_view s = effectiveList.View();
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t nl = s.find('\n', pos);
        std::string_view line = s.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        String entry{line};
        entry.Trim();
        if (entry.View() == want) return true;
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return false;
}
