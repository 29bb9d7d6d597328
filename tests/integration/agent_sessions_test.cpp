// One connection, one request: invalid packets, packets in pieces and the
// idle time-out of the running agent.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "integration/agent_harness.h"
#include "protocol/client.h"

namespace zelit {
namespace {

// Offsets (0-based) in a request packet: length, signature, proof length,
// proof, session key length.
constexpr int kSignatureAt = 4;
constexpr int kProofAt = 8;
constexpr int kKeyLengthAt = 24;

String LittleEndian32(uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    return String(b, 4);
}

// The packet with the byte at a 0-based offset XOR-ed with mask.
String Flipped(String packet, int offset0, unsigned char mask) {
    packet.Buffer()[offset0] = static_cast<char>(packet.Buffer()[offset0] ^ mask);
    return packet;
}

TAgentConfig ShortTimeout() {
    TAgentConfig cfg;
    cfg.extraLines = {"timeout=1000"};
    return cfg;
}

class AgentSessions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent.Start()) << agent.StartError(); }
    void TearDown() override { EXPECT_EQ(agent.SanitizerReport(), ""); }

    String GoodPacket(const char* command = "GetInfo") {
        return MakeRequestPacket(agent.Password(), NewSessionKey(), command);
    }

    // The counters the agent reports (asking makes one more opened session).
    std::string Counter(const char* name) {
        TReply r = agent.Exchange("GetInfo");
        EXPECT_TRUE(r.replied) << r.error;
        return ReplyValue(r.text, name);
    }

    TAgent agent{ShortTimeout()};
};

TEST_F(AgentSessions, InvalidPacketsGetNoReplyAndTheAgentServesOn) {
    const String good = GoodPacket();
    String tooLarge = LittleEndian32(16 * 1024 * 1024 + 1);
    tooLarge += String(std::string(64, 'x'));
    String huge = LittleEndian32(0xFFFFFFFFu);
    huge += String(std::string(64, 'x'));
    String tiny = LittleEndian32(3);
    tiny += "abc";
    String trailing = good;
    trailing += "extra bytes after the packet";
    struct {
        const char* name;
        String bytes;
        bool whole = true;  // false: the agent waits for the rest until the idle time-out
    } const cases[] = {
        {"wrong password", MakeRequestPacket("not-the-password", NewSessionKey(), "GetInfo")},
        {"no password", MakeRequestPacket("", NewSessionKey(), "GetInfo")},
        {"signature", Flipped(good, kSignatureAt, 0x07)},
        {"second signature byte", Flipped(good, kSignatureAt + 1, 0x01)},
        {"password proof", Flipped(good, kProofAt + 3, 0x55)},
        {"key length past the end", Flipped(good, kKeyLengthAt + 1, 0x70)},
        {"shorter than the smallest packet", tiny, false},
        {"declared length above 16 MiB", tooLarge},
        {"declared length 4 GiB", huge},
    };
    int invalid = 0;
    for (const auto& c : cases) {
        ASSERT_FALSE(c.bytes.IsEmpty()) << c.name;
        TFd fd = ConnectLoopback(agent.Port());
        ASSERT_TRUE(fd.Valid()) << c.name;
        ASSERT_TRUE(SendAll(fd.Get(), c.bytes)) << c.name;
        TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
        EXPECT_TRUE(got.closed) << c.name;
        EXPECT_TRUE(got.data.IsEmpty()) << c.name << ": " << got.data.Length() << " bytes";
        if (c.whole) {
            ++invalid;
            EXPECT_TRUE(agent.WaitForMessage("<-- Invalid VT request received\n", 5000, invalid)) << c.name;
        }
    }
    EXPECT_TRUE(agent.Running());
    EXPECT_EQ(Counter("FailedConnections"), "0");
    EXPECT_EQ(Counter("ActiveConnections"), "1");
}

