// Client sessions: one detached thread per accepted connection reads one
// request packet, has it dispatched and sends one reply.
#pragma once

#include <pthread.h>

#include <chrono>

#include "daemon/dispatcher.h"
#include "foundation/fd.h"

// Stack size of a session thread: handlers keep their buffers small, and
// thousands of simultaneous sessions must fit in memory.
constexpr size_t SESSION_STACK_SIZE = 256 * 1024;

// A request must arrive whole within the `timeout` setting, counted in whole
// seconds from the connection (however its bytes are spread), and in any
// case, whatever the setting, within this cap.
constexpr std::chrono::seconds SESSION_REQUEST_CAP{300};

// How long a session waits for a client that does not take its reply.
constexpr int SESSION_SEND_TIMEOUT_SECONDS = 30;

// The session thread's entry; `params` is a heap ThreadParams it frees,
// together with the connection it names.
void* ClientExecute(void* params);

// Starts a detached session thread, which takes over the connection. The
// caller has admitted the session (AdmitSession, daemon/session_limits.h);
// the thread releases it once the connection is closed. On failure the
// connection is shut down and closed, false returned with the reason in
// err, and the admission is still the caller's to release.
bool StartSession(TFd socket, in_addr address, String& err);

// The function that starts session threads (pthread_create); tests replace
// it to see how the agent copes when no thread can be created.
using TThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void SetSessionThreadStarter(TThreadStarter starter);
