// The names a "SetSettings" request may carry, as the agent knows them: a
// warning for each name the agent would skip, with the closest known name.
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

// The known setting name closest to `name`: the one spelt the same but for
// case, else the one whose configuration file key is `name` (any case:
// "logsuccess" -> "LogOkConn"), else the one fewest edits away (case
// ignored; the first in table order on a tie).
std::string ClosestSettingName(const std::string& name);

// One warning per parameter of a "SetSettings" request whose name (the
// trimmed text before the first '=') the agent does not know; parameters
// without '=', and "@FILE" parameters unless `literal`, are not looked at.
// Each warning reads "zelq: warning: unknown setting name 'X' (the agent
// skips it); did you mean 'Y'?".
std::vector<std::string> UnknownSettingWarnings(const std::vector<std::string>& params, bool literal);
