// Request packets as the agent receives them, and reply packets as the
// server's side reads them. The first input byte chooses: raw bytes as a
// packet, or a well-formed packet built around the rest of the input (a
// session key of up to 63 bytes, then the request text), so that the
// deciphered text, the command split and the parameter reader are reached.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>

#include "protocol/client.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace {

const String kPassword("fuzz-Secret-1");

void Check(bool ok) {
    if (!ok) std::abort();
}

void ReadParameters(const VTRequest& request) {
    request.HasEndMark();
    String word;
    VTRequest params;
    request.SplitCommand(word, params);
    const int count = params.GetParamsCount();
    for (int i = 0; i <= count + 1 && i < 64; ++i) {
        params.GetParam(i, true);
        params.GetParam(i, false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    in_addr client{};
    client.s_addr = htonl(INADDR_LOOPBACK);

    if ((mode & 1) == 0) {
        VTRequest request;
        request = String(rest);
        request.WholePacket();
        request.PacketTooLarge();
        request.MissingBytes();
        if (request.ParseInitRequest(kPassword, client)) ReadParameters(request);
        // The same bytes as a reply packet under a fixed session key.
        String text, err;
        const String bytes(rest);
        ReplyPacketSize(bytes);
        if (ReplyPacketComplete(bytes)) DecodeReplyPacket(bytes, String("fuzz-key"), text, err);
        return 0;
    }

    const size_t keyLength = std::min<size_t>(mode >> 2, rest.size());
    const String key(rest.substr(0, keyLength));
    const String text(rest.substr(keyLength));
    const String packet = BuildRequestPacket(kPassword, key, text);
    if (packet.IsEmpty()) return 0;
    VTRequest request;
    request = packet;
    Check(request.WholePacket());
    const bool parsed = request.ParseInitRequest(kPassword, client);
    // A packet of the server's own making is accepted unless its key or
    // text is empty, and gives back exactly the text.
    if (!key.IsEmpty() && !text.IsEmpty()) {
        Check(parsed);
        Check(request.View() == text.View());
    }
    if (!parsed) return 0;
    ReadParameters(request);

    // The reply travels back under the same session key.
    ZELReply reply;
    reply.InitPacket("200", request);
    reply.AddStringParam(text, (mode & 2) != 0);
    const String sent = reply;
    reply.FinalizePacket();
    String back, err;
    Check(ReplyPacketComplete(reply));
    Check(DecodeReplyPacket(reply, key, back, err));
    return 0;
}
