#include "protocol/client.h"

#include <cstdint>

#include "crypto/cfb8.h"
#include "protocol/packet.h"

String BuildRequestText(const String& command, const TStrList& params) {
    String text = command;
    text += '\n';
    for (int i = 0; i < params.Count(); ++i) {
        text += params[i];
        text += '\n';
    }
    text += '\r';
    return text;
}

String BuildRequestPacket(const String& password, const String& sessionKey, const String& requestText) {
    // Ciphertexts are as long as their texts, so the sizes are known first.
    const int64_t total = 4 + SIZELEN_AUTH + SIZELEN_PSWD + (password.IsEmpty() ? 0 : 16) + SIZELEN_KEY +
                          sessionKey.Length() + SIZELEN_REQUEST + static_cast<int64_t>(requestText.Length());
    if (sessionKey.Length() > 0xFFFF || total > kMaxRequestPacket) return String();
    std::shared_ptr<const TPasswordKey> pk = GetPasswordKey(password);
    String keyBlock = EncodeData(sessionKey, *pk->key, 0);
    String requestBlock = EncodeData(requestText, sessionKey, 0);

    String body;
    body.AddChar(static_cast<char>(kPacketSignature1));
    body.AddChar(static_cast<char>(kPacketSignature2));
    body += EncodeLength(pk->proof, SIZELEN_PSWD);
    body += pk->proof;
    body += EncodeLength(keyBlock, SIZELEN_KEY);
    body += keyBlock;
    body += EncodeLength(requestBlock, SIZELEN_REQUEST);
    body += requestBlock;
    String packet = EncodeLength(body, 4);
    packet += body;
    return packet;
}

int64_t ReplyPacketSize(const String& received) {
    if (received.Length() < 4) return 4;
    return 4 + static_cast<int64_t>(DecodeLength(received.Data(), 4));
}

bool ReplyPacketComplete(const String& received) {
    return received.Length() >= 4 && received.Length() >= ReplyPacketSize(received);
}

bool DecodeReplyPacket(const String& packet, const String& sessionKey, String& text, String& err) {
    text = String();
    if (packet.Length() < 4) {
        err = "Reply packet too short";
        return false;
    }
    const int64_t size = ReplyPacketSize(packet);
    if (packet.Length() < size) {
        err = "Reply packet incomplete";
        return false;
    }
    if (packet.Length() > size) {
        err = "Reply packet longer than its length field";
        return false;
    }
    text = DecodeData(packet.Copy(5, packet.Length() - 4), sessionKey);
    err = String();
    return true;
}
