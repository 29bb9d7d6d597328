// The send action's one-way delivery, with small bounds, against loopback
// peers.
#include "actions/send_data.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "common/loopback_peers.h"
#include "foundation/io.h"

namespace {

using peers::TTcpMode;
using peers::TTcpPeer;

const std::string kTimedOut = ErrnoText(ETIMEDOUT).Data();

TEST(SendDataOneWay, APeerThatNeverReadsCannotHoldTheSender) {
    TTcpPeer peer(TTcpMode::NeverRead);
    TSendPlan plan;
    plan.host = "127.0.0.1";
    plan.port = peer.Port();
    plan.first = String(std::string(32 << 20, 'q'));
    String err;
    EXPECT_FALSE(SendDataOneWay(plan, 300, err));
    EXPECT_EQ(err, kTimedOut.c_str());
}

TEST(SendDataOneWay, AConnectThatHangsEndsAtTheBound) {
    // A listener whose accept queue is full drops further connection
    // requests, so their connect never completes.
    nettest::TBlackHole silent;
    ASSERT_GT(silent.port, 0);
    TSendPlan plan;
    plan.host = "127.0.0.1";
    plan.port = silent.port;
    plan.first = "hello";
    String err;
    EXPECT_FALSE(SendDataOneWay(plan, 300, err));
    EXPECT_EQ(err, kTimedOut.c_str());
}

TEST(SendDataOneWay, SendsBothPiecesAndClosesInOrder) {
    TTcpPeer peer(TTcpMode::Banner, "220 ready\r\n");
    TSendPlan plan;
    plan.host = "127.0.0.1";
    plan.port = peer.Port();
    plan.first = "HELO a\r\n";
    plan.pauseSec = 1;  // the greeting is waiting unread when the action closes
    plan.second = "QUIT\r\n";
    String err("stale");
    EXPECT_TRUE(SendDataOneWay(plan, 5000, err));
    EXPECT_EQ(err, "");
    auto visits = peer.WaitVisits(1);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(visits[0].received, "HELO a\r\nQUIT\r\n");
    EXPECT_TRUE(visits[0].cleanEnd) << "the close reset the connection";
}

}  // namespace
