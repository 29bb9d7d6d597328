// Session workers: threads that take connections from the listening socket
// themselves and serve them one after another, so that a request costs
// neither a thread start nor a hand-over between threads.
//
// Idle workers wait in accept() on the listener published with
// PublishSessionListener; the kernel gives each connection to one of them.
// A worker that takes a connection while no other worker is idle starts one
// more (up to kSessionWorkersMax), so that a session blocking for minutes
// in a script or a probe never keeps other clients waiting. A worker that
// waits kSessionWorkerIdleExit without a connection ends while more than
// kSessionWorkersMin workers are idle. A connection that the admission
// refuses keeps its worker idle, so refusals never grow the pool. When no
// thread can be started, the connections wait in the listen queue until a
// worker is free.
//
// Thread-safety: every function may be called from any thread. The pool
// lives for the whole process; its workers are never joined (the process
// ends with _exit).
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <chrono>

#include "daemon/session_limits.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"
#include "net/address.h"

// Stack size of a worker: handlers keep their buffers on the heap, and
// thousands of simultaneous sessions must fit in memory.
constexpr size_t kSessionStackSize = 256 * 1024;
// Idle workers kept even without work (started by StartSessionWorkers).
constexpr int kSessionWorkersMin = 1;
// Workers at most; further connections wait in the listen queue. Above the
// session cap, so that with every session slot taken a worker is still
// there to refuse the next connection at once.
constexpr int kSessionWorkersMax = kSessionLimit + 64;
// An idle worker above the minimum ends after this long without work.
constexpr std::chrono::seconds kSessionWorkerIdleExit{5};

// What the workers do with what accept() gives them. Set once, before the
// first StartSessionWorkers; the functions run on the workers, concurrently.
struct TSessionHooks {
    // The peer is the client's address (an IPv4 client of a dual-stack
    // listener as its IPv4 address; none when accept() gave no address).
    // Decides on an accepted connection before it counts as a session:
    // false when it is refused (the hook has closed it or leaves that to
    // the owner). Quick: the worker still counts as idle meanwhile. Null
    // admits every connection.
    bool (*admit)(TFd& socket, const TNetAddress& peer) = nullptr;
    // Serves an admitted connection to its end (the session).
    void (*serve)(TFd socket, const TNetAddress& peer) = nullptr;
    // accept() failed with `error` (never EINTR, EAGAIN, nor the end of a
    // listener withdrawn by PublishSessionListener) on listenFd. True to go
    // on accepting (the hook may pause the worker first); false when the
    // listener is broken for good: the pool then withdraws it, as
    // PublishSessionListener(-1) does.
    bool (*acceptFailed)(int error, int listenFd) = nullptr;
};
void SetSessionHooks(const TSessionHooks& hooks);

// Publishes the listening socket that workers accept on: the pool keeps a
// duplicate of listenFd (close-on-exec), so the caller keeps its own
// descriptor. -1 withdraws the listener. Workers waiting in accept() on a
// withdrawn or replaced listener are not woken by this call: the caller
// shuts the old socket down (shutdown() on its own descriptor reaches the
// duplicate), and they move on at once. False with err when the descriptor
// cannot be duplicated.
bool PublishSessionListener(int listenFd, String& err);

// Starts workers until kSessionWorkersMin are idle. False with the reason in
// err when a thread could not be started (call again later: until then the
// connections wait). Call from the serving process (after any fork).
bool StartSessionWorkers(String& err);

// The function that starts threads (pthread_create); tests replace it to
// see how the agent copes when no thread can be created.
using TThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void SetSessionThreadStarter(TThreadStarter starter);

// Workers now, and idle workers now (for tests and diagnostics).
int SessionWorkerCount();
int IdleSessionWorkerCount();
