#include <gtest/gtest.h>

#include "protocol/client.h"
#include "protocol/packet.h"
#include "protocol/request.h"
#include "test_util.h"

namespace {

TEST(RequestTest, ConstructionAndAssignment) {
    VTRequest req;
    EXPECT_TRUE(req.IsEmpty());
    EXPECT_TRUE(req.GetSessionKey().IsEmpty());
    req = "a\nb\n";
    EXPECT_EQ(req, String("a\nb\n"));
    req = String("x", 1);
    EXPECT_EQ(req, String("x"));
}

struct ParamCase {
    const char* text;
    int index;
    bool trim;
    const char* expected;
};

TEST(RequestTest, GetParamTable) {
    const ParamCase cases[] = {
        {"a\nb\n", 1, false, "a"},
        {"a\nb\n", 2, false, "b"},
        {"a\nb\n", 3, false, ""},
        {"a\nb\n", 9, false, ""},
        {"a\nb\n", 0, false, "a"},
        {"a\nb\n", -5, false, "a"},
        {"a\nb", 2, false, "b"},          // last line without line feed
        {"a\n\nc\n", 2, false, ""},       // empty line in the middle
        {"a\n\nc\n", 3, false, "c"},
        {" x \r\n", 1, true, "x"},
        {" x \r\n", 1, false, " x \r"},
        {"cmd\n  value\t\nz", 2, true, "value"},
        {"", 1, false, ""},
        {"", 1, true, ""},
    };
    for (const auto& c : cases) {
        VTRequest req;
        req = c.text;
        EXPECT_EQ(req.GetParam(c.index, c.trim), String(c.expected))
            << "text \"" << c.text << "\" index " << c.index << " trim " << c.trim;
    }
}

TEST(RequestTest, ParamsCountIsLineFeedCount) {
    const struct {
        const char* text;
        int count;
    } cases[] = {{"", 0}, {"a", 0}, {"a\nb\n", 2}, {"\n\n\n", 3}, {"a\nb", 1}};
    for (const auto& c : cases) {
        VTRequest req;
        req = c.text;
        EXPECT_EQ(req.GetParamsCount(), c.count) << c.text;
    }
}

TEST(RequestTest, ZeroBytesInsideParameters) {
    VTRequest req;
    req = String("p\0q\nr\n", 6);
    EXPECT_EQ(req.GetParam(1, false), String("p\0q", 3));
    EXPECT_EQ(req.GetParam(2, false), String("r"));
}

TEST(RequestTest, CopyKeepsSessionKeyAndAssignmentKeepsIt) {
    VTRequest req;
    req = BuildRequestPacket("pw", "key", "Cmd\none\n\r");
    ASSERT_TRUE(req.ParseInitRequest("pw", in_addr{}));
    VTRequest params = req;
    params = req.Copy(req.Pos('\n') + 1, req.Length());
    EXPECT_EQ(params.GetSessionKey(), String("key"));
    EXPECT_EQ(params.GetParam(1, true), String("one"));
}


// The signature and the proof are judged as soon as they have arrived: a
// request that grows byte by byte is refused at the first byte that shows
// it wrong (the proof only once all of it is there), and passes once the
// whole right proof is in.
TEST(RequestTest, ProofIsJudgedAsSoonAsItHasArrived) {
    const String proof = EncodePswd("pw");
    const String good = BuildRequestPacket("pw", "key", "GetInfo\n\r");
    String badSignature = good;
    badSignature.Buffer()[5] = 0x13;
    String badProof = good;
    badProof.Buffer()[8] ^= 0x01;  // the first proof byte
    String longProof = good.Copy(1, 6);
    longProof += EncodeLength(String(std::string(17, 'x')), 2);
    String noProof = BuildRequestPacket("", "key", "GetInfo\n\r");
    struct {
        const char* name;
        String packet;
        int decidedAt;  // the byte count at which the verdict comes
        TProofCheck verdict;
    } const cases[] = {
        {"right proof", good, 24, TProofCheck::Passed},
        {"second signature byte", badSignature, 6, TProofCheck::Refused},
        {"first proof byte", badProof, 24, TProofCheck::Refused},
        {"proof length", longProof, 8, TProofCheck::Refused},
        {"no proof", noProof, 8, TProofCheck::Refused},
    };
    for (const auto& c : cases) {
        VTRequest req;
        for (int n = 1; n <= c.packet.Length() && n <= 30; ++n) {
            req = c.packet.Copy(1, n);
            TProofCheck got = req.CheckProof(proof);
            if (n < c.decidedAt) {
                EXPECT_EQ(got, TProofCheck::Pending) << c.name << " at " << n;
                EXPECT_GE(req.ProofBytesMissing(proof), 1) << c.name << " at " << n;
                // Never more than up to the end of the proof.
                EXPECT_LE(n + req.ProofBytesMissing(proof), 8 + proof.Length()) << c.name << " at " << n;
            } else {
                EXPECT_EQ(got, c.verdict) << c.name << " at " << n;
                EXPECT_EQ(req.ProofBytesMissing(proof), 0) << c.name << " at " << n;
            }
        }
    }
}

}  // namespace
