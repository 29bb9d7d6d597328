// Request framing: which packets ParseInitRequest accepts and what it
// leaves behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/request.h"
#include "protocol/trace.h"
#include "test_util.h"

namespace {

const String kPassword = "secret";

// The fields of a request packet, set freely so that broken packets can
// be made. Lengths of -1 take the block's real length.
struct Frame {
    uint8_t sig1 = 0x03, sig2 = 0x12;
    String proof = EncodePswd(kPassword);
    String keyBlock;
    String requestBlock;
    String trailer;          // bytes after the request block, counted by L
    long pLen = -1, kLen = -1, rLen = -1;
    long lDelta = 0;         // added to the true L
    int cut = 0;             // bytes removed from the end after assembly

    String Build() const {
        auto le = [](long v, int n) {
            String s;
            for (int i = 0; i < n; ++i) s.AddChar(static_cast<char>((v >> (8 * i)) & 0xFF));
            return s;
        };
        String body;
        body.AddChar(static_cast<char>(sig1));
        body.AddChar(static_cast<char>(sig2));
        body += le(pLen < 0 ? proof.Length() : pLen, 2);
        body += proof;
        body += le(kLen < 0 ? keyBlock.Length() : kLen, 2);
        body += keyBlock;
        body += le(rLen < 0 ? requestBlock.Length() : rLen, 4);
        body += requestBlock;
        body += trailer;
        String packet = le(body.Length() + lDelta, 4);
        packet += body;
        return packet.Copy(1, packet.Length() - cut);
    }
};

Frame Valid(const String& sessionKey, const String& text) {
    Frame f;
    f.keyBlock = EncodeData(sessionKey, kPassword, 0);
    f.requestBlock = EncodeData(text, sessionKey, 0);
    return f;
}

struct FramingCase {
    const char* name;
    Frame frame;
    bool accepted;
    const char* sessionKey;  // expected when accepted
    const char* text;
};

std::vector<FramingCase> Cases() {
    std::vector<FramingCase> cases;
    auto add = [&](const char* name, Frame f, bool ok, const char* key = "", const char* text = "") {
        cases.push_back({name, std::move(f), ok, key, text});
    };
    add("whole valid packet", Valid("sess", "GetInfo\n\r"), true, "sess", "GetInfo\n\r");
    add("proof only: empty key, empty request (30 bytes)", Frame{}, true);
    Frame tooShort;
    tooShort.proof = String();
    tooShort.cut = 1;
    add("13 bytes", tooShort, false);
    Frame emptyProof;
    emptyProof.proof = String();
    add("empty proof against a password (14 bytes)", emptyProof, false);
    Frame wrongProof = Valid("sess", "QUIT\n\r");
    wrongProof.proof = EncodePswd("secreT");
    add("proof of another password", wrongProof, false);
    Frame shortProof = Valid("sess", "QUIT\n\r");
    shortProof.proof = shortProof.proof.Copy(1, 15);
    add("proof one byte short", shortProof, false);
    Frame lLarge = Valid("sess", "QUIT\n\r");
    lLarge.lDelta = 1;
    add("L one more than the bytes held", lLarge, false);
    Frame lSmall = Valid("sess", "QUIT\n\r");
    lSmall.lDelta = -1;
    add("L one less than the bytes held", lSmall, false);
    Frame pPast = Valid("sess", "QUIT\n\r");
    pPast.pLen = 200;
    add("proof block past the end", pPast, false);
    Frame kPast = Valid("sess", "QUIT\n\r");
    kPast.kLen = kPast.keyBlock.Length() + 7;
    add("key block past the end", kPast, false);
    Frame rPast = Valid("sess", "QUIT\n\r");
    rPast.rLen = rPast.requestBlock.Length() + 1;
    add("request block past the end", rPast, false);
    Frame rHuge = Valid("sess", "QUIT\n\r");
    rHuge.rLen = 0xFFFFFFFFL;
    add("request length near 2^32", rHuge, false);
    Frame sig1 = Valid("sess", "QUIT\n\r");
    sig1.sig1 = 0x04;
    add("first signature byte wrong", sig1, false);
    Frame sig2 = Valid("sess", "QUIT\n\r");
    sig2.sig2 = 0x13;
    add("second signature byte wrong", sig2, false);
    Frame trailer = Valid("sess", "QUIT\n\r");
    trailer.trailer = String("\0junk", 5);
    add("trailing bytes counted by L are ignored", trailer, true, "sess", "QUIT\n\r");
    add("empty session key", Valid("", "QUIT\n\r"), true, "", "QUIT\n\r");
    add("empty request block", Valid("sess", ""), true, "sess", "");
    return cases;
}

TEST(FramingTest, TableOfPackets) {
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.name);
        String packet = c.frame.Build();
        VTRequest req;
        req = packet;
        EXPECT_EQ(req.ParseInitRequest(kPassword, in_addr{}), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(req.GetSessionKey(), String(c.sessionKey));
            EXPECT_EQ(req, String(c.text));
            EXPECT_NE(req.GetSessionCipher(), nullptr);
        } else {
            EXPECT_EQ(req, packet);  // left as received
            EXPECT_TRUE(req.GetSessionKey().IsEmpty());
            EXPECT_EQ(req.GetSessionCipher(), nullptr);
        }
    }
}

