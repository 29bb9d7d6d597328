// The process-wide reaper of children nobody waits for any more: those that
// outlive a start-only look and those that did not go within the grace time
// after a kill. One thread, started on the first hand-over, holds their
// process descriptors and reaps each child by its own pid as it ends (never
// "any child"). Thread-safe.
#pragma once

#include <sys/types.h>

#include "foundation/fd.h"
#include "foundation/qdstring.h"

// Takes over an unreaped child of this process (pidfd may be invalid: the
// child is then looked at once a second).
void HandToReaper(pid_t pid, TFd pidfd);

// Children handed to the reaper that it has not reaped yet (for tests and
// diagnostics).
int PendingReapCount();

// Hands every child this process has at the moment to the reaper: the
// children a former image of the process started before it replaced itself
// (execve keeps the pid, hence the children, but not the reaper). Call once
// at start-up, before the process starts children of its own; false with
// err when the process table cannot be read (no child is then adopted).
bool AdoptInheritedChildren(String& err);
