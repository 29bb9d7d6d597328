// Client address checks: the connection filter of the session workers'
// admission and the address-list matcher of the management and upgrade
// permissions.
#pragma once

#include "foundation/qdstring.h"

// True for the characters an address list may hold: digits, '.', '-', ','.
bool islistsetchar(char c);

// Takes the next item ("a.b.c.d" or "a.b.c.d-e.f.g.h") off the front of
// `list`. `first` is 0 when there is no further item or it is invalid; `last`
// is the range end, 0 for a single address. Addresses in host byte order.
void getitem(String& list, unsigned int& first, unsigned int& last, String& error);

// True when the address (network byte order) matches an item of the
// comma-separated list of addresses and ranges. `error` reports the first
// problem found in the list (empty when none), whatever the answer; the
// scan stops at the first item it cannot read. A text address that is not
// a dotted IPv4 address matches nothing.
bool IPAllowed(unsigned int address, const String& list, String& error);
bool IPAllowed(const char* address, const String& list, String& error);

// The connection filter: true when one of the entries of the effective
// filter list (entries separated by CR LF) equals the dotted address.
bool FilterAdmits(const String& effectiveList, const char* dottedAddress);
