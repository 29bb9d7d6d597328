// The process-wide temporary directory.
//
// Temporary files (script bodies, script output, upgrade images) are made
// in one directory. It starts as the environment's TMPDIR, else TMP, else
// empty (the current directory); the settings code replaces it with the
// configured directory. Reading and replacing it is safe from any thread,
// unlike changing the environment while threads run.
#pragma once

#include "foundation/qdstring.h"

// The current temporary directory, as set or as found in the environment on
// first use; "" means the current directory.
String GetTempDirectory();
// Replaces the temporary directory for the whole process ("" = current
// directory).
void SetTempDirectory(const String& dir);
