// The scan state of a text-log check in plugin mode, kept by zelq in a
// small file between runs (the agent keeps none). One file per check: the
// file name carries a digest of the check's identity (agent, command and
// parameters), and the file repeats that identity so that a collision or
// a file of another check is never taken for this one's state.
//
// Writes are atomic (a temporary file in the same folder, created
// exclusively, then renamed over the old one): a check killed mid-write
// leaves the previous state. Two runs of the same check at the same moment
// may both scan the same lines; the last to finish leaves its state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TTextLogState {
    int64_t position = 0;
    int64_t size = 0;  // 0 (with time 0): never scanned
    int64_t time = 0;
    bool alarm = false;        // TEST-TextLog2: the last reported line met the alarm condition
    std::string line;          // the last line that raised or reset the alarm (at most kMaxStateLine bytes
                               // are written)
};

// The agent reports at most this many bytes of a matching line; the state
// keeps no more, whatever an agent sends.
constexpr size_t kMaxStateLine = 1024;

// line cut to kMaxStateLine bytes (a UTF-8 sequence is not cut in two).
std::string CappedStateLine(const std::string& line);

// The largest state file read. It holds what zelq writes at most: the
// check's identity (parameters that fit one request packet, each line
// break escaped in three bytes) and a capped line, with room to spare.
size_t MaxStateFileSize();

// The folder for state files: $XDG_CACHE_HOME/zelq when that is an
// absolute path, else $HOME/.cache/zelq. False with a reason when neither
// names a folder. (xdgCache and home may be null.)
bool DefaultStateFolder(const char* xdgCache, const char* home, std::string& folder, std::string& err);

// The identity of a check, and the file name its state takes in the
// default folder ("textlog-" + 16 hex digits + ".state").
std::string TextLogStateKey(const std::string& host, int port, const std::string& command,
                            const std::string& paramLines);
std::string TextLogStateFileName(const std::string& key);

enum class TStateLoad {
    Missing,  // no file: a first run
    Loaded,
    Other,    // the file is damaged or belongs to another check: start afresh
    Failed,   // the file exists but cannot be read (err)
};
TStateLoad LoadTextLogState(const std::string& path, const std::string& key, TTextLogState& state, std::string& err);

// Creates the folder of path (and missing parents, mode 0700) and writes
// the state atomically. False with a reason in err.
bool SaveTextLogState(const std::string& path, const std::string& key, const TTextLogState& state, std::string& err);

// The same folder creation on its own.
bool MakeFolders(const std::string& folder, std::string& err);

// Parsing and writing the file's text (exposed for tests).
std::string TextLogStateText(const std::string& key, const TTextLogState& state);
TStateLoad ParseTextLogState(const std::string& text, const std::string& key, TTextLogState& state);
