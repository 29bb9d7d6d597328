#include "actions/send_data.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "foundation/fd.h"
#include "net/exchange.h"
#include "net/resolve.h"
#include "net/sockets.h"
#include "net/sockutil.h"

namespace {

// A connected socket to host:port: TCP within boundMs, or a datagram
// socket whose peer is fixed. Returns 1 or a code with err.
int OpenSendSocket(TFd& out, const TSendPlan& plan, int boundMs, String& err) {
    if (plan.tcp) {
        TFd sock;
        int rc = IP_OK;
        if (PerformConnect(HostText(plan.host), plan.port, boundMs, sock, rc, err)) out = std::move(sock);
        return rc;
    }
    err = "";
    sockaddr_in sa{};
    int rc = ResolveSockAddr(HostText(plan.host), plan.port, sa, err);
    if (rc != IP_OK) return rc;
    TFd sock(NewSocket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.Valid()) {
        err = GetErrorStr(errno);
        return IP_ERR_SOCKET;
    }
    if (::connect(sock.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = GetErrorStr(errno);
        return IP_ERR_CONNECT;
    }
    out = std::move(sock);
    return IP_OK;
}

// A passed bound is reported with the system's own text for it.
int WithSystemTimeoutText(int rc, String& err) {
    if (rc == IP_TIMEOUT) err = GetErrorStr(ETIMEDOUT);
    return rc;
}

}  // namespace

int SendDataOneWay(const TSendPlan& plan, int boundMs, String& err) {
    if (boundMs <= 0) boundMs = SEND_ACTION_BOUND_MS;
    TFd sock;
    int rc = OpenSendSocket(sock, plan, boundMs, err);
    if (rc != IP_OK) return WithSystemTimeoutText(rc, err);
    rc = SendAll(sock.Get(), plan.first.Data(), plan.first.Length(), boundMs, err);
    if (rc != IP_OK) return WithSystemTimeoutText(rc, err);
    if (!plan.second.IsEmpty()) {
        if (plan.pauseSec > 0) std::this_thread::sleep_for(std::chrono::seconds(plan.pauseSec));
        String ignored;
        SendAll(sock.Get(), plan.second.Data(), plan.second.Length(), boundMs, ignored);
    }
    CloseAfterSending(sock, SEND_ACTION_DRAIN_MS);
    err = "";
    return IP_OK;
}
