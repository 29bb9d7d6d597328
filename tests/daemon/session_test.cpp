#include "daemon/session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

int NoThreads(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; }

struct StarterGuard {
    ~StarterGuard() { SetSessionThreadStarter(nullptr); }
};

// When the system refuses a new thread the connection is closed and the
// reason reported; nothing else happens to the agent.
TEST(SessionStart, ThreadRefusedClosesTheConnection) {
    StarterGuard guard;
    SetSessionThreadStarter(NoThreads);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    String err;
    EXPECT_FALSE(StartSession(TFd(pair[0]), in_addr{}, err));
    EXPECT_FALSE(err.IsEmpty());
    char c;
    EXPECT_EQ(read(pair[1], &c, 1), 0);  // the agent's end is closed
    EXPECT_EQ(fcntl(pair[0], F_GETFD), -1);
    close(pair[1]);
}

}  // namespace
