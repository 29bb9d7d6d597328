#include "daemon/session_limits.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "foundation/fd.h"

namespace {

TEST(SessionLimits, ShrinkWithTheDescriptorLimit) {
    struct {
        long long descriptors;
        int total;
        int perAddress;
    } const cases[] = {
        {0, kSessionLimit, kSessionLimitPerAddress},   // no known limit
        {-1, kSessionLimit, kSessionLimitPerAddress},
        {1048576, kSessionLimit, kSessionLimitPerAddress},
        {kSessionLimit + kSessionDescriptorHeadroom, kSessionLimit, kSessionLimitPerAddress},
        {1024, 1024 - kSessionDescriptorHeadroom, kSessionLimitPerAddress},
        {256, 256 - kSessionDescriptorHeadroom, 144},
        {64, 32, 24},  // half the descriptors stay with the agent
        {8, 4, 3},
        {2, 1, 1},
        {1, 1, 1},
    };
    for (const auto& c : cases) {
        TSessionLimits lim = SessionLimitsFor(c.descriptors);
        EXPECT_EQ(lim.total, c.total) << c.descriptors;
        EXPECT_EQ(lim.perAddress, c.perAddress) << c.descriptors;
        EXPECT_LT(lim.perAddress, lim.total > 1 ? lim.total : 2) << c.descriptors;
    }
}

// A client address of either family from its text.
TNetAddress Address(const char* text) {
    TNetAddress a;
    EXPECT_TRUE(TNetAddress::Parse(text, a)) << text;
    return a;
}

TEST(SessionLimits, AdmitsUpToBothCapsAndCountsReleases) {
    const TSessionLimits lim{5, 3};
    const TNetAddress one = Address("127.0.0.1"), two = Address("127.0.0.2"), three = Address("127.0.0.3");
    const int before = AdmittedSessions();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(AdmitSession(one, lim)) << i;
    EXPECT_FALSE(AdmitSession(one, lim));  // the address's cap
    EXPECT_EQ(AdmittedSessionsFrom(one), 3);
    EXPECT_TRUE(AdmitSession(two, lim));
    EXPECT_TRUE(AdmitSession(two, lim));
    EXPECT_FALSE(AdmitSession(three, lim));  // the total cap
    EXPECT_EQ(AdmittedSessions(), before + 5);

    ReleaseSession(one);
    EXPECT_TRUE(AdmitSession(three, lim));
    EXPECT_FALSE(AdmitSession(one, lim));  // the total again
    for (const TNetAddress& a : {one, one, two, two, three}) ReleaseSession(a);
    EXPECT_EQ(AdmittedSessionsFrom(one), 0);
    EXPECT_EQ(AdmittedSessionsFrom(three), 0);
    EXPECT_EQ(AdmittedSessions(), before);
}

// A connected pair standing for an accepted connection: the agent's end is
// registered with the admission, the client's end shows whether it was shut.
struct TPair {
    TFd agent, client;
    TPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            agent.Reset(fds[0]);
            client.Reset(fds[1]);
        }
    }
    bool ShutByAgent() const {
        char byte;
        return client.Valid() && recv(client.Get(), &byte, 1, MSG_DONTWAIT) == 0;
    }
};

// Sessions still waiting for their proof never keep a client out: with every
// slot taken a newcomer takes the slot of the oldest waiting session of the
// address with the most waiting ones, when that address has more of them
// than the newcomer's has sessions; never a proven one's, and never beyond
// its own address's cap.
TEST(SessionLimits, ANewcomerTakesAWaitingSessionsSlot) {
    const TSessionLimits lim{4, 3};
    const TNetAddress a = Address("127.0.0.11"), b = Address("127.0.0.12"), c3 = Address("127.0.0.14"),
                  server = Address("127.0.0.13");
    const int before = AdmittedSessions();
    std::vector<TPair> pairs(8);
    for (const TPair& p : pairs) ASSERT_TRUE(p.agent.Valid());
    const TNetAddress from[] = {a, a, b, a, server, b, c3, a};

    for (int i : {0, 1, 2, 3}) ASSERT_TRUE(AdmitSession(from[i], lim, pairs[i].agent.Get())) << i;
    MarkSessionProven(pairs[0].agent.Get());  // the oldest has shown its proof
    EXPECT_EQ(WaitingSessions(), 3);

    struct TCase {
        const char* name;
        int pair;  // the newcomer: its connection and address
        bool admitted;
        int taken;  // the pair whose slot it takes, -1 none
    } const cases[] = {
        {"address at its cap", 7, false, -1},
        {"the most waiting: a's oldest waiting", 4, true, 1},
        {"no address waits more than the newcomer's holds", 5, false, -1},
        {"a tie: the oldest of the tied", 6, true, 2},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AdmitSession(from[c.pair], lim, pairs[c.pair].agent.Get()), c.admitted);
        for (int i = 0; i < static_cast<int>(pairs.size()); ++i) {
            EXPECT_EQ(pairs[i].ShutByAgent(), i == c.taken) << i;
        }
        EXPECT_EQ(AdmittedSessions(), before + lim.total);
        if (c.taken >= 0) pairs[c.taken].client.Reset();  // seen once
    }
    // Admitted now: 0 (proven), 3, 4 and 6 (waiting).
    EXPECT_EQ(WaitingSessions(), 3);
    for (int i : {3, 4, 6}) EXPECT_TRUE(MarkSessionProven(pairs[i].agent.Get()));
    EXPECT_EQ(WaitingSessions(), 0);
    // A session whose slot was taken just before its proof arrived is told so.
    for (int i : {1, 2}) EXPECT_FALSE(MarkSessionProven(pairs[i].agent.Get())) << i;
    EXPECT_FALSE(AdmitSession(b, lim, pairs[5].agent.Get()));  // every slot proven
    EXPECT_FALSE(pairs[0].ShutByAgent());

    // A session whose slot was taken, or that was never admitted, releases
    // nothing; the others do.
    for (int i = 0; i < 8; ++i) ReleaseSession(from[i], pairs[i].agent.Get());
    EXPECT_EQ(AdmittedSessions(), before);
    for (const TNetAddress& x : {a, b, c3, server}) EXPECT_EQ(AdmittedSessionsFrom(x), 0);
}

