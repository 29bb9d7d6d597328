// Client address checks: the connection filter the session workers apply
// to each accepted client, and the address-list matcher of the management
// and upgrade permissions.
//
// An address list is a text of items separated by commas, semicolons or
// blanks (space, tab, CR, LF); empty items (",,", a trailing comma) are
// skipped. An item is one of:
//
//   a.b.c.d           one IPv4 address
//   a.b.c.d-e.f.g.h   every address from one end to the other, both
//                     included, written in either order
//   a.b.c.d/n         the addresses whose first n bits (0 to 32) are those
//                     of a.b.c.d (bits after the first n are ignored, so
//                     10.1.2.3/8 is 10.0.0.0/8); 0.0.0.0/0 is every IPv4
//                     address
//   x:x::x            one IPv6 address, in any of its text forms (::1 and
//                     0:0:0:0:0:0:0:1 are one address)
//   x::x-y::y         every IPv6 address from one end to the other
//   x:x::/n           an IPv6 prefix, n from 0 to 128 (2001:db8::/32);
//                     ::/0 is every IPv6 address
//
// An IPv4 address has four decimal parts from 0 to 255, without leading
// zeros. An IPv6 address is written without brackets or zone; an
// IPv4-mapped one (::ffff:a.b.c.d, and ::ffff:a.b.c.d/n with n from 96) is
// its IPv4 address. Addresses are compared as numbers, never as texts. An
// IPv4 item never matches an IPv6 client and an IPv6 item never an IPv4
// one; a client that connected as an IPv4-mapped address is its IPv4
// address. An item that is none of these (a letter, a part above 255, a
// range of two families) matches nothing; the items before and after it
// keep their meaning.
//
// The connection filter's list (`filterlist`) is a list of entries separated
// by blanks or line ends, one mark in `filtermarks` per entry in the same
// order: '1' puts the entry in force, any other character leaves it off, and
// an entry beyond the last mark is off. An entry is itself an address list
// without blanks (usually one item; "10.0.0.1,10.0.0.2" is one entry with
// one mark; a lone "," between blanks is no entry).
//
// Every function here is a pure function of its arguments: thread-safe, no
// locks, nothing kept.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "foundation/qdstring.h"
#include "net/address.h"

struct TZELSettings;

// The addresses first..last (one family, first <= last) of one item.
struct TAddressRange {
    TNetAddress first;
    TNetAddress last;
    bool Contains(const TNetAddress& address) const {
        return address.Family() == first.Family() && !address.IsNone() && first <= address && address <= last;
    }
};

// Parses one dotted IPv4 address (four decimal parts 0-255, no leading
// zeros, nothing else) into host byte order. False when it is not one.
bool ParseDottedAddress(std::string_view text, uint32_t& address);

// Parses one item of an address list (an address, a range or a prefix; no
// separators around it). False when it is none of them; `range` is then
// unspecified.
bool ParseAddressItem(std::string_view item, TAddressRange& range);

// Takes the next item off the front of `rest`: skips separators, sets
// `item` to the text up to the next separator (or the end) and leaves
// `rest` after it. False when only separators (or nothing) are left.
bool NextAddressItem(std::string_view& rest, std::string_view& item);

// Takes the next entry of a filter list off the front of `rest`: as
// NextAddressItem, but only blanks and line ends (space, tab, CR, LF)
// separate entries; a piece of commas and semicolons only is skipped.
bool NextFilterEntry(std::string_view& rest, std::string_view& entry);

// Parses a client address given as text: a dotted IPv4 address as above,
// or an IPv6 literal (an IPv4-mapped one gives its IPv4 address). False
// when it is neither.
bool ParseClientAddress(std::string_view text, TNetAddress& address);

// True when the address lies in an item of the list. `error` becomes
// "Invalid IP address (ITEM) specified" for the first item that does not
// parse, empty when every item parses; the decision does not depend on it.
// No address (IsNone) is never allowed.
bool IPAllowed(const TNetAddress& address, const String& list, String& error);
// An IPv4 address in network byte order.
bool IPAllowed(unsigned int address, const String& list, String& error);
// The text is parsed first (ParseClientAddress); a text that is not an
// address gives false.
bool IPAllowed(const char* address, const String& list, String& error);

// The connection filter: true when the address lies in an item of the
// effective filter list (the entries in force, CR LF between them, built
// from `filterlist` and `filtermarks` when the settings are derived). No
// address, and a text that is not an address, is never admitted.
bool FilterAdmits(const String& effectiveList, const TNetAddress& address);
bool FilterAdmits(const String& effectiveList, const char* address);

// At most this many texts of each kind are reported for one list; one more
// text then says how many were left out.
constexpr int kAddressListReportLimit = 50;

// Checks a management or upgrade address list. Appends one text per item
// that does not parse, naming it ("Invalid IP address (10.0.0.300)
// specified"). True when every item parses.
bool CheckAddressList(const String& list, std::vector<String>& problems);

// Checks a filter list and its marks. Appends one text per item that does
// not parse (as above), then one text per entry beyond the last mark, which
// is off ("Entry (10.0.0.9) has no filter mark and is off"). True when every
// item parses: entries without a mark are worth a report but not an error.
bool CheckAddressList(const String& list, const String& marks, std::vector<String>& problems);

// The three address lists of the settings (`filterlist` with `filtermarks`,
// `manageaddr`, `updateaddr`), each text prefixed with the key and ": ".
// For start-up and reload reports. True when every item parses.
bool CheckAddressSettings(const TZELSettings& s, std::vector<String>& problems);
