#include "daemon/session_limits.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace {

TEST(SessionLimits, ShrinkWithTheDescriptorLimit) {
    struct {
        long long descriptors;
        int total;
        int perAddress;
    } const cases[] = {
        {0, SESSION_LIMIT, SESSION_LIMIT_PER_ADDRESS},   // no known limit
        {-1, SESSION_LIMIT, SESSION_LIMIT_PER_ADDRESS},
        {1048576, SESSION_LIMIT, SESSION_LIMIT_PER_ADDRESS},
        {SESSION_LIMIT + SESSION_DESCRIPTOR_HEADROOM, SESSION_LIMIT, SESSION_LIMIT_PER_ADDRESS},
        {1024, 1024 - SESSION_DESCRIPTOR_HEADROOM, SESSION_LIMIT_PER_ADDRESS},
        {256, 256 - SESSION_DESCRIPTOR_HEADROOM, 144},
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

in_addr Address(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a;
}

TEST(SessionLimits, AdmitsUpToBothCapsAndCountsReleases) {
    const TSessionLimits lim{5, 3};
    const in_addr one = Address("127.0.0.1"), two = Address("127.0.0.2"), three = Address("127.0.0.3");
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
    for (in_addr a : {one, one, two, two, three}) ReleaseSession(a);
    EXPECT_EQ(AdmittedSessionsFrom(one), 0);
    EXPECT_EQ(AdmittedSessionsFrom(three), 0);
    EXPECT_EQ(AdmittedSessions(), before);
}

}  // namespace
