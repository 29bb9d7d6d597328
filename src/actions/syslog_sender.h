// Syslog messages over UDP in the BSD format (RFC 3164):
//   <PRI>Mmm dd hh:mm:ss HOST TAG: TEXT
// with the agent's own address as HOST (its IPv4 address; the IPv6 one on
// a host without IPv4); one datagram, nothing added after the text. Thread-safe: each call builds its own message; the
// address cache is guarded.
#pragma once

#include <chrono>
#include <ctime>
#include <mutex>

#include "foundation/qdstring.h"

// Syslog severity, 0 (emergency) to 7 (debugging).
using TSyslogSeverity = int;

// How long the agent's own address is reused before it is looked up again.
inline constexpr std::chrono::seconds kSyslogHostCacheLife{60};

// "Mmm dd hh:mm:ss" for t: English month abbreviation (whatever the
// locale), day of the month padded with a space.
String SyslogTimeStamp(const struct tm& t);

// The whole datagram. The priority facility * 8 + severity is computed in
// 64 bits (facility is not range-checked).
String BuildSyslogMessage(int facility, TSyslogSeverity severity, const struct tm& t, const String& host,
                          const char* tag, const String& text);

// A value looked up by a slow function and reused for a fixed time. Get()
// may be called from many threads; the lookup runs outside the lock (two
// threads may both look up when the value has just expired).
class TTimedAddressCache {
public:
    using Clock = std::chrono::steady_clock;
    using TLookup = String (*)();

    TTimedAddressCache(TLookup lookup, Clock::duration life) : lookup_(lookup), life_(life) {}
    String Get(Clock::time_point now = Clock::now());

private:
    TLookup lookup_;
    Clock::duration life_;
    std::mutex mutex_;
    bool valid_ = false;
    Clock::time_point when_{};
    String value_;
};

// The text of the agent's own address (MyAddressText of net/resolve.h:
// dotted IPv4, else IPv6, else "0.0.0.0"), looked up at most once per
// kSyslogHostCacheLife (a failed lookup is kept too).
String SyslogHostAddress();

// Builds the message for now and sends it to host:port (an IPv4 address,
// an IPv6 literal with or without brackets, or a name of either family) as
// one datagram.
// false with the text of SendReceiveUDPPacket (net/exchange.h) in err.
bool SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity, const char* tag,
                  const String& text, String& err);
