#include "actions/send_data.h"

#include <errno.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "net/exchange.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "net/sockutil.h"

namespace {

// A connected socket to host:port: TCP within boundMs, or a datagram
// socket whose peer is fixed. false with err (a passed bound with the
// system's own text for it).
bool OpenSendSocket(TFd& out, const TSendPlan& plan, int boundMs, String& err) {
    TNetFailure failure = TNetFailure::None;
    if (plan.tcp) {
        if (PerformConnect(HostText(plan.host), plan.port, boundMs, out, failure, err)) return true;
        if (failure == TNetFailure::Timeout) err = ErrnoText(ETIMEDOUT);
        return false;
    }
    std::vector<TSockAddr> addrs;
    if (!ResolveHostAddrs(HostText(plan.host), plan.port, SOCK_DGRAM, addrs, failure, err)) return false;
    // The first address in the resolver's order whose socket can be made
    // and connected (a family without a route fails at once); the last
    // failure is reported.
    for (const TSockAddr& addr : addrs) {
        TFd sock;
        if (!NewSocket(addr.Family(), SOCK_DGRAM, 0, sock, err)) continue;
        if (::connect(sock.Get(), addr.Get(), addr.len) != 0) {
            err = ErrnoText(errno);
            continue;
        }
        out = std::move(sock);
        err = "";
        return true;
    }
    return false;
}

}  // namespace

bool SendDataOneWay(const TSendPlan& plan, int boundMs, String& err) {
    if (boundMs <= 0) boundMs = kSendActionBoundMs;
    TFd sock;
    if (!OpenSendSocket(sock, plan, boundMs, err)) return false;
    // A send that outlasts the bound fails with the text of ETIMEDOUT.
    if (!SendAll(sock.Get(), plan.first.View(), TDeadline::AfterMs(boundMs), err)) return false;
    if (!plan.second.IsEmpty()) {
        if (plan.pauseSec > 0) std::this_thread::sleep_for(std::chrono::seconds(plan.pauseSec));
        String ignored;
        SendAll(sock.Get(), plan.second.View(), TDeadline::AfterMs(boundMs), ignored);
    }
    CloseAfterSending(sock, kSendActionDrainMs);
    err = "";
    return true;
}
