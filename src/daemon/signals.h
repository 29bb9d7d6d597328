// Signal handling. The handlers only record what happened (in lock-free
// atomics, whichever thread the signal lands on) and wake the main loop;
// the main loop acts on it (a reload, a stop, the crash messages, a restart).
#pragma once

// Installs the SIGSEGV handler, the SIGTERM handler (a stop, as the server's
// QUIT asks for) and ignores SIGPIPE; with `daemonMode` also the SIGHUP
// handler that asks for a reload of the settings. Creates the wake-up
// descriptor on the first call. Main thread, before any session starts.
void InstallSignalHandlers(bool daemonMode);

// Readable while a signal has left work for ProcessPendingSignals (which
// drains it); the main loop waits on it beside the listening socket. -1
// before InstallSignalHandlers. Close-on-exec.
int SignalWakeDescriptor();

// Wakes the main loop from its wait, so that it looks at the flags at once
// (a session that left it work: a stop, a restart, a port change; a broken
// listener). Any thread; async-signal-safe.
void WakeMainLoop();

// Remembers what a restart from the crash handler needs.
void SetRestartVector(const char* path, char** argv, char** envp, const char* pidfile);

// Called by the main loop on every pass: performs the work that signals
// asked for (SIGHUP: reload the settings; SIGTERM: set the Terminate flag of
// ZELFlags; SIGSEGV from another process: report it and ask for a restart
// or end). Main thread only.
void ProcessPendingSignals();
