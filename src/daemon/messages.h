// Console and log-file messages of the agent.
//
// Every run-time message goes through showmessage: it is stamped with the
// date, the time and the client's address, echoed to the console in
// interactive mode and appended to the log files chosen by its kind and the
// settings (success log, failure log, verbose log).
#pragma once

#include <netinet/in.h>
#include <time.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "foundation/qdstring.h"
#include "net/address.h"

// The kind of a message.
enum MsgType : int {
    MSG_SUCCESS = 0,  // console; success log if logsuccess; verbose log
    MSG_ERROR = 1,    // console; failure log if logfails; verbose log
    MSG_DEBUG = 2,    // only in debug-verbose mode (-vd): console; verbose log
    MSG_INFO = 3,     // console; verbose log
    // The audit trail, whatever the verbose flags say: console; failure log
    // if logfails; verbose log; the system log once OpenSystemLog has run
    // (daemon mode).
    MSG_AUDIT = 4,    // lifecycle: start, reload, settings change, restart, upgrade, stop (LOG_NOTICE)
    MSG_REFUSAL = 5,  // a refused connection or request (LOG_WARNING); see daemon/audit.h
};

// The client address of a message that has none.
inline constexpr TNetAddress LOCAL{};

// Serialises console output and log-file appends, so lines never interleave.
extern std::mutex showmutex;

// Longest message text, console line and log line, in characters.
inline constexpr int kMaxMessageLine = 511;

// Reports one message. With formatted != 0 text is a printf format applied
// to the further arguments; otherwise it is used unchanged. Lines carry no
// added line ending: texts bring their own "\n". Takes showmutex; must not
// be called from a signal handler.
void showmessage(const char* text, const TNetAddress& client, MsgType kind, int formatted, ...)
    __attribute__((format(printf, 1, 5)));

// Appends line to the log file named file. A name without '/' is taken in
// the directory of the configuration file (cfgfile setting) when that path
// has one. A file that cannot be opened, a symbolic link (at the last
// component) and anything but a regular file are skipped silently. The caller
// holds showmutex.
void writelog(const String& file, const char* line);

// ---- The pieces of showmessage, for tests and tools ---------------------

struct TMessageLines {
    String console;  // "[zel][hh:mm:ss]\t <address>\t <text>"
    String log;      // "[MM/DD/YYYY hh:mm:ss]\t <address>\t <text>"
};

// Forms the console and log lines of a message at local time `when`, with
// the text made visible (VisibleMessageText). The address field is the
// client's address in full (dotted IPv4, IPv6 in its compressed form), or
// "zel\t" for LOCAL. The text
// and each line are cut to kMaxMessageLine characters; a cut keeps the final
// "\n" of a text that ends with one, so the next line starts on a line of its own.
TMessageLines FormatMessageLines(const tm& when, const TNetAddress& client, std::string_view text);

// The message text as it is printed and logged: every byte that is no
// printable character (control bytes such as ESC, CR and LF, DEL, the C1
// controls and bytes that form no UTF-8 character) becomes a visible escape
// ("\r", "\n", "\t", else "\xHH"), except the line feeds that end the text.
// Printable ASCII and UTF-8 text stays as it is.
std::string VisibleMessageText(std::string_view text);

// The file that writelog appends to for the log name `file`.
String LogFilePath(const String& file, const String& cfgfile);

// True when writing to descriptor fd reaches nobody: it is closed or it is
// /dev/null (an agent started with -i and its output thrown away). The
// console echo is then left off, so that sessions do not format and write
// lines for nothing.
bool OutputGoesNowhere(int fd);

// Where the audit kinds go besides the files: called with the syslog
// priority and the message as one line (the client address, ": ", the
// visible text without its line end). Null (the default) sends nothing.
// Set once at start-up (OpenSystemLog) or by tests; the sink must be
// thread-safe.
using TSystemLogSink = void (*)(int priority, const char* line);
void SetSystemLogSink(TSystemLogSink sink);

// The clock of showmessage (seconds since 1970); null restores time().
using TMessageClock = time_t (*)();
void SetMessageClock(TMessageClock clock);

// ---- Messages that may come many times a second --------------------------

// A message that can repeat many times a second (accept errors, refused
// connections) is shown at most once per this interval, with the number of
// repeats left out since.
inline constexpr std::chrono::seconds kRepeatedMessageInterval{10};

// The monotonic clock of TRepeatedMessage; null restores
// std::chrono::steady_clock::now. Tests set it to step the interval by hand.
using TSteadyClock = std::chrono::steady_clock::time_point (*)();
void SetRepeatedMessageClock(TSteadyClock clock);
// The time of that clock.
std::chrono::steady_clock::time_point RepeatedMessageNow();

// One message that may repeat: shown the first time, then at most once per
// kRepeatedMessageInterval with the count of those left out since.
// Thread-safe: one object is shared by every thread that reports it.
class TRepeatedMessage {
public:
    // Counts one occurrence. True when it is to be shown now, with `skipped`
    // the number of occurrences left out since the last one shown; false
    // when it is left out.
    bool Pass(int& skipped);
    // Shows `text` (without its line end) as an error message about `client`
    // when Pass lets it through, followed by " (N more not shown)" when N
    // occurrences were left out before it.
    void Show(const TNetAddress& client, const String& text);

private:
    std::mutex mutex_;
    bool shown_ = false;                                 // guarded by mutex_
    std::chrono::steady_clock::time_point last_{};       // guarded by mutex_
    int skipped_ = 0;                                    // guarded by mutex_
};
