// Helpers shared by the load and the save of the configuration file.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"

// One "key = value" line as both the load and the save see it.
struct TConfigLine {
    std::string key;        // lower case, without surrounding spaces and tabs
    size_t valueStart = 0;  // offset of the value's first byte in the line
    std::string_view value; // without leading spaces/tabs and trailing spaces, tabs, CR, LF
};

// Parses one line (with or without its line end). False for a comment
// ('#' or ';' first) and for a line without '='.
bool ParseConfigLine(std::string_view line, TConfigLine& out);

// Splits text into lines, each keeping its LF; the last one may lack it.
std::vector<std::string_view> SplitConfigLines(std::string_view text);

// Reads the whole file. False when it cannot be opened or read. st (when
// not null) receives the file's status.
bool ReadConfigFile(const char* name, std::string& out, struct stat* st);

// Applies the key lines of a configuration file's text to s (no defaults,
// no checks).
void ApplyConfigText(TZELSettings& s, std::string_view text);
// The whole load on s (defaults, file, derived fields, checks). False when
// it failed, err = every reason; a load that succeeds may leave a warning
// in err.
bool LoadSettingsFile(TZELSettings& s, String& err);
// The whole save of s (derived fields, rewrite, replace). False with err
// when the file could not be rewritten (it is then left as it was).
bool SaveSettingsFile(TZELSettings& s, String& err);
// The new file's content for the old content `old`.
std::string BuildConfigFile(const TZELSettings& s, std::string_view old);