TEST(FramingTest, ZeroBytesSurviveInKeyAndText) {
    String key("k\0y", 3), text("a\0b\n\r", 5);
    VTRequest req;
    req = BuildRequestPacket(kPassword, key, text);
    ASSERT_TRUE(req.ParseInitRequest(kPassword, in_addr{}));
    EXPECT_EQ(req.GetSessionKey(), key);
    EXPECT_EQ(req, text);
}

TEST(FramingTest, WorkedLayoutSizes) {
    // 16-byte proof, 8-byte session key, 40-byte request: 78 bytes.
    String packet = BuildRequestPacket(kPassword, "12345678", String(std::string(39, 'x') + "\r"));
    ASSERT_EQ(packet.Length(), 78);
    EXPECT_EQ(DecodeLength(packet.Data(), 4), 74u);
    EXPECT_EQ(DecodeLength(packet.Data() + 6, 2), 16u);
    EXPECT_EQ(DecodeLength(packet.Data() + 24, 2), 8u);
    EXPECT_EQ(DecodeLength(packet.Data() + 34, 4), 40u);
}

// The packet must be whole before parsing; a packet announcing more than
// the maximum stops the reading at once and is refused.
TEST(FramingTest, WholePacketAndSizeBound) {
    String packet = BuildRequestPacket(kPassword, "sess", "GetInfo\n\r");
    VTRequest req;
    for (int n = 0; n < packet.Length(); ++n) {
        req = packet.Copy(1, n);
        EXPECT_FALSE(req.WholePacket()) << n;
        EXPECT_GT(req.MissingBytes(), 0) << n;
        EXPECT_LE(req.MissingBytes(), packet.Length() - n) << n;
    }
    req = packet;
    EXPECT_TRUE(req.WholePacket());
    EXPECT_EQ(req.MissingBytes(), 0);
    EXPECT_FALSE(req.PacketTooLarge());

    const struct {
        int64_t l;
        bool tooLarge;
    } bounds[] = {
        {kMaxRequestPacket - 4, false},
        {kMaxRequestPacket - 3, true},
        {0x7FFFFFFC, true},
        {0xFFFFFFFF, true},
    };
    for (const auto& b : bounds) {
        SCOPED_TRACE(b.l);
        String head;
        for (int i = 0; i < 4; ++i) head.AddChar(static_cast<char>((b.l >> (8 * i)) & 0xFF));
        VTRequest big;
        big = head.Copy(1, 3);
        EXPECT_FALSE(big.PacketTooLarge());  // length field not yet whole
        big = head;
        EXPECT_EQ(big.PacketTooLarge(), b.tooLarge);
        EXPECT_EQ(big.WholePacket(), b.tooLarge);
        if (!b.tooLarge) {
            EXPECT_EQ(big.MissingBytes(), kMaxRequestPacket - 4);
        }
        big += String(std::string(20, '\0'));
        EXPECT_FALSE(big.ParseInitRequest(kPassword, in_addr{}));
    }
}

TEST(FramingTest, BuildRefusesOversizeBlocks) {
    EXPECT_TRUE(BuildRequestPacket(kPassword, String(std::string(70000, 'k')), "x\r").IsEmpty());
    EXPECT_TRUE(BuildRequestPacket(kPassword, "k", String(std::string(kMaxRequestPacket, 'x'))).IsEmpty());
}

std::vector<std::string> g_traces;

void Record(const TNetAddress&, const char* format, int value) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), format, value);
    g_traces.push_back(buf);
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_traces.clear();
        SetProtocolTrace(Record);
    }
    void TearDown() override { SetProtocolTrace(nullptr); }
};

TEST_F(TraceTest, SizesThenSignatureCheck) {
    Frame f = Valid("sess", "QUIT\n\r");
    f.sig2 = 0x00;
    String packet = f.Build();
    VTRequest req;
    req = packet;
    EXPECT_FALSE(req.ParseInitRequest(kPassword, in_addr{}));
    const std::vector<std::string> expected = {
        "<-- TCP packet size: " + std::to_string(packet.Length()) + "\n",
        "<-- ZEL packet size: " + std::to_string(packet.Length() - 4) + "\n",
        "<-- Pswd size: 16\n",
        "<-- Key size: 4\n",
        "<-- Req size: 6\n",
    };
    EXPECT_EQ(g_traces, expected);
}

TEST_F(TraceTest, WrongPasswordAndShortPacket) {
    VTRequest req;
    req = BuildRequestPacket("other", "sess", "QUIT\n\r");
    EXPECT_FALSE(req.ParseInitRequest(kPassword, in_addr{}));
    ASSERT_FALSE(g_traces.empty());
    EXPECT_EQ(g_traces.back(), "<-- Wrong password or MD5 error\n");

    g_traces.clear();
    req = "short";
    EXPECT_FALSE(req.ParseInitRequest(kPassword, in_addr{}));
    EXPECT_EQ(g_traces, std::vector<std::string>{"<-- TCP packet size: 5\n"});
}

}  // namespace
