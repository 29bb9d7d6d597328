// Replacing the running process by a new image: a restart executes the
// agent's own executable again with its arguments; an upgrade runs the
// script that installs the received executable and starts it (daemon/
// upgrade.h). The main loop (daemon/listener.h) asks for it and withdraws
// the listener first; the functions here run on the main thread only.
#pragma once

#include <chrono>
#include <vector>

#include "daemon/pidfile.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Before the process is replaced, sessions in the middle of a request get
// this long to finish.
constexpr std::chrono::seconds kReplaceGrace{3};

// What replaces the process, and the messages around it.
struct TReplacement {
    const char* announce = "";  // shown before anything is done
    const char* failure = "";   // shown when execve fails
    const char* refused = "";   // shown when the new process would not start
    const char* path = "";      // the program execve runs
    // Its arguments, ending in a null pointer. They point into the strings
    // the replacement was made from, which outlive it.
    std::vector<char*> argv;
};

// A restart: `zelpath` run with the agent's own arguments `argv` (null
// terminated, argv[0] included, kept unchanged).
TReplacement RestartReplacement(const String& zelpath, char** argv);

// An upgrade: /bin/sh (a temporary folder mounted noexec does not matter)
// runs `script` with the agent's arguments after argv[0].
TReplacement UpgradeReplacement(const String& script, char** argv);

// Whether the process that argv (the agent's own arguments, argv[0]
// included) starts would pass its start-up checks on the configuration file
// as it is now (CheckStartupSettings). False with the reasons on one line
// ("Password is not specified! Invalid path to the agent!"): the process
// is then not replaced, so that a bad file never leaves the host without an
// agent. Serving as a user of its own, the new image must be able to listen
// too: `listener` (the socket it would take over) is bound to the new host
// and port, or this process may bind that port (MayBindPort).
bool NewProcessSettingsPass(char** argv, const TFd& listener, String& err);

// Replaces the process by r with the environment envp, once the caller has
// withdrawn the listener so that no session starts meanwhile: waits up to
// kReplaceGrace for the sessions under way (AgentStatus.ActiveConnections),
// closes the pid file, and executes. Returns only when execve failed, after
// showing r.failure; the pid file is then closed, and the caller listens
// and creates it again.
// A descriptor `handOver` (>= 0) stays open in the new image: its
// close-on-exec flag is cleared just before execve (so no program a session
// starts meanwhile inherits it) and set again when execve fails.
void ReplaceProcess(const TReplacement& r, TPidFile& pidfile, char** envp, int handOver = -1);
