// zelq --upgrade: replaces an agent's executable.
#pragma once

#include <string>

#include "foundation/qdstring.h"
#include "zelq/options.h"

// The digest trailer that follows the executable: its 16-byte MD5 digest
// enciphered under the session key (no length prefix).
String UpgradeTrailer(const std::string& image, const String& sessionKey);

// Announces the size of opts.upgradeFile ("UpgradeCode"), sends the file
// and its digest after a "200", prints each reply as zelq prints replies and
// returns zelq's exit status for the last one.
int RunUpgrade(const TZelqOptions& opts, const String& password);
