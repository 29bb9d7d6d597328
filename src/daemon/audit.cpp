#include "daemon/audit.h"

#include <syslog.h>

#include <cstring>

#include "daemon/messages.h"

namespace {

TRefusalLimiter g_refusals;

void SendToSyslog(int priority, const char* line) { syslog(priority, "%s", line); }

}  // namespace

TRefusalLimiter::TRefusalLimiter(size_t capacity, std::chrono::milliseconds interval)
    : entries_(capacity), interval_(interval) {}

void TRefusalLimiter::SetInterval(std::chrono::milliseconds interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = interval;
}

size_t TRefusalLimiter::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const TEntry& e : entries_) n += e.used ? 1 : 0;
    return n;
}

TRefusalLimiter::TEntry* TRefusalLimiter::Find(const TKey& key, std::chrono::steady_clock::time_point now) {
    TEntry* spare = nullptr;     // a free slot, else one whose interval has passed
    for (TEntry& e : entries_) {
        if (e.used && e.key == key) return &e;
        if (!e.used) {
            if (spare == nullptr || spare->used) spare = &e;
        } else if (now - e.last >= interval_ && (spare == nullptr || (spare->used && spare->skipped > e.skipped))) {
            spare = &e;
        }
    }
    if (spare == nullptr) return nullptr;
    if (spare->used && spare->skipped > 0) {
        // Its count is not lost: it goes to the reason's shared count.
        overflow_[spare->key.reason].skipped += spare->skipped;
        if (overflow_[spare->key.reason].text.IsEmpty()) overflow_[spare->key.reason].text = spare->text;
    }
    *spare = TEntry{};
    spare->key = key;
    return spare;
}

bool TRefusalLimiter::PassEntry(TEntry& e, std::chrono::steady_clock::time_point now, int& skipped) {
    if (e.used && now - e.last < interval_) {
        ++e.skipped;
        return false;
    }
    skipped = e.skipped;
    e.used = true;
    e.last = now;
    e.skipped = 0;
    return true;
}

bool TRefusalLimiter::Pass(const TNetAddress& client, TRefusal reason, const void* detail, const String& text, int& skipped) {
    const auto now = RepeatedMessageNow();
    const int r = static_cast<int>(reason);
    std::lock_guard<std::mutex> lock(mutex_);
    TEntry* e = Find(TKey{client.Prefix64(), r, detail}, now);
    if (e == nullptr) e = &overflow_[r];
    e->text = text;
    return PassEntry(*e, now, skipped);
}

std::vector<TRefusalLimiter::TLeftOut> TRefusalLimiter::TakeLeftOut() {
    std::vector<TLeftOut> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (TEntry& e : entries_) {
        if (!e.used || e.skipped == 0) continue;
        out.push_back(TLeftOut{e.key.address, static_cast<TRefusal>(e.key.reason), e.key.detail, e.text,
                               e.skipped});
        e.skipped = 0;
    }
    for (int r = 0; r < kRefusalReasons; ++r) {
        TEntry& e = overflow_[r];
        if (e.skipped == 0) continue;
        out.push_back(TLeftOut{TNetAddress(), static_cast<TRefusal>(r), nullptr, e.text, e.skipped});
        e.skipped = 0;
    }
    return out;
}

void AuditRefusal(TRefusal reason, const TNetAddress& client, const String& text, const void* detail) {
    int skipped = 0;
    if (!g_refusals.Pass(client, reason, detail, text, skipped)) return;
    if (skipped > 0) showmessage("%s (%d more not shown)\n", client, MSG_REFUSAL, 1, text.Data(), skipped);
    else showmessage("%s\n", client, MSG_REFUSAL, 1, text.Data());
}

void ReportLeftOutRefusals() {
    for (const TRefusalLimiter::TLeftOut& left : g_refusals.TakeLeftOut())
        showmessage("%s: %d more not shown\n", left.client, MSG_REFUSAL, 1, left.text.Data(), left.count);
}

void SetRefusalInterval(std::chrono::milliseconds interval) { g_refusals.SetInterval(interval); }

std::chrono::milliseconds RefusalIntervalFrom(const char* text) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9) return kRefusalInterval;
    long long ms = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return kRefusalInterval;
        ms = ms * 10 + (*p - '0');
    }
    return std::chrono::milliseconds(ms);
}

void OpenSystemLog() {
    openlog("zel", LOG_PID, LOG_DAEMON);
    SetSystemLogSink(SendToSyslog);
}

String ChangedSettingNames(const TZELSettings& before, const TZELSettings& after) {
    String names;
    auto add = [&names](const char* name) {
        if (!names.IsEmpty()) names += ", ";
        names += name;
    };
    for (int i = 0; i < kSettingsKeyCount; ++i) {
        const TZELSettingsKey& k = kSettingsKeys[i];
        if (k.remote == nullptr) continue;
        bool differs = false;
        switch (k.type) {
        case TZELKeyType::Flag:
        case TZELKeyType::Integer: differs = before.*(k.number) != after.*(k.number); break;
        case TZELKeyType::Text:
        case TZELKeyType::FilterList: differs = !(before.*(k.text) == after.*(k.text)); break;
        }
        if (differs) add(k.remote);
    }
    return names;
}
