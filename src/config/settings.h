// The agent's settings and its configuration file.
//
// Every setting lives in one TZELSettings value. The process-wide store
// `ZELSettings` publishes it as an immutable snapshot: readers take one
// snapshot per request (`auto s = ZELSettings.Get();`) and read fields from
// it without any lock; writers (start-up, reload, remote change) work on a
// copy under the settings lock and publish the result, which the next Get()
// returns.
#pragma once

#include <functional>
#include <memory>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "foundation/qdstring.h"

struct TZELSettings {                 // a plain value; copied freely
    int interactive = 0, verbose = 0, debugverbose = 0;   // command-line fields
    String cfgfile;                   // configuration file path (command line, at most 511 chars)
    String tmpdir, zelpath, pidfile, host;
    int port = 0, timeout = 0, delayforscripts = 0;
    String password, comment, verboselogfile;
    int logsuccess = 0; String oklogfile;
    int filteractive = 0, logfails = 0; String badlogfile, filterlist;
    int allowupdates = 0; String updateaddr, filtermarks;
    int allowmanage = 0; String manageaddr;
    String effectivefilterlist;       // computed by DeriveComputedFields
    // The 23 test and action switches.
    int unc = 0, freespace = 0, foldersize = 0, countfiles = 0, fileexists = 0, filecrc = 0,
        comparefiles = 0, process = 0, service = 0, nteventlog = 0, cpuusage = 0, perfcounter = 0,
        snmp = 0, script = 0, external = 0, ping = 0, tcp = 0, udp = 0, textlog = 0,
        shellscript = 0, executeaction = 0, tcpudpaction = 0, syslogaction = 0;
    String cpuusagescript, proclistscript, proccntscript;
    String user;                      // the account to serve as ("" = stay as started)

    // Derives the computed fields from the settings read: the effective
    // filter list, the script paths next to the agent and a usable temporary
    // directory (which the store publishes through SetTempDirectory with the
    // settings, so a scratch copy changes nothing in force). Run after every load
    // and before every save. `warning` receives a text when the filter marks
    // name more entries than the filter list holds; it is left alone
    // otherwise (the settings are usable either way).
    void DeriveComputedFields(String& warning);
};

class TZELSettingsStore {             // the global `ZELSettings`
public:
    TZELSettingsStore();
    TZELSettingsStore(const TZELSettingsStore&) = delete;
    TZELSettingsStore& operator=(const TZELSettingsStore&) = delete;

    // Immutable snapshot; cheap; thread-safe.
    std::shared_ptr<const TZELSettings> Get() const;
    // Changes with every publication, so that a reader can keep what it
    // derived from a snapshot until the settings change. A lock-free load;
    // thread-safe. Read it before Get(): a value derived from a newer
    // snapshot under an older number is only derived again.
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }
    // Reads the configuration file. False when it failed, err = messages (a
    // successful load may leave warnings in err). A failed load publishes
    // nothing: the settings in force stay as they were. The command-line
    // fields and cfgfile are never changed by a load.
    bool LoadOptions(String& err);
    // LoadOptions without waiting: when a load or save holds the settings
    // lock it returns -1 at once and changes nothing (err untouched), so the
    // main loop never waits behind a long save; the caller retries later.
    // Otherwise 1 loaded / 0 failed.
    int TryLoadOptions(String& err);
    // Rewrites the configuration file from the current settings (and
    // publishes the re-derived computed fields). False with err when the
    // save failed.
    bool SaveOptions(String& err);
    // Copy the current value, apply `change`, publish (no file I/O): start-up command line.
    void Modify(const std::function<void(TZELSettings&)>& change);
    // Copy, apply `change`, save to the file, publish: the remote settings
    // request. The change is published even when the save fails (false, err).
    bool ModifyAndSave(const std::function<void(TZELSettings&)>& change, String& err);

private:
    void Publish(const TZELSettings& s);  // the settings in force, and their temporary directory
    bool LoadLocked(String& err);  // with optmutex held

    std::mutex optmutex;               // held for a whole load, save or change
    mutable std::mutex current_mutex_; // guards current_ only
    std::shared_ptr<const TZELSettings> current_;
    std::atomic<uint64_t> generation_{0};  // raised under current_mutex_
};

extern TZELSettingsStore ZELSettings;

// Sets the environment variable TMPDIR from the current `tmpdir` setting, so
// that child processes inherit it. Call once from main after the first load,
// before any other thread exists; nothing else changes the environment.
void ApplyTempDirToEnvironment();

// ---- The settings table -------------------------------------------------
//
// One row per setting: its configuration file key, type, field and default,
// whether a save writes it, its name in the server's settings requests and,
// for the 23 test and action switches, where the status request shows it.
// Load, save, the status request and the remote settings requests all read
// this one table. Constant; thread-safe.

enum class TZELKeyType { Text, Integer, Flag, FilterList };

// The list of the status request that shows a switch.
enum class TZELStatusList { None, Tests, Actions };

