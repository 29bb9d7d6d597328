#include "daemon/admission.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "config/addrfilter.h"
#include "config/settings.h"
#include "daemon/audit.h"
#include "daemon/messages.h"
#include "daemon/session.h"
#include "daemon/session_limits.h"
#include "daemon/signals.h"
#include "foundation/io.h"
#include "manage/status.h"

namespace {

// Shared by the session workers.
TRepeatedMessage g_acceptErrors;

// The error of a listener that broke for good, for the main loop to end on.
std::atomic<int> g_acceptFatal{0};

// Held while descriptors are plentiful; when accept() finds none left while
// every session slot is taken, it is given up for a moment to take the
// waiting connection and close it (a refusal, as at the cap).
std::mutex spare_mutex;
TFd g_spareDescriptor;  // guarded by spare_mutex

void Close(TFd& client) {
    shutdown(client.Get(), SHUT_RDWR);
    client.Reset();
}

void ReportDescriptorShortage() {
    String text("Accept error: ");
    text += ErrnoText(EMFILE);
    g_acceptErrors.Show(LOCAL, text);
}

// With every session slot taken and no descriptor left, whoever waits would
// be refused anyway: the spare descriptor takes the connection to close it,
// rather than leave it waiting in the queue. True when the spare was there
// to try (another worker may hold it meanwhile).
bool RefuseWithSpare(int listenFd) {
    std::unique_lock<std::mutex> lock(spare_mutex, std::try_to_lock);
    if (!lock.owns_lock() || !g_spareDescriptor.Valid()) return false;
    g_spareDescriptor.Reset();
    pollfd p{listenFd, POLLIN, 0};
    if (poll(&p, 1, 0) == 1) {
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        TFd excess(accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC));
        if (excess.Valid()) {
            Close(excess);
            TNetAddress peer;
            TNetAddress::FromSockAddr(reinterpret_cast<const sockaddr*>(&from), len, peer);
            AuditRefusal(TRefusal::SessionCap, peer, kRefusedSessionCap);
        }
    }
    g_spareDescriptor = OpenSpareDescriptor();
    return true;
}

// See AdmitConnection. False when the connection waited in vain; otherwise
// `limit` is the descriptor limit it may go on with.
bool WaitForDescriptorRoom(const TFd& client, long long& limit) {
    const auto end = std::chrono::steady_clock::now() + kSessionRequestCap;
    bool reported = false;
    for (;;) {
        limit = CurrentDescriptorLimit();
        if (limit <= 0 || client.Get() < limit) return true;
        // Every slot taken: on to the caps at once.
        if (AdmittedSessions() >= SessionLimitsFor(limit).total) return true;
        if (!reported) {
            ReportDescriptorShortage();
            reported = true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        poll(nullptr, 0, 100);
    }
}

}  // namespace

bool TransientAcceptError(int error) {
    switch (error) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

bool AdmitConnection(TFd& client, const TNetAddress& peer) {
    long long limit = 0;
    if (!WaitForDescriptorRoom(client, limit)) {
        Close(client);
        return false;
    }
    auto s = ZELSettings.Get();
    if (s->filteractive) {
        if (!FilterAdmits(s->effectivefilterlist, peer)) {
            ++AgentStatus.FailedConnections;
            AuditRefusal(TRefusal::Filtered, peer, kRefusedFiltered);
            Close(client);
            return false;
        }
    }
    s.reset();
    if (!AdmitSession(peer, SessionLimitsFor(limit), client.Get())) {
        AuditRefusal(TRefusal::SessionCap, peer, kRefusedSessionCap);
        Close(client);
        return false;
    }
    showmessage("TCP connection accepted\n", peer, MSG_SUCCESS, 0);
    ++AgentStatus.ActiveConnections;
    ++AgentStatus.OpenedConnections;
    return true;
}

bool OnAcceptFailed(int error, int listenFd) {
    if (!TransientAcceptError(error)) {
        g_acceptFatal.store(error);
        WakeMainLoop();
        return false;
    }
    String text("Accept error: ");
    text += ErrnoText(error);
    g_acceptErrors.Show(LOCAL, text);
    // Sessions whose slots were just taken over still hold their
    // descriptors for a moment: the waiting connection (perhaps the
    // server's) gets one as soon as they close, rather than be refused.
    if ((error == EMFILE || error == ENFILE) && DrainingSessions() > 0) {
        poll(nullptr, 0, 2);
        return true;
    }
    if ((error == EMFILE || error == ENFILE) && AdmittedSessions() >= CurrentSessionLimits().total &&
        RefuseWithSpare(listenFd))
        return true;
    // Descriptors are short for another reason (the handlers' work, a
    // lowered limit): the connection waits in the queue until one is free.
    poll(nullptr, 0, 100);
    return true;
}

void KeepSpareDescriptor() {
    std::lock_guard<std::mutex> lock(spare_mutex);
    if (!g_spareDescriptor.Valid()) g_spareDescriptor = OpenSpareDescriptor();
}

TFd OpenSpareDescriptor() { return TFd(open("/dev/null", O_RDONLY | O_CLOEXEC)); }

int TakeFatalAcceptError() { return g_acceptFatal.exchange(0); }
