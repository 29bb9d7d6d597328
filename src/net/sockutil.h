// Small socket helpers shared by the network layer.
#pragma once

#include <poll.h>

// Creates a close-on-exec socket. The descriptor never lands on 0, 1 or 2
// (when the standard streams are closed) so that it cannot be mistaken for
// one of them or for the "no socket" value 0. Returns -1 with errno set.
int NewSocket(int domain, int type, int protocol);

// Waits until fd reports one of events (POLLIN, POLLOUT), an error or a
// hang-up, for at most timeoutMs milliseconds (below 0 counts as 0).
// Interrupted waits resume with the time left. Returns 1 when ready, 0 on
// time-out, -1 on failure with errno set (EBADF for an invalid descriptor).
// Unlike select() it works for descriptors of any number.
int WaitReady(int fd, short events, int timeoutMs);

// As WaitReady without a time limit.
int WaitReadyForever(int fd, short events);
