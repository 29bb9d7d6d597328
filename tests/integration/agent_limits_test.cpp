// Clients that hold connections without finishing a request: a sender
// without the password is dropped as soon as its proof has arrived, a
// request has one deadline however slowly its bytes come, and the sessions
// that such clients can hold at once are capped so that the monitoring
// server is still served.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/session_limits.h"
#include "integration/agent_harness.h"
#include "protocol/packet.h"

namespace zelit {
namespace {

String LittleEndian(uint32_t v, int bytes) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    return String(b, bytes);
}

// The first bytes of a request packet: a length field declaring `declared`
// bytes in all, the signature and a proof block of `proof`.
String PacketHead(uint32_t declared, const String& proof, uint8_t signature1 = PACKET_SIGNATURE_1) {
    String head = LittleEndian(declared - 4, 4);
    head.AddChar(static_cast<char>(signature1));
    head.AddChar(static_cast<char>(PACKET_SIGNATURE_2));
    head += LittleEndian(static_cast<uint32_t>(proof.Length()), 2);
    head += proof;
    return head;
}

// True when the agent has closed the connection (an orderly end or a reset),
// looked at without waiting.
bool ClosedByPeer(int fd) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// A long idle time-out: whatever closes a connection in these tests, it is
// not the time-out, unless a test sets its own.
TAgentConfig LongTimeout(const char* timeout = "timeout=600000") {
    TAgentConfig cfg;
    cfg.extraLines = {timeout, "logsuccess=0"};
    return cfg;
}

// A packet of the largest size is announced; only its first bytes follow.
// Unless they carry the signature and the right proof, the agent closes the
// connection on them, without a reply and without waiting for the rest.
TEST(AgentProof, AWrongProofIsRefusedBeforeThePacketEnds) {
    TAgent agent(LongTimeout());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const uint32_t kLargest = static_cast<uint32_t>(MAX_REQUEST_PACKET);
    const String right = EncodePswd(agent.Password());
    const String wrong = EncodePswd("not-the-password");
    struct {
        const char* name;
        String head;
    } const cases[] = {
        {"wrong password", PacketHead(kLargest, wrong)},
        {"no proof", PacketHead(kLargest, String())},
        {"proof too long", PacketHead(kLargest, right + String("x"))},
        {"proof too short", PacketHead(kLargest, right.Copy(1, 15))},
        {"wrong signature, right proof", PacketHead(kLargest, right, 0x04)},
        {"a wrong first signature byte alone", PacketHead(kLargest, String(), 0x04).Copy(1, 5)},
    };
    int invalid = 0;
    for (const auto& c : cases) {
        TFd fd = ConnectLoopback(agent.Port());
        ASSERT_TRUE(fd.Valid()) << c.name;
        ASSERT_TRUE(SendAll(fd.Get(), c.head)) << c.name;
        TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
        EXPECT_TRUE(got.closed) << c.name;
        EXPECT_TRUE(got.data.IsEmpty()) << c.name;
        EXPECT_TRUE(agent.WaitForMessage("<-- Invalid VT request received\n", 5000, ++invalid)) << c.name;
    }
    // The right proof keeps the connection; the rest of the request follows.
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    String key = NewSessionKey();
    const String packet = MakeRequestPacket(agent.Password(), key, "GetInfo");
    const int head = 8 + right.Length();
    ASSERT_TRUE(SendAll(fd.Get(), packet.Copy(1, head)));
    TReply r = agent.Exchange("GetInfo");  // served meanwhile
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_FALSE(ClosedByPeer(fd.Get()));
    ASSERT_TRUE(SendAll(fd.Get(), packet.Copy(head + 1, packet.Length())));
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000, true);
    EXPECT_FALSE(got.data.IsEmpty());
    EXPECT_EQ(agent.SanitizerReport(), "");
}

// The time-out counts from the connection, not from the last byte: a client
// that sends a correct request one byte at a time, slower than the
// time-out allows for the whole, is closed without a reply.
TEST(AgentProof, ATricklingRequestEndsAtTheDeadline) {
    TAgent agent(LongTimeout("timeout=1000"));
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const String packet = MakeRequestPacket(agent.Password(), NewSessionKey(), "GetInfo");
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    // About 8 s for the whole packet at a byte per 100 ms; every pause is far
    // below the time-out. The sending stops once the agent has closed.
    bool closedEarly = false;
    for (int at = 1; at <= packet.Length() && !closedEarly; ++at) {
        if (!SendAll(fd.Get(), packet.Copy(at, 1))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closedEarly = ClosedByPeer(fd.Get());
    }
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
    EXPECT_TRUE(got.closed);
    EXPECT_TRUE(got.data.IsEmpty()) << "a reply of " << got.data.Length() << " bytes";
    EXPECT_TRUE(closedEarly);
    EXPECT_EQ(agent.SanitizerReport(), "");
}

}  // namespace
}  // namespace zelit
