#include "config/addrfilter.h"

#include <arpa/inet.h>

#include <string>

#include "config/settings.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsSeparator(char c) { return c == ',' || c == ';' || IsBlank(c); }

// A decimal number of 1 to `maxDigits` digits without a leading zero (a lone
// "0" is fine), at most `maxValue`, at the front of [p, end). Returns the
// characters read, 0 when there is no such number.
size_t ScanNumber(const char* p, const char* end, int maxDigits, uint32_t maxValue, uint32_t& value) {
    size_t n = 0;
    value = 0;
    while (p + n < end && IsDigit(p[n])) {
        if (static_cast<int>(n) == maxDigits) return 0;
        value = value * 10 + static_cast<uint32_t>(p[n] - '0');
        ++n;
    }
    if (n == 0 || (n > 1 && p[0] == '0') || value > maxValue) return 0;
    return n;
}

// A dotted address at the front of [p, end): the characters read, 0 when
// there is none.
size_t ScanDotted(const char* p, const char* end, uint32_t& address) {
    const char* q = p;
    uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (q >= end || *q != '.') return 0;
            ++q;
        }
        uint32_t value = 0;
        size_t n = ScanNumber(q, end, 3, 255, value);
        if (n == 0) return 0;
        q += n;
        result = (result << 8) | value;
    }
    address = result;
    return static_cast<size_t>(q - p);
}

// Takes the next piece of `rest` that `isSeparator` does not split.
template <typename Pred>
inline bool NextPiece(std::string_view& rest, std::string_view& piece, Pred isSeparator) {
    size_t start = 0;
    while (start < rest.size() && isSeparator(rest[start])) ++start;
    if (start >= rest.size()) {
        rest = std::string_view();
        return false;
    }
    size_t end = start;
    while (end < rest.size() && !isSeparator(rest[end])) ++end;
    piece = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return true;
}

// An IPv6 literal (it holds a ':'; an IPv4-mapped one gives its IPv4
// address). False when the text is none.
bool ParseV6Literal(std::string_view text, TNetAddress& address) {
    if (text.find(':') == std::string_view::npos) return false;
    return TNetAddress::Parse(text, address);
}

// An IPv6 item: an address, a range or a prefix.
bool ParseV6Item(std::string_view item, TAddressRange& range) {
    const size_t cut = item.find_first_of("-/");
    TNetAddress a;
    if (!ParseV6Literal(item.substr(0, cut), a)) return false;
    if (cut == std::string_view::npos) {
        range.first = range.last = a;
        return true;
    }
    std::string_view rest = item.substr(cut + 1);
    if (item[cut] == '-') {
        TNetAddress b;
        if (!ParseV6Literal(rest, b) || b.Family() != a.Family()) return false;
        range.first = a < b ? a : b;
        range.last = a < b ? b : a;
        return true;
    }
    uint32_t bits = 0;
    if (rest.empty() || ScanNumber(rest.data(), rest.data() + rest.size(), 3, 128, bits) != rest.size()) return false;
    if (a.IsV4()) {  // ::ffff:a.b.c.d/n: an IPv4 prefix of n - 96 bits
        if (bits < 96) return false;
        bits -= 96;
    }
    range.first = a.Masked(static_cast<int>(bits));
    range.last = a.Filled(static_cast<int>(bits));
    return true;
}

String InvalidItemText(std::string_view item) {
    return String("Invalid IP address (") + String(item) + ") specified";
}

// Appends the texts of the items of `list` that do not parse, up to the
// report limit, and a count of the rest. True when every item parses.
bool ReportInvalidItems(std::string_view list, std::vector<String>& problems) {
    int invalid = 0;
    std::string_view item;
    TAddressRange range;
    while (NextAddressItem(list, item)) {
        if (ParseAddressItem(item, range)) continue;
        if (invalid < kAddressListReportLimit) problems.push_back(InvalidItemText(item));
        ++invalid;
    }
    if (invalid > kAddressListReportLimit)
        problems.push_back(String("and ") + String(std::to_string(invalid - kAddressListReportLimit).c_str()) +
                           " more invalid IP addresses");
    return invalid == 0;
}

}  // namespace

bool ParseDottedAddress(std::string_view text, uint32_t& address) {
    uint32_t a = 0;
    if (ScanDotted(text.data(), text.data() + text.size(), a) != text.size() || text.empty()) return false;
    address = a;
    return true;
}

