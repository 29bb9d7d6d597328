#include "zelq/upgrade.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "crypto/md5.h"
#include "foundation/fd.h"
#include "protocol/client.h"
#include "protocol/packet.h"
#include "zelq/exchange.h"
#include "zelq/output.h"
#include "zelq/show.h"

namespace {

bool ReadImage(const std::string& name, std::string& out, std::string& err) {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        err = "cannot read " + name;
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        err = "cannot read " + name;
        return false;
    }
    return true;
}

}  // namespace

String UpgradeTrailer(const std::string& image, const String& sessionKey) {
    MD5 md5;
    MD5Open(&md5);
    MD5Digest(&md5, image.data(), image.size());
    unsigned char digest[16];
    MD5Close(&md5, digest);
    return EncodeData(String(reinterpret_cast<const char*>(digest), 16), sessionKey, 0);
}

int RunUpgrade(const TZelqOptions& opts, const String& password) {
    std::string image;
    std::string err;
    if (!ReadImage(opts.upgradeFile, image, err)) return Complain(kExitUsage, err);
    String sessionKey;
    if (!NewSessionKey(sessionKey, err)) return Complain(kExitNoConnect, err);
    TStrList params;
    params.Add(String(std::to_string(image.size()).c_str()));
    const String packet = BuildRequestPacket(password, sessionKey, BuildRequestText("UpgradeCode", params));

    TFd conn;
    TExchangeResult first = ExchangeOpen(opts.host, opts.port, opts.timeoutMs, packet, conn);
    int status = ShowExchange(first, sessionKey, opts, kNoReplyClosed);
    if (status != kExitSuccess) return status;

    std::string data = image;
    data += UpgradeTrailer(image, sessionKey).Std();
    const std::string where = AgentPlace(opts.host, opts.port);
    TExchangeResult second = ExchangeMore(conn, where, opts.timeoutMs, data);
    return ShowExchange(second, sessionKey, opts, kNoReplyClosed);
}
