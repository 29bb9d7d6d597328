// Admission of accepted connections: which accept() errors are passing,
// the connection filter and the session caps.
#include "daemon/admission.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "config/settings.h"
#include "daemon/session_limits.h"
#include "manage/status.h"

namespace {

TEST(TransientAcceptError, OnlyErrorsOfOneConnectionOrAPassingShortage) {
    struct TCase {
        int error;
        bool transient;
    } const cases[] = {
        {EINTR, true},         {EAGAIN, true},      {ECONNABORTED, true}, {EPROTO, true},
        {EPERM, true},         {EMFILE, true},      {ENFILE, true},       {ENOBUFS, true},
        {ENOMEM, true},        {ENETDOWN, true},    {EHOSTUNREACH, true}, {ENETUNREACH, true},
        {EBADF, false},        {EINVAL, false},     {ENOTSOCK, false},    {EFAULT, false},
    };
    for (const TCase& c : cases) EXPECT_EQ(TransientAcceptError(c.error), c.transient) << c.error;
}

// A client address of either family from its text.
TNetAddress Peer(const char* text) {
    TNetAddress a;
    EXPECT_TRUE(TNetAddress::Parse(text, a)) << text;
    return a;
}

// One end of a connected pair, standing for an accepted connection; the
// test keeps the other end to see whether it was closed.
struct TConnection {
    TFd agentSide, clientSide;
    TConnection() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            agentSide.Reset(fds[0]);
            clientSide.Reset(fds[1]);
        }
    }
    bool ClosedByAgent() const {
        char byte;
        return read(clientSide.Get(), &byte, 1) == 0;
    }
};

class Admission : public testing::Test {
protected:
    void TearDown() override {
        for (const TNetAddress& p : admitted) {
            ReleaseSession(p);
            --AgentStatus.ActiveConnections;
        }
        ZELSettings.Modify([](TZELSettings& s) { s = TZELSettings{}; });
    }
    // AdmitConnection on a fresh connection from `dotted`, remembering the
    // admitted ones to release them again.
    bool Admit(const char* dotted, bool& closed) {
        TConnection c;
        EXPECT_TRUE(c.agentSide.Valid());
        const TNetAddress peer = Peer(dotted);
        const bool ok = AdmitConnection(c.agentSide, peer);
        if (ok) admitted.push_back(peer);
        closed = !c.agentSide.Valid() && c.ClosedByAgent();
        return ok;
    }
    std::vector<TNetAddress> admitted;
};

TEST_F(Admission, TheFilterAdmitsOnlyListedAddresses) {
    struct TCase {
        const char* name;
        int filteractive;
        const char* list;  // effective list, entries separated by CR LF
        const char* peer;
        bool admitted;
    } const cases[] = {
        {"filter off", 0, "", "10.0.0.9", true},
        {"listed", 1, "127.0.0.1\r\n127.0.0.5", "127.0.0.5", true},
        {"not listed", 1, "127.0.0.1\r\n127.0.0.5", "127.0.0.2", false},
        {"empty list", 1, "", "127.0.0.1", false},
        {"IPv6 listed", 1, "127.0.0.1\r\n0:0:0:0:0:0:0:1", "::1", true},
        {"IPv6 in a listed prefix", 1, "2001:db8::/32", "2001:db8:5::9", true},
        {"IPv6 not listed", 1, "127.0.0.1\r\n2001:db8::/32", "::1", false},
        {"IPv6 client, IPv4 catch-all", 1, "0.0.0.0/0", "::1", false},
        {"IPv4 client, IPv6 catch-all", 1, "::/0", "127.0.0.1", false},
        {"IPv4-mapped client is its IPv4 address", 1, "127.0.0.1", "::ffff:127.0.0.1", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        ZELSettings.Modify([&](TZELSettings& s) {
            s.filteractive = c.filteractive;
            s.effectivefilterlist = c.list;
        });
        const int sessions = AdmittedSessions();
        const int failed = AgentStatus.FailedConnections.load();
        const int opened = AgentStatus.OpenedConnections.load();
        bool closed = false;
        EXPECT_EQ(Admit(c.peer, closed), c.admitted);
        EXPECT_EQ(closed, !c.admitted);
        EXPECT_EQ(AdmittedSessions(), sessions + (c.admitted ? 1 : 0));
        EXPECT_EQ(AgentStatus.FailedConnections.load(), failed + (c.admitted ? 0 : 1));
        EXPECT_EQ(AgentStatus.OpenedConnections.load(), opened + (c.admitted ? 1 : 0));
    }
}

// One address that has taken its share is refused; another still gets in.
TEST_F(Admission, AnAddressAtItsCapIsRefusedAndOthersAreNot) {
    const TNetAddress busy = Peer("127.0.0.7");
    const TSessionLimits lim = CurrentSessionLimits();
    ASSERT_LT(lim.perAddress, lim.total);
    int taken = 0;
    while (AdmitSession(busy, lim)) ++taken;
    EXPECT_EQ(taken, lim.perAddress);

    bool closed = false;
    EXPECT_FALSE(Admit("127.0.0.7", closed));
    EXPECT_TRUE(closed);
    EXPECT_EQ(AdmittedSessionsFrom(busy), lim.perAddress);
    EXPECT_TRUE(Admit("127.0.0.8", closed));
    EXPECT_FALSE(closed);

    for (int i = 0; i < taken; ++i) ReleaseSession(busy);
    EXPECT_TRUE(Admit("127.0.0.7", closed));
}

// IPv6 clients that rotate their addresses inside one /64 share one cap.
TEST_F(Admission, RotatingAddressesInsideASlash64ShareTheCap) {
    const TSessionLimits lim = CurrentSessionLimits();
    ASSERT_LT(lim.perAddress, lim.total);
    std::vector<TNetAddress> held;
    for (int i = 0; i < lim.perAddress; ++i) {
        const std::string text = "2001:db8:7:7::" + std::to_string(i + 1);
        held.push_back(Peer(text.c_str()));
        ASSERT_TRUE(AdmitSession(held.back(), lim)) << text;
    }
    bool closed = false;
    EXPECT_FALSE(Admit("2001:db8:7:7:abcd::1", closed));
    EXPECT_TRUE(closed);
    EXPECT_TRUE(Admit("2001:db8:7:8::1", closed));
    EXPECT_TRUE(Admit("::1", closed));
    for (const TNetAddress& a : held) ReleaseSession(a);
    EXPECT_TRUE(Admit("2001:db8:7:7:abcd::1", closed));
}

}  // namespace
