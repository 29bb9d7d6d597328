// The server's side of an exchange: building request packets and reading
// reply packets. Tools and tests use these; nothing else writes the wire
// format.
#pragma once

#include <cstdint>

#include "foundation/qdstring.h"

// command LF, each parameter LF, then the end-of-transmission mark (CR).
String BuildRequestText(const String& command, const TStrList& params);

// 4-byte length, signature, password proof, session key enciphered under
// the password, request text enciphered under the session key. Empty when
// the session key or request text is too long for its length field.
String BuildRequestPacket(const String& password, const String& sessionKey, const String& requestText);

// Bytes a reply packet needs in all: 4 + N once the length has arrived,
// else 4.
int64_t ReplyPacketSize(const String& received);
// The 4-byte length and the N bytes it announces have arrived.
bool ReplyPacketComplete(const String& received);

// Deciphers a whole reply packet (exactly 4 + N bytes) under the session
// key. On failure returns false with a reason in err.
bool DecodeReplyPacket(const String& packet, const String& sessionKey, String& text, String& err);
