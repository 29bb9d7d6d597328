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
    String raw;        // the value as the request gave it (trimmed)
};

struct TRemoteChanges {
    std::vector<TRemoteValue> keys;  // by position in kSettingsKeys (switches included)
    std::vector<String> unknown;     // names of no setting, in request order,
                                     // at most kUnknownNamesKept of them
    int unknownCount = 0;            // all of them
};

// How many unknown names a request keeps for the log.
inline constexpr int kUnknownNamesKept = 16;

// Reads every parameter line of a request's parameter text: a line is the
// text before each line feed (a last piece without one is not a line), read
// trimmed of the bytes 0x00-0x20. A line without '=' is skipped; so is a
// line whose trimmed name before the first '=' names no remote setting
// (exact case), which is counted in `unknown`. A name given twice takes its
// last value. Values are decoded leniently here (a number as far as it
// goes, a flag other than "1" as 0); CheckRemoteChanges judges them. Linear
// in the size of the text.
TRemoteChanges ParseRemoteChanges(std::string_view paramsText);

// Whether the changes may be applied, judged whole before anything changes:
// false with the reason when a value is refused (DecodeRemoteValue in
// config/settings.h: a bad port, timeout, flag or address list, a line
// break in a text) or when the changes would leave the agent without a
// password (any request would then pass the password check, and the next
// start-up would refuse the file). On success every value set is decoded
// as the agent will hold it and as the file will give it back.
bool CheckRemoteChanges(TRemoteChanges& changes, String& err);

// The refusal text of a change to an empty password.
inline constexpr const char* kEmptyPasswordRefused = "Password cannot be empty: settings not changed";

// Writes the changes into s (a few dozen assignments at most).
void ApplyRemoteChanges(const TRemoteChanges& changes, TZELSettings& s);

