// The changes that a "SetSettings" request asks for, read from its
// parameter lines once and decoded, so that the settings lock is held only
// to apply them. Pure functions; thread-safe.
#pragma once

#include <string_view>
#include <vector>

#include "config/settings.h"
#include "foundation/qdstring.h"

struct TRemoteValue {
    bool set = false;  // named by the request (its last line for that name)
    int number = 0;    // Integer and Flag settings, decoded
    String text;       // Text and FilterList settings, decoded
};

struct TRemoteChanges {
    std::vector<TRemoteValue> keys;  // by position in ZELSettingsKeys (switches included)
};

// Reads every parameter line of a request's parameter text: a line is the
// text before each line feed (a last piece without one is not a line), read
// trimmed of the bytes 0x00-0x20. A line without '=', or whose trimmed name
// before the first '=' names no remote setting (exact case), is skipped; a
// name given twice takes its last value. Linear in the size of the text.
TRemoteChanges ParseRemoteChanges(std::string_view paramsText);

// Whether the changes may be applied: false with the reason when they would
// leave the agent without a password (any request would then pass the
// password check, and the next start-up would refuse the file).
bool CheckRemoteChanges(const TRemoteChanges& changes, String& err);

// The refusal text of a change to an empty password.
inline constexpr const char* EMPTY_PASSWORD_REFUSED = "Password cannot be empty: settings not changed";

// Writes the changes into s (a few dozen assignments at most).
void ApplyRemoteChanges(const TRemoteChanges& changes, TZELSettings& s);