bool ParseAddressItem(std::string_view item, TAddressRange& range) {
    const char* p = item.data();
    const char* end = p + item.size();
    uint32_t a = 0;
    const size_t n = ScanDotted(p, end, a);
    if (n == 0) return ParseV6Item(item, range);
    p += n;
    if (p == end) {  // one address
        range.first = range.last = TNetAddress::FromV4HostOrder(a);
        return true;
    }
    if (*p == '-') {  // a range, either order
        uint32_t b = 0;
        ++p;
        if (p == end || ScanDotted(p, end, b) != static_cast<size_t>(end - p)) return false;
        range.first = TNetAddress::FromV4HostOrder(a < b ? a : b);
        range.last = TNetAddress::FromV4HostOrder(a < b ? b : a);
        return true;
    }
    if (*p == '/') {  // a prefix
        uint32_t bits = 0;
        ++p;
        if (ScanNumber(p, end, 2, 32, bits) != static_cast<size_t>(end - p) || p == end) return false;
        const uint32_t mask = bits == 0 ? 0u : ~0u << (32 - bits);
        range.first = TNetAddress::FromV4HostOrder(a & mask);
        range.last = TNetAddress::FromV4HostOrder((a & mask) | ~mask);
        return true;
    }
    return false;
}

bool NextAddressItem(std::string_view& rest, std::string_view& item) {
    return NextPiece(rest, item, [](char c) { return IsSeparator(c); });
}

bool NextFilterEntry(std::string_view& rest, std::string_view& entry) {
    // A piece of commas and semicolons only (" , ") holds no item: no entry.
    while (NextPiece(rest, entry, [](char c) { return IsBlank(c); }))
        if (entry.find_first_not_of(",;") != std::string_view::npos) return true;
    return false;
}

bool ParseClientAddress(std::string_view text, TNetAddress& address) {
    uint32_t v4 = 0;
    if (ParseDottedAddress(text, v4)) {
        address = TNetAddress::FromV4HostOrder(v4);
        return true;
    }
    return ParseV6Literal(text, address);
}

bool IPAllowed(const TNetAddress& address, const String& list, String& error) {
    error = String();
    std::string_view rest = list.View();
    std::string_view item;
    TAddressRange range;
    bool allowed = false;
    // Every item is read, so that the error names the first bad one
    // wherever the match is.
    while (NextAddressItem(rest, item)) {
        if (!ParseAddressItem(item, range)) {
            if (error.IsEmpty()) error = InvalidItemText(item);
            continue;
        }
        if (range.Contains(address)) allowed = true;
    }
    return allowed;
}

bool IPAllowed(unsigned int address, const String& list, String& error) {
    return IPAllowed(TNetAddress::FromV4HostOrder(ntohl(address)), list, error);
}

bool IPAllowed(const char* address, const String& list, String& error) {
    TNetAddress a;
    if (address == nullptr || !ParseClientAddress(address, a)) return false;
    return IPAllowed(a, list, error);
}

bool FilterAdmits(const String& effectiveList, const TNetAddress& address) {
    if (address.IsNone()) return false;
    std::string_view rest = effectiveList.View();
    std::string_view item;
    TAddressRange range;
    while (NextAddressItem(rest, item))
        if (ParseAddressItem(item, range) && range.Contains(address)) return true;
    return false;
}

bool FilterAdmits(const String& effectiveList, const char* address) {
    TNetAddress a;
    if (address == nullptr || !ParseClientAddress(address, a)) return false;
    return FilterAdmits(effectiveList, a);
}

bool CheckAddressList(const String& list, std::vector<String>& problems) {
    return ReportInvalidItems(list.View(), problems);
}

bool CheckAddressList(const String& list, const String& marks, std::vector<String>& problems) {
    const bool valid = ReportInvalidItems(list.View(), problems);
    std::string_view rest = list.View();
    std::string_view entry;
    int index = 0, unmarked = 0;
    while (NextFilterEntry(rest, entry)) {
        if (++index <= marks.Length()) continue;
        if (unmarked < kAddressListReportLimit)
            problems.push_back(String("Entry (") + String(entry) + ") has no filter mark and is off");
        ++unmarked;
    }
    if (unmarked > kAddressListReportLimit)
        problems.push_back(String("and ") + String(std::to_string(unmarked - kAddressListReportLimit).c_str()) +
                           " more entries without a filter mark");
    return valid;
}

bool CheckAddressSettings(const TZELSettings& s, std::vector<String>& problems) {
    bool valid = true;
    auto check = [&](const char* key, bool ok, std::vector<String>& found) {
        for (String& text : found) problems.push_back(String(key) + ": " + text);
        valid = valid && ok;
    };
    std::vector<String> found;
    bool ok = CheckAddressList(s.filterlist, s.filtermarks, found);
    check("filterlist", ok, found);
    found.clear();
    ok = CheckAddressList(s.manageaddr, found);
    check("manageaddr", ok, found);
    found.clear();
    ok = CheckAddressList(s.updateaddr, found);
    check("updateaddr", ok, found);
    return valid;
}