TEST_F(AgentSessions, PacketInOneBytePiecesIsAnsweredOnce) {
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    String key = NewSessionKey();
    ASSERT_TRUE(SendInPieces(fd.Get(), MakeRequestPacket(agent.Password(), key, "GetInfo"), 1));
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
    EXPECT_TRUE(got.closed);
    ASSERT_TRUE(ReplyPacketComplete(got.data));
    EXPECT_EQ(ReplyPacketSize(got.data), got.data.Length()) << "one reply only";
    String text, err;
    ASSERT_TRUE(DecodeReplyPacket(got.data, key, text, err)) << err.Std();
    EXPECT_EQ(ReplyCode(text), "200");
    EXPECT_EQ(ReplyValue(text, "ActiveConnections"), "1");
}

TEST_F(AgentSessions, OneRequestPerConnection) {
    // Two whole packets in one send: one reply, then the agent closes.
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    String key = NewSessionKey();
    String two = MakeRequestPacket(agent.Password(), key, "GetInfo");
    two += MakeRequestPacket(agent.Password(), key, "GetInfo");
    ASSERT_TRUE(SendAll(fd.Get(), two));
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
    EXPECT_TRUE(got.closed);
    if (!got.data.IsEmpty()) {
        ASSERT_TRUE(ReplyPacketComplete(got.data));
        EXPECT_EQ(ReplyPacketSize(got.data), got.data.Length()) << "one reply only";
    }
    EXPECT_TRUE(agent.WaitForMessage("Session closed, wait for next ..\n"));
    EXPECT_EQ(Counter("OpenedConnections"), "2");
}

TEST_F(AgentSessions, IdleConnectionsAreClosedByTheTimeOut) {
    const String good = GoodPacket();
    struct {
        const char* name;
        String sent;
    } const cases[] = {
        {"nothing sent", String()},
        {"half a length field", good.Copy(1, 2)},
        {"half a packet", good.Copy(1, good.Length() / 2)},
        {"all but the last byte", good.Copy(1, good.Length() - 1)},
    };
    std::vector<TFd> idle;
    for (const auto& c : cases) {
        idle.push_back(ConnectLoopback(agent.Port()));
        ASSERT_TRUE(idle.back().Valid()) << c.name;
        ASSERT_TRUE(SendAll(idle.back().Get(), c.sent)) << c.name;
    }
    for (size_t i = 0; i < idle.size(); ++i) {
        TReceived got = ReceiveUntilClosed(idle[i].Get(), 20000);
        EXPECT_TRUE(got.closed) << cases[i].name;
        EXPECT_TRUE(got.data.IsEmpty()) << cases[i].name;
    }
    EXPECT_TRUE(agent.WaitForMessage("Session closed, wait for next ..\n", 10000, 4));
    EXPECT_TRUE(WaitFor([&] { return Counter("ActiveConnections") == "1"; }));
    EXPECT_EQ(agent.Messages().find("<-- Invalid VT request received"), std::string::npos);
}

TEST_F(AgentSessions, PeerClosingEndsTheSessionWithoutReply) {
    const String good = GoodPacket();
    for (int cut : {0, 3, good.Length() / 2}) {
        TFd fd = ConnectLoopback(agent.Port());
        ASSERT_TRUE(fd.Valid());
        ASSERT_TRUE(SendAll(fd.Get(), good.Copy(1, cut)));
        shutdown(fd.Get(), SHUT_WR);
        TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
        EXPECT_TRUE(got.closed) << cut;
        EXPECT_TRUE(got.data.IsEmpty()) << cut;
    }
    EXPECT_TRUE(agent.WaitForMessage("Session closed, wait for next ..\n", 10000, 3));
    // A session logs its end before it uncounts itself.
    EXPECT_TRUE(WaitFor([&] { return Counter("ActiveConnections") == "1"; }));
    EXPECT_EQ(agent.Messages().find("<-- Invalid VT request received"), std::string::npos);
}

}  // namespace
}  // namespace zelit
