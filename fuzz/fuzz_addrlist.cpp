// The client address lists: the management and upgrade address lists
// (items and ranges), and the connection filter's effective list. The first
// four bytes are the client's address, the rest the list.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

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
    if (byNumber != byText) std::abort();
    FilterAdmits(list, dotted);

    // Taking items off the front always ends.
    String rest = list;
    for (int taken = 0;; ++taken) {
        if (taken > list.Length() + 1) std::abort();
        unsigned int first = 0, last = 0;
        String itemErr;
        const int before = rest.Length();
        getitem(rest, first, last, itemErr);
        if (first == 0 || rest.IsEmpty() || rest.Length() >= before) break;
    }
    return 0;
}
