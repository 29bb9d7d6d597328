#include "config/addrfilter.h"

#include <arpa/inet.h>

#include <string>

#include "config/settings.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A decimal number of 1 to `maxDigits` digits without a leading zero (a lone
// "0" is fine), at most `maxValue`.
bool ParseSmallNumber(std::string_view text, int maxDigits, uint32_t maxValue, uint32_t& value) {
    if (text.empty() || static_cast<int>(text.size()) > maxDigits) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    value = 0;
    for (char c : text) {
        if (!IsDigit(c)) return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value <= maxValue;
}

// Takes the next piece of `rest` that `isSeparator` does not split.
template <typename Pred>
bool NextPiece(std::string_view& rest, std::string_view& piece, Pred isSeparator) {
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

bool IsAddressListSeparator(char c) { return c == ',' || c == ';' || IsBlank(c); }

bool ParseDottedAddress(std::string_view text, uint32_t& address) {
    uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) return false;
        uint32_t value = 0;
        if (!ParseSmallNumber(text.substr(0, dot), 3, 255, value)) return false;
        result = (result << 8) | value;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    address = result;
    return true;
}

bool ParseAddressItem(std::string_view item, TAddressRange& range) {
    size_t dash = item.find('-');
    if (dash != std::string_view::npos) {
        uint32_t a = 0, b = 0;
        if (!ParseDottedAddress(item.substr(0, dash), a) || !ParseDottedAddress(item.substr(dash + 1), b))
            return false;
        range.first = a < b ? a : b;
        range.last = a < b ? b : a;
        return true;
    }
    size_t slash = item.find('/');
    if (slash != std::string_view::npos) {
        uint32_t address = 0, bits = 0;
        if (!ParseDottedAddress(item.substr(0, slash), address) ||
            !ParseSmallNumber(item.substr(slash + 1), 2, 32, bits))
            return false;
        const uint32_t mask = bits == 0 ? 0u : ~0u << (32 - bits);
        range.first = address & mask;
        range.last = range.first | ~mask;
        return true;
    }
    uint32_t address = 0;
    if (!ParseDottedAddress(item, address)) return false;
    range.first = range.last = address;
    return true;
}

bool NextAddressItem(std::string_view& rest, std::string_view& item) {
    return NextPiece(rest, item, IsAddressListSeparator);
}

bool NextFilterEntry(std::string_view& rest, std::string_view& entry) {
    // A piece of commas and semicolons only (" , ") holds no item: no entry.
    while (NextPiece(rest, entry, IsBlank))
        if (entry.find_first_not_of(",;") != std::string_view::npos) return true;
    return false;
}

int IPAllowed(unsigned int address, const String& list, String& error) {
    error = String();
    const uint32_t host = ntohl(address);
    std::string_view rest = list.View();
    std::string_view item;
    TAddressRange range;
    int allowed = 0;
    // Every item is read, so that the error names the first bad one
    // wherever the match is.
    while (NextAddressItem(rest, item)) {
        if (!ParseAddressItem(item, range)) {
            if (error.IsEmpty()) error = InvalidItemText(item);
            continue;
        }
        if (range.Contains(host)) allowed = 1;
    }
    return allowed;
}

int IPAllowed(const char* address, const String& list, String& error) {
    in_addr a{};
    if (address == nullptr || inet_pton(AF_INET, address, &a) != 1) return 0;
    return IPAllowed(a.s_addr, list, error);
}

bool FilterAdmits(const String& effectiveList, const char* dottedAddress) {
    uint32_t host = 0;
    if (dottedAddress == nullptr || !ParseDottedAddress(dottedAddress, host)) return false;
    std::string_view rest = effectiveList.View();
    std::string_view item;
    TAddressRange range;
    while (NextAddressItem(rest, item))
        if (ParseAddressItem(item, range) && range.Contains(host)) return true;
    return false;
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
