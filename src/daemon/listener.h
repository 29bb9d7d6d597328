// The listening socket and the accept loop of the main thread.
#pragma once

#include "daemon/pidfile.h"
#include "foundation/qdstring.h"

// Opens the listening socket on the `host` and `port` settings, in up to
// three attempts a second apart. Returns the descriptor, or 0 with the
// error text of the last attempt.
int Listen(unsigned int& addrlen, String& err);

struct TServeContext {
    int listenSocket = 0;
    TPidFile* pidfile = nullptr;
    bool daemonMode = false;
    char** argv = nullptr;  // kept unchanged for a restart
    char** envp = nullptr;
};

// Runs the accept loop until the agent stops; returns the process exit code.
int ServeForever(TServeContext& ctx);
