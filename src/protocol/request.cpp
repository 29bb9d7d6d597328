#include "protocol/request.h"

#include "crypto/cfb8.h"
#include "protocol/trace.h"

namespace {

bool ProofMatches(const char* got, int gotLen, const String& expected) {
    if (gotLen != expected.Length()) return false;
    unsigned char diff = 0;  // every byte compared, whatever the first difference
    for (int i = 0; i < gotLen; ++i) diff |= static_cast<unsigned char>(got[i] ^ expected.Data()[i]);
    return diff == 0;
}

}  // namespace

VTRequest& VTRequest::operator=(const String& text) {
    String::operator=(text);
    return *this;
}

VTRequest& VTRequest::operator=(const char* text) {
    String::operator=(text);
    return *this;
}

bool DeclaresTooLargePacket(const char* data, int length) {
    if (length < 4) return false;
    return static_cast<int64_t>(DecodeLength(data, 4)) + 4 > kMaxRequestPacket;
}

bool VTRequest::PacketTooLarge() const { return DeclaresTooLargePacket(Data(), Length()); }

bool VTRequest::WholePacket() const {
    if (PacketTooLarge()) return true;
    if (Length() < SIZELEN_MINIMUM) return false;
    return static_cast<int64_t>(DecodeLength(Data(), 4)) + 4 <= Length();
}

int64_t VTRequest::MissingBytes() const {
    if (WholePacket()) return 0;
    if (Length() < 4) return SIZELEN_MINIMUM - Length();
    int64_t want = static_cast<int64_t>(DecodeLength(Data(), 4)) + 4;
    if (want < SIZELEN_MINIMUM) want = SIZELEN_MINIMUM;
    return want - Length();
}

namespace {

// Offsets of the signature bytes, the proof length and the proof.
constexpr int kSignatureAt = OFFSET_AUTH - 1;
constexpr int kProofLengthAt = OFFSET_PSWD - 1;
constexpr int kProofAt = kProofLengthAt + SIZELEN_PSWD;

}  // namespace

TProofCheck ProofCheckOf(const char* data, int length, const String& expectedProof) {
    const int n = length;
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    if (n > kSignatureAt && p[kSignatureAt] != kPacketSignature1) return TProofCheck::Refused;
    if (n > kSignatureAt + 1 && p[kSignatureAt + 1] != kPacketSignature2) return TProofCheck::Refused;
    if (n < kProofAt) return TProofCheck::Pending;
    if (static_cast<int>(DecodeLength(data + kProofLengthAt, SIZELEN_PSWD)) != expectedProof.Length())
        return TProofCheck::Refused;
    if (n < kProofAt + expectedProof.Length()) return TProofCheck::Pending;
    return ProofMatches(data + kProofAt, expectedProof.Length(), expectedProof) ? TProofCheck::Passed
                                                                                 : TProofCheck::Refused;
}

int ProofBytesMissingOf(const char* data, int length, const String& expectedProof) {
    if (ProofCheckOf(data, length, expectedProof) != TProofCheck::Pending) return 0;
    return kProofAt + expectedProof.Length() - length;
}

TProofCheck VTRequest::CheckProof(const String& expectedProof) const {
    return ProofCheckOf(Data(), Length(), expectedProof);
}

int VTRequest::ProofBytesMissing(const String& expectedProof) const {
    return ProofBytesMissingOf(Data(), Length(), expectedProof);
}

bool VTRequest::ParseInitRequest(const String& password, const TNetAddress& client) {
    sessionKey_ = String();
    sessionCipher_.reset();
    const int64_t n = Length();
    const char* p = Data();
    ProtocolTrace(client, "<-- TCP packet size: %d\n", static_cast<int>(n));
    if (n < SIZELEN_MINIMUM) return false;

    const int64_t L = DecodeLength(p, 4);
    ProtocolTrace(client, "<-- ZEL packet size: %d\n", static_cast<int>(L));
    if (L + 4 != n || L + 4 > kMaxRequestPacket) return false;

    const int64_t P = DecodeLength(p + 6, 2);
    ProtocolTrace(client, "<-- Pswd size: %d\n", static_cast<int>(P));
    if (SIZELEN_MINIMUM + P > n) return false;

    const int64_t K = DecodeLength(p + 8 + P, 2);
    ProtocolTrace(client, "<-- Key size: %d\n", static_cast<int>(K));
    if (SIZELEN_MINIMUM + P + K > n) return false;

    const int64_t R = DecodeLength(p + 10 + P + K, 4);
    ProtocolTrace(client, "<-- Req size: %d\n", static_cast<int>(R));
    if (SIZELEN_MINIMUM + P + K + R > n) return false;
    if (static_cast<uint8_t>(p[4]) != kPacketSignature1 || static_cast<uint8_t>(p[5]) != kPacketSignature2) {
        return false;
    }

    std::shared_ptr<const TPasswordKey> pk = GetPasswordKey(password);
    if (!ProofMatches(p + 8, static_cast<int>(P), pk->proof)) {
        ProtocolTrace(client, "<-- Wrong password or MD5 error\n", 0);
        return false;
    }

    String key = DecodeData(String(p + 10 + P, static_cast<int>(K)), *pk->key);
    std::shared_ptr<const TCipherKey> cipher = PrepareCipherKey(key);
    String text = DecodeData(String(p + 14 + P + K, static_cast<int>(R)), *cipher);
    String::operator=(std::move(text));
    sessionKey_ = std::move(key);
    sessionCipher_ = std::move(cipher);
    return true;
}

bool VTRequest::HasEndMark() const { return Pos('\r') != 0; }

void VTRequest::SplitCommand(String& word, VTRequest& params) const {
    int lf = Pos('\n');
    if (lf > 0) {
        word = Copy(1, lf - 1);
        params = Copy(lf + 1, Length());
    } else {
        word = *this;
        params = String();
    }
    word.Trim();
}

int VTRequest::GetParamsCount() const {
    int count = 0;
    for (char c : View()) count += c == '\n';
    return count;
}

String VTRequest::GetParam(int index, bool trim) const {
    std::string_view text = View();
    size_t start = 0;
    for (int line = 1; line < index; ++line) {
        size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) return String();
        start = lf + 1;
    }
    if (start >= text.size()) return String();
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    String line(text.substr(start, end - start));
    if (trim) line.TrimAscii();
    return line;
}
