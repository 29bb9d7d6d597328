// The client address lists: the management and upgrade address lists
// (addresses, ranges and prefixes), the filter list's entries and marks, and
// the connection filter's effective list. The first four bytes are the
// client's address (also tried as the IPv6 client 2001:db8::a.b.c.d), the
// rest the list.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/addrfilter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    in_addr address{};
    std::memcpy(&address.s_addr, data, 4);
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    const String list(std::string_view(reinterpret_cast<const char*>(data) + 4, size - 4));

    String err;
    const bool byNumber = IPAllowed(address.s_addr, list, err);
    String err2;
    const bool byText = IPAllowed(dotted, list, err2);
    if (byNumber != byText || err != err2) std::abort();
    // The filter reads the same items: a list admits what it allows.
    if (FilterAdmits(list, dotted) != byNumber) std::abort();

    // An IPv6 client: the same by address and by its text.
    in6_addr v6{};
    v6.s6_addr[0] = 0x20;
    v6.s6_addr[1] = 0x01;
    v6.s6_addr[2] = 0x0d;
    v6.s6_addr[3] = 0xb8;
    std::memcpy(v6.s6_addr + 12, data, 4);
    const TNetAddress client6 = TNetAddress::FromV6(v6);
    String err6, err7;
    const bool v6ByAddress = IPAllowed(client6, list, err6);
    if (v6ByAddress != IPAllowed(client6.Text().Data(), list, err7) || err6 != err || err7 != err) std::abort();
    if (FilterAdmits(list, client6) != v6ByAddress) std::abort();

    // Every item either parses into an ordered range or is reported, and
    // the report agrees with the matcher's error.
    std::vector<String> problems;
    const bool valid = CheckAddressList(list, problems);
    if (valid != err.IsEmpty() || valid != problems.empty()) std::abort();
    std::string_view rest = list.View(), item;
    size_t items = 0;
    while (NextAddressItem(rest, item)) {
        if (item.empty() || ++items > list.View().size()) std::abort();
        TAddressRange range;
        if (ParseAddressItem(item, range) &&
            (range.first > range.last || range.first.Family() != range.last.Family() || range.first.IsNone()))
            std::abort();
    }
    // Entries and marks: the marks as long as the list, every second one on.
    std::string marks;
    for (size_t i = 0; i < list.View().size(); ++i) marks += i % 2 ? '0' : '1';
    problems.clear();
    if (CheckAddressList(list, String(marks.c_str()), problems) != valid) std::abort();
    return 0;
}
