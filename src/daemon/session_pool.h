// Session workers: threads that serve connections one after another, so
// that a request costs no thread creation.
//
// A connection handed to the pool goes to the worker that went idle last
// (the others stay cold and end after SESSION_WORKER_IDLE_EXIT); when none
// is idle a new worker is started, up to SESSION_WORKERS_MAX; beyond that
// the connection waits for the first worker to finish. A session can block
// for minutes in a script or a probe, so the pool grows rather than making
// other clients wait. Thread-safe; the pool lives for the whole process.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <chrono>

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Stack size of a worker: handlers keep their buffers small, and
// thousands of simultaneous sessions must fit in memory.
constexpr size_t SESSION_STACK_SIZE = 256 * 1024;
// Workers kept even when idle (started ahead by StartSessionWorkers).
constexpr int SESSION_WORKERS_MIN = 1;
// Workers at most; further connections wait for a free one.
constexpr int SESSION_WORKERS_MAX = 4096;
// An idle worker above the minimum ends after this long without work.
constexpr std::chrono::seconds SESSION_WORKER_IDLE_EXIT{5};

// The function that starts threads (pthread_create); tests replace it to
// see how the agent copes when no thread can be created.
using TThreadStarter = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void SetSessionThreadStarter(TThreadStarter starter);

// Serves one connection to its end (the session); runs on a worker.
using TSessionServe = void (*)(TFd socket, in_addr address);

// Hands the connection to a worker running `serve`. False when no worker is
// free and none can be started: the connection is then closed and err says
// why.
bool SubmitSession(TSessionServe serve, TFd socket, in_addr address, String& err);

// Starts the minimum of workers ahead of the first connection. Call from
// the serving process (after any fork), before accepting.
void StartSessionWorkers();

// Workers now, and idle workers now (for tests and diagnostics).
int SessionWorkerCount();
int IdleSessionWorkerCount();