// An IPv6 client is held to the per-address cap by its address and by its
// /64: addresses rotated inside one /64 share one cap, other /64s and IPv4
// clients keep theirs. (Loopback has one IPv6 address, so synthetic ones.)
TEST(SessionLimits, AnIPv6ClientIsCappedByItsAddressAndItsSlash64) {
    const TSessionLimits lim{20, 3};
    const int before = AdmittedSessions();
    std::vector<TNetAddress> admitted;
    struct TCase {
        const char* address;
        bool admitted;
        int fromAddress, fromPrefix;  // counts afterwards
    } const cases[] = {
        {"2001:db8:1:2::1", true, 1, 1},
        {"2001:db8:1:2::2", true, 1, 2},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", true, 1, 3},
        {"2001:db8:1:2::3", false, 0, 3},          // a new address, its /64 at the cap
        {"2001:db8:1:2::1", false, 1, 3},          // a known one too
        {"2001:db8:1:3::1", true, 1, 1},           // the next /64
        {"2001:db8:9::7", true, 1, 1},             // one address alone ...
        {"2001:db8:9::7", true, 2, 2},
        {"2001:db8:9::7", true, 3, 3},
        {"2001:db8:9::7", false, 3, 3},            // ... at the cap
        {"::ffff:127.0.0.9", true, 1, 1},          // an IPv4-mapped client counts as IPv4
        {"127.0.0.9", true, 2, 2},
        {"::1", true, 1, 1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.address);
        const TNetAddress a = Address(c.address);
        const bool ok = AdmitSession(a, lim);
        EXPECT_EQ(ok, c.admitted);
        if (ok) admitted.push_back(a);
        EXPECT_EQ(AdmittedSessionsFrom(a), c.fromAddress);
        EXPECT_EQ(AdmittedSessionsFromPrefix(a), c.fromPrefix);
    }
    // A release makes room in the /64 for any of its addresses.
    ReleaseSession(Address("2001:db8:1:2::2"));
    admitted.erase(admitted.begin() + 1);
    EXPECT_TRUE(AdmitSession(Address("2001:db8:1:2::3"), lim));
    admitted.push_back(Address("2001:db8:1:2::3"));
    EXPECT_EQ(AdmittedSessionsFromPrefix(Address("2001:db8:1:2::1")), 3);
    for (const TNetAddress& a : admitted) ReleaseSession(a);
    EXPECT_EQ(AdmittedSessions(), before);
    EXPECT_EQ(AdmittedSessionsFromPrefix(Address("2001:db8:1:2::1")), 0);
}

// The waiting sessions of one /64 are weighed together for a take-over:
// three addresses waiting once each lose a slot to a client that holds one,
// as one address waiting three times would.
TEST(SessionLimits, WaitingSessionsOfOneSlash64CountTogether) {
    const TSessionLimits lim{5, 3};
    const TNetAddress rotating[] = {Address("2001:db8:5:5::1"), Address("2001:db8:5:5::2"),
                                    Address("2001:db8:5:5::3")};
    const TNetAddress server = Address("::1"), newcomer = Address("127.0.0.20");
    const int before = AdmittedSessions();
    std::vector<TPair> pairs(6);
    for (const TPair& p : pairs) ASSERT_TRUE(p.agent.Valid());
    const TNetAddress from[] = {newcomer, server, rotating[0], rotating[1], rotating[2], newcomer};
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(AdmitSession(from[i], lim, pairs[i].agent.Get())) << i;
    MarkSessionProven(pairs[0].agent.Get());
    MarkSessionProven(pairs[1].agent.Get());
    EXPECT_TRUE(AdmitSession(newcomer, lim, pairs[5].agent.Get()));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(pairs[i].ShutByAgent(), i == 2) << i;  // the /64's oldest
    EXPECT_EQ(AdmittedSessionsFromPrefix(rotating[0]), 2);
    for (int i = 0; i < 6; ++i) ReleaseSession(from[i], pairs[i].agent.Get());
    EXPECT_EQ(AdmittedSessions(), before);
}

}  // namespace
