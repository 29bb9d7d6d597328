// Signal handling. The handlers only record what happened; the main loop
// acts on it (a reload, the crash messages, a restart).
#pragma once

// Installs the SIGSEGV handler and ignores SIGPIPE; with `daemonMode` also
// the SIGHUP handler that asks for a reload of the settings.
void InstallSignalHandlers(bool daemonMode);

// Remembers what a restart from the crash handler needs.
void SetRestartVector(const char* path, char** argv, char** envp, const char* pidfile);

// Called by the main loop about once a second and after every interrupted
// wait: performs the work that signals asked for.
void ProcessPendingSignals();
