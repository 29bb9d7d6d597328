#include "daemon/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "config/settings.h"
#include "foundation/fileutils.h"
#include "foundation/fd.h"
#include "foundation/io.h"

std::mutex showmutex;

namespace {

std::atomic<TMessageClock> g_messageClock{nullptr};
std::atomic<TSteadyClock> g_repeatedMessageClock{nullptr};
std::atomic<TSystemLogSink> g_systemLogSink{nullptr};

bool AuditKind(MsgType kind) { return kind == MSG_AUDIT || kind == MSG_REFUSAL; }

time_t Now() {
    TMessageClock clock = g_messageClock.load();
    return clock ? clock() : time(nullptr);
}

// Cuts s to the longest line; a text that ended with "\n" keeps it.
void CutLine(std::string& s, bool endsWithNewline) {
    if (s.size() <= static_cast<size_t>(kMaxMessageLine)) return;
    s.resize(kMaxMessageLine);
    if (endsWithNewline) s.back() = '\n';
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char small[64];
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(out.data(), out.size(), fmt, ap);
    va_end(ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string FormatV(const char* fmt, va_list ap) {
    va_list measure;
    va_copy(measure, ap);
    int n = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n < 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Which kinds of message reach the console or a log under the settings of
// generation `generation` (one bit per MsgType), kept per thread.
struct TRoutes {
    uint64_t generation = ~uint64_t{0};
    unsigned kinds = 0;
};

bool MessageGoesSomewhere(MsgType kind) {
    thread_local TRoutes routes;
    const uint64_t generation = ZELSettings.Generation();
    if (routes.generation != generation) {
        auto s = ZELSettings.Get();
        const bool everywhere = s->interactive != 0 || s->verbose != 0;
        unsigned kinds = 0;
        if (everywhere || s->logsuccess) kinds |= 1u << MSG_SUCCESS;
        if (everywhere || s->logfails) kinds |= 1u << MSG_ERROR;
        if (everywhere && s->debugverbose) kinds |= 1u << MSG_DEBUG;
        if (everywhere) kinds |= 1u << MSG_INFO;
        if (everywhere || s->logfails) kinds |= (1u << MSG_AUDIT) | (1u << MSG_REFUSAL);
        routes.kinds = kinds;
        routes.generation = generation;
    }
    if (AuditKind(kind) && g_systemLogSink.load() != nullptr) return true;
    return (routes.kinds >> kind) & 1u;
}

// The system log's line: "<address>: <text>" or the text alone.
void ToSystemLog(TSystemLogSink sink, MsgType kind, const TNetAddress& client, const std::string& message) {
    std::string line;
    if (!client.IsNone()) {
        line = client.Text().Std();
        line += ": ";
    }
    std::string body = VisibleMessageText(message.substr(0, message.find('\0')));
    while (!body.empty() && body.back() == '\n') body.pop_back();
    if (body.size() > static_cast<size_t>(kMaxMessageLine)) body.resize(kMaxMessageLine);
    line += body;
    sink(kind == MSG_REFUSAL ? LOG_WARNING : LOG_NOTICE, line.c_str());
}

void AppendToLog(const String& file, const char* line, const String& cfgfile) {
    if (file.IsEmpty() || line == nullptr) return;
    String path = LogFilePath(file, cfgfile);
    // Never through a symbolic link at the last step, and only into a
    // regular file (a FIFO without a reader or a device is skipped, not
    // waited for).
    TFd fd(::open(path.Data(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0640));
    if (!fd.Valid()) return;
    struct stat st{};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    String ignored;  // a log that cannot be written has nowhere to report it
    WriteAll(fd.Get(), line, ignored);
}

}  // namespace

std::string VisibleMessageText(std::string_view text) {
    size_t end = text.size();
    while (end > 0 && text[end - 1] == '\n') --end;  // the text's own line ends stay
    std::string out;
    out.reserve(text.size() + 16);
    auto hex = [&out](unsigned char c) {
        static const char digits[] = "0123456789ABCDEF";
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 15];
    };
    for (size_t i = 0; i < end;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '\n' || c == '\r' || c == '\t') {
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
            ++i;
            continue;
        }
        // A whole UTF-8 sequence of a printable character stays as it is;
        // the C1 controls (U+0080-U+009F), which terminals obey like ESC
        // sequences, and bytes that form no character are escaped.
        size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool whole = n > 0 && i + n <= end;
        for (size_t k = 1; whole && k < n; ++k) whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (whole) {
            const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xC2 && c1 < 0xA0) || (c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) ||
                (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
                whole = false;  // C1 controls, overlong forms, surrogates, beyond U+10FFFF
        }
        if (!whole) {
            hex(c);
            ++i;
            continue;
        }
        out.append(text.substr(i, n));
        i += n;
    }
    out.append(text.substr(end));
    return out;
}

void SetMessageClock(TMessageClock clock) { g_messageClock.store(clock); }

bool OutputGoesNowhere(int fd) {
    struct stat out{};
    if (::fstat(fd, &out) != 0) return true;
    if (!S_ISCHR(out.st_mode)) return false;
    struct stat null{};
    return ::stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) && null.st_rdev == out.st_rdev;
}

String LogFilePath(const String& file, const String& cfgfile) {
    if (file.Pos('/') != 0) return file;
    String dir = ExtractFilePath(cfgfile);
    if (dir.IsEmpty()) return file;
    return dir + file;
}

TMessageLines FormatMessageLines(const tm& when, const TNetAddress& client, std::string_view text) {
    // Each field holds at most 22 characters (only reached with absurd values).
    char date[48], clock[48];
    snprintf(date, sizeof date, "%2.2d/%2.2d/%2.2d", when.tm_mon + 1, when.tm_mday,
             when.tm_year + 1900);
    snprintf(clock, sizeof clock, "%2.2d:%2.2d:%2.2d", when.tm_hour, when.tm_min, when.tm_sec);
    date[22] = clock[22] = '\0';
    // Room for an IPv6 address in full (a dotted one takes at most 15).
    char address[kNetAddressTextMax + 1] = "zel\t";
    if (!client.IsNone()) client.Format(address, sizeof address);

    // The text is C text; what a client sent must not reach a terminal or a
    // log as control bytes (escape sequences, forged lines).
    std::string body = VisibleMessageText(text.substr(0, text.find('\0')));
    const bool endsWithNewline = !body.empty() && body.back() == '\n';
    CutLine(body, endsWithNewline);

    std::string console = Format("[zel][%s]\t %s\t %s", clock, address, body.c_str());
    CutLine(console, endsWithNewline);
    std::string log = Format("[%s %s]\t %s\t %s", date, clock, address, body.c_str());
    CutLine(log, endsWithNewline);
    return TMessageLines{String(console), String(log)};
}

void writelog(const String& file, const char* line) {
    if (file.IsEmpty() || line == nullptr) return;
    AppendToLog(file, line, ZELSettings.Get()->cfgfile);
}

void showmessage(const char* text, const TNetAddress& client, MsgType kind, int formatted, ...) {
    // A daemon that logs nothing of this kind formats nothing and takes no
    // snapshot: sessions call here several times per request.
    if (!MessageGoesSomewhere(kind)) return;
    auto s = ZELSettings.Get();
    if (kind == MSG_DEBUG && !s->debugverbose) return;
    const bool toConsole = s->interactive != 0;
    const bool toOkLog = kind == MSG_SUCCESS && s->logsuccess;
    const bool toBadLog = (kind == MSG_ERROR || AuditKind(kind)) && s->logfails;
    const bool toVerboseLog = s->verbose != 0;
    const TSystemLogSink sink = AuditKind(kind) ? g_systemLogSink.load() : nullptr;
    if (!toConsole && !toOkLog && !toBadLog && !toVerboseLog && sink == nullptr) return;
    if (text == nullptr) text = "";

    std::string message;
    if (formatted) {
        va_list ap;
        va_start(ap, formatted);
        message = FormatV(text, ap);
        va_end(ap);
    } else {
        message = text;
    }

    // Formed before the lock: only the writes are serialised.
    time_t now = Now();
    tm when{};
    localtime_r(&now, &when);
    TMessageLines lines = FormatMessageLines(when, client, message);

    std::lock_guard<std::mutex> lock(showmutex);
    if (toConsole) {
        fputs(lines.console.Data(), stdout);
        fflush(stdout);
    }
    if (toOkLog) AppendToLog(s->oklogfile, lines.log.Data(), s->cfgfile);
    if (toBadLog) AppendToLog(s->badlogfile, lines.log.Data(), s->cfgfile);
    if (toVerboseLog) AppendToLog(s->verboselogfile, lines.log.Data(), s->cfgfile);
    if (sink != nullptr) ToSystemLog(sink, kind, client, message);
}

void SetSystemLogSink(TSystemLogSink sink) { g_systemLogSink.store(sink); }

void SetRepeatedMessageClock(TSteadyClock clock) { g_repeatedMessageClock.store(clock); }

std::chrono::steady_clock::time_point RepeatedMessageNow() {
    const TSteadyClock clock = g_repeatedMessageClock.load();
    return clock != nullptr ? clock() : std::chrono::steady_clock::now();
}

bool TRepeatedMessage::Pass(int& skipped) {
    const auto now = RepeatedMessageNow();
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_ && now - last_ < kRepeatedMessageInterval) {
        ++skipped_;
        return false;
    }
    skipped = skipped_;
    shown_ = true;
    last_ = now;
    skipped_ = 0;
    return true;
}

void TRepeatedMessage::Show(const TNetAddress& client, const String& text) {
    int skipped = 0;
    if (!Pass(skipped)) return;
    if (skipped > 0) showmessage("%s (%d more not shown)\n", client, MSG_ERROR, 1, text.Data(), skipped);
    else showmessage("%s\n", client, MSG_ERROR, 1, text.Data());
}