struct TZELSettingsKey {
    const char* key;                  // lower case, as appended to the file; null
                                      // for a switch the file does not have
    TZELKeyType type;
    String TZELSettings::*text;       // Text and FilterList keys
    int TZELSettings::*number;        // Integer and Flag keys
    bool kept;                        // not reset to a default before reading
    const char* textDefault;
    int numberDefault;
    bool saved;                       // written back by a save
    const char* remote;               // name in the server's requests, or null
    int listed;                       // position among the extra lines of the
                                      // settings request (from 1), 0 = not listed
    bool isSwitch;                    // a test or action switch (a Flag)
    TZELStatusList statusList;        // the status list that shows it, if any
    const char* statusLabel;          // its name in that list
    int statusOrder;                  // its position in that list (from 1)
};

// The rows: first the 36 saved keys in the order in which a save appends
// missing keys, then the 8 keys that a save never writes, then the 4
// switches that have no key (the server may change them; every load resets
// them to their defaults).
inline constexpr int kSettingsKeyCount = 48;
extern const TZELSettingsKey kSettingsKeys[kSettingsKeyCount];
// The row of that file key (lower case expected), or null.
const TZELSettingsKey* FindSettingsKey(std::string_view lowerKey);
// The row whose remote name is `name` (exact case), or null.
const TZELSettingsKey* FindRemoteSettingsKey(std::string_view name);

// Applies the defaults that precede reading the file: every row that is not
// kept, the switches without a key among them.
void ApplySettingsDefaults(TZELSettings& s);

// ---- One rule for a value -------------------------------------------------
//
// A value means the same in force and in the file: a remote change is
// decoded here into what the file would give back on the next load, and the
// load uses the same rules. Pure functions; thread-safe.

// The timeout used when the setting is 0 or absent (milliseconds).
inline constexpr int kDefaultTimeoutMs = 4000;
// The timeout in force for a value read: 0 means the default; a value
// below 0 means no deadline of its own (the session cap still applies).
int TimeoutInForce(int value);
// The filter list in force for a decoded list text: the entries, separated
// by any run of blanks and line ends (space, tab, CR, LF) in the text, with
// CR LF between them and nothing around them.
String FilterListInForce(std::string_view entries);

// Checks and decodes one value that the server sends for the setting of
// row `k` (the value already trimmed). Refused, false with a text naming
// the setting and the value in err:
//   Port       anything but a decimal number from 1 to 65535;
//   Timeout    anything but a decimal number (a leading '-' allowed) that
//              fits an int;
//   a flag     anything but "0" or "1";
//   a text     a value holding a CR or LF (the file has one line per key);
//   IPFilterAddr, ManageAddr, UpdateAddr: an item that does not parse
//              (addrfilter.h; IPFilterAddr arrives escaped, entries one per
//              line, and is decoded first).
// Accepted values are decoded into `number` (Integer, Flag) or `text`
// (Text, FilterList) as the agent will hold them.
bool DecodeRemoteValue(const TZELSettingsKey& k, std::string_view value, int& number, String& text, String& err);

// ---- Warnings about the settings ------------------------------------------
//
// Problems worth a log line that do not stop anything: address list items
// that do not parse, filter entries without a mark, names a settings request
// did not know. The daemon installs a sink that writes them to its log;
// without one they are dropped. Install it once at start-up, before any
// session runs; SettingsWarning may then be called from any thread.
using TSettingsWarningFn = void (*)(const char* text);
void SetSettingsWarningSink(TSettingsWarningFn fn);
// Hands one text (no line end) to the sink.
void SettingsWarning(const String& text);
// One warning per problem of the address lists of s (CheckAddressSettings):
// for the start-up and every reload.
void ReportAddressProblems(const TZELSettings& s);

// ---- The settings a new process will read ----------------------------------
//
// Whether a process started on the configuration file `cfgfile` with the
// command-line port `commandLinePort` (0: none) would pass the start-up
// checks: the checks of a load, and a port from 1 to 65535. Reads the file
// into a scratch value; publishes nothing and leaves the settings in force
// (and their temporary directory) as they are. False with the reasons in
// err. Takes no settings lock; thread-safe.
bool CheckStartupSettings(const String& cfgfile, int commandLinePort, String& err);
// The same, also giving the settings that process would read (valid when
// the checks pass).
bool CheckStartupSettings(const String& cfgfile, int commandLinePort, TZELSettings& loaded, String& err);

// ---- Write access for a rewrite ---------------------------------------------
//
// Whether this process may rewrite the configuration file `cfgfile` (the
// file its symbolic links lead to): read it, and create and rename files in
// its folder. False with err = "Cannot rewrite configuration file '<cfgfile>':
// no write access to <folder> (<system's reason>)" (or "... cannot read
// <file> (...)") when the system refuses for lack of rights or a read-only
// file system (EACCES, EPERM, EROFS); any other problem (a missing file)
// passes here and is reported by the save itself. Checked with the
// effective ids; changes nothing; thread-safe.
bool CheckConfigWritable(const String& cfgfile, String& err);
