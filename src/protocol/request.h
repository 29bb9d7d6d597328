// One request: the received packet, then the deciphered request text, and
// the session key that enciphers the request and its reply.
#pragma once

#include <memory>

#include "foundation/qdstring.h"
#include "net/address.h"
#include "protocol/packet.h"

// What the first bytes of a packet say about its sender, before the packet
// is whole.
enum class TProofCheck {
    Pending,  // the signature or the proof has not fully arrived yet
    Passed,   // the signature is right and the proof is the expected one
    Refused,  // a wrong signature byte, proof length or proof
};

// The checks of the first bytes of a packet, on bytes held by the caller
// (a session keeps the bytes of a sender not yet judged in its fixed read
// buffer, so that judging it allocates nothing). `data` holds the first
// `length` bytes of the packet. Pure functions: thread-safe.
//
// ProofCheckOf: as VTRequest::CheckProof. ProofBytesMissingOf: as
// VTRequest::ProofBytesMissing. DeclaresTooLargePacket: the length field has
// arrived and declares more than kMaxRequestPacket (as
// VTRequest::PacketTooLarge).
TProofCheck ProofCheckOf(const char* data, int length, const String& expectedProof);
int ProofBytesMissingOf(const char* data, int length, const String& expectedProof);
bool DeclaresTooLargePacket(const char* data, int length);

class VTRequest : public String {
public:
    VTRequest() = default;
    // Replace the text; the session key stays.
    VTRequest& operator=(const String& text);
    VTRequest& operator=(const char* text);

    // True when the whole packet has arrived: at least SIZELEN_MINIMUM
    // bytes and the 4 + L bytes the length field announces. Also true as
    // soon as the length field declares a packet above kMaxRequestPacket,
    // so that the session stops reading; ParseInitRequest refuses it.
    bool WholePacket() const;
    // The length field has arrived and declares more than kMaxRequestPacket.
    bool PacketTooLarge() const;
    // How many more bytes the packet needs (0 when WholePacket is true). A
    // session that never reads more than this holds at most
    // kMaxRequestPacket bytes.
    int64_t MissingBytes() const;

    // Judges the packet received so far by its signature and its password
    // proof as soon as they have arrived: a wrong signature byte at once, a
    // proof length other than expectedProof's once the length is in, the
    // proof once all of it is in (compared whole, in constant time, so that
    // nothing tells which byte differs). ParseInitRequest still checks
    // everything once the packet is whole.
    TProofCheck CheckProof(const String& expectedProof) const;
    // The bytes CheckProof still needs before it can decide: at least 1
    // while it is Pending, never past the end of the expected proof; 0 once
    // it has decided. A reader that takes no more than this holds at most
    // 8 + expectedProof.Length() bytes of a sender it has not judged.
    int ProofBytesMissing(const String& expectedProof) const;

    // Checks the frame and the password proof, deciphers the session key
    // and the request text. On success the text becomes the request text;
    // on failure the text stays as received and the session key is empty.
    // `client` only names the sender in the packet traces (protocol/trace.h).
    bool ParseInitRequest(const String& password, const TNetAddress& client);

    String GetSessionKey() const { return sessionKey_; }
    // The session key prepared for the cipher, or null before a successful
    // ParseInitRequest; the reply reuses it.
    std::shared_ptr<const TCipherKey> GetSessionCipher() const { return sessionCipher_; }

    // True when the text holds the end-of-transmission mark (a carriage
    // return) somewhere.
    bool HasEndMark() const;
    // Splits a request text into its command word (the first line, or the
    // whole text without a line feed, trimmed by String::Trim) and the
    // parameter text after the first line feed. The session key is not
    // copied: handlers see only their parameters.
    void SplitCommand(String& word, VTRequest& params) const;

    // Number of line feeds in the text.
    int GetParamsCount() const;
    // Line `index` (from 1; index <= 1 gives the first line) without its
    // line feed; empty past the end. trim removes the bytes 0x00-0x20 at
    // either end (String::TrimAscii), so non-ASCII names stay whole.
    String GetParam(int index, bool trim) const;

private:
    String sessionKey_;
    std::shared_ptr<const TCipherKey> sessionCipher_;
};
