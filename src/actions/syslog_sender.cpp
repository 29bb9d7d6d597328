#include "actions/syslog_sender.h"

#include <cstdio>

#include "net/exchange.h"
#include "net/resolve.h"

namespace {

// Fixed English abbreviations: the locale must not change the format.
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

String SyslogTimeStamp(const struct tm& t) {
    const int mon = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", kMonths[mon], t.tm_mday, t.tm_hour, t.tm_min,
                  t.tm_sec);
    return String(buf);
}

String BuildSyslogMessage(int facility, TSyslogSeverity severity, const struct tm& t, const String& host,
                          const char* tag, const String& text) {
    char pri[32];
    std::snprintf(pri, sizeof pri, "<%lld>", static_cast<long long>(facility) * 8 + severity);
    String msg(pri);
    msg += SyslogTimeStamp(t);
    msg += ' ';
    msg += host;
    msg += ' ';
    msg += tag != nullptr ? tag : "";
    msg += ": ";
    msg += text;
    return msg;
}

String TTimedAddressCache::Get(Clock::time_point now) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (valid_ && now - when_ < life_) return value_;
    }
    String value = lookup_();
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = value;
    when_ = now;
    valid_ = true;
    return value;
}

String SyslogHostAddress() {
    static TTimedAddressCache cache(MyAddressText, kSyslogHostCacheLife);
    return cache.Get();
}

bool SendToSysLog(const char* host, int port, int facility, TSyslogSeverity severity, const char* tag,
                  const String& text, String& err) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    String msg = BuildSyslogMessage(facility, severity, local, SyslogHostAddress(), tag, text);
    int received = 0;
    TNetFailure failure = TNetFailure::None;
    return SendReceiveUDPPacket(host, port, 0, msg.Data(), nullptr, msg.Length(), 0, received, failure, err);
}
