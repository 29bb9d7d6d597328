#include "daemon/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <chrono>
#include <vector>
#include <cstring>
#include <utility>

#include "manage/status.h"
#include "config/settings.h"
#include "config/addrfilter.h"
#include "daemon/flags.h"
#include "daemon/messages.h"
#include "daemon/session.h"
#include "daemon/session_limits.h"
#include "daemon/session_pool.h"
#include "daemon/upgrade.h"
#include "daemon/signals.h"
#include "foundation/io.h"
#include "net/sockets.h"

namespace {

// Errors of accept() that concern one connection or a passing shortage of
// resources: the agent logs them and keeps serving.
bool TransientAcceptError(int e) {
    switch (e) {
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

// A message that may come many times a second: shown the first time, then
// at most once per kRepeatedMessageInterval with the count of those left out.
// Thread-safe.
class TRepeatedMessage {
public:
    void Show(in_addr client, const String& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < kRepeatedMessageInterval) {
            ++skipped_;
            return;
        }
        if (skipped_ > 0) {
            showmessage("%s (%d more not shown)\n", client, MSG_ERROR, 1, text.Data(), skipped_);
        } else {
            showmessage("%s\n", client, MSG_ERROR, 1, text.Data());
        }
        shown_ = true;
        last_ = now;
        skipped_ = 0;
    }

private:
    std::mutex mutex_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
    int skipped_ = 0;
};

// Workers beyond which the heap is trimmed once the pool is idle again.
constexpr int kTrimAfterWorkers = 16;

// Shared by the session workers (accept errors, refusals) and the main loop.
TRepeatedMessage g_acceptErrors;
TRepeatedMessage g_refusals;
TRepeatedMessage g_workerErrors;

// The error of a listener that broke for good, for the main loop to end on.
std::atomic<int> g_acceptFatal{0};
// The port the listener serves, to notice a session that changed it.
std::atomic<int> g_servingPort{0};

// Held while descriptors are plentiful; when accept() finds none left while
// every session slot is taken, it is given up for a moment to take the
// waiting connection and close it (a refusal, as at the cap).
std::mutex g_spareMutex;
TFd g_spareDescriptor;  // guarded by g_spareMutex

// Hands the listener of the moment to the session workers.
void Publish(const TFd& sock) {
    String err;
    if (!PublishSessionListener(sock.Valid() ? sock.Get() : -1, err))
        showmessage("Cannot hand the listener to the sessions: %s\n", LOCAL, MSG_ERROR, 1, err.Data());
}

// Withdraws the listener from the workers, then shuts it down, which wakes
// the workers waiting on it and frees the port.
void CloseListener(TFd& sock) {
    String ignored;
    PublishSessionListener(-1, ignored);
    if (sock.Valid()) shutdown(sock.Get(), SHUT_RDWR);
    sock.Reset();
}

// accept() failed on a worker. Transient errors are reported and the worker
// goes on (after a pause when descriptors are short); any other error ends
// the agent through the main loop.
bool OnAcceptFailed(int error, int listenFd) {
    if (!TransientAcceptError(error)) {
        g_acceptFatal.store(error);
        WakeMainLoop();
        return false;
    }
    String text("Accept error: ");
    text += ErrnoText(error);
    g_acceptErrors.Show(LOCAL, text);
    if ((error == EMFILE || error == ENFILE) && AdmittedSessions() >= CurrentSessionLimits().total) {
        // Every session slot is taken, so whoever waits would be refused
        // anyway: the spare descriptor takes the connection to close it,
        // rather than leave it waiting in the queue.
        std::unique_lock<std::mutex> lock(g_spareMutex, std::try_to_lock);
        if (lock.owns_lock() && g_spareDescriptor.Valid()) {
            g_spareDescriptor.Reset();
            pollfd p{listenFd, POLLIN, 0};
            if (poll(&p, 1, 0) == 1) {
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                TFd excess(accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
                if (excess.Valid()) {
                    shutdown(excess.Get(), SHUT_RDWR);
                    excess.Reset();
                    g_refusals.Show(peer.sin_addr, "TCP connection refused: too many sessions");
                }
            }
            g_spareDescriptor = OpenSpareDescriptor();
            return true;
        }
    }
    // Descriptors are short for another reason (the handlers' work, a
    // lowered limit): the connection waits in the queue until one is free.
    poll(nullptr, 0, 100);
    return true;
}

// A worker waiting in accept() holds the number of its next descriptor from
// before the connection came. When the descriptor limit has dropped below
// it since, the agent is in fact out of descriptors: the connection waits,
// as it would in the queue, until the limit allows it again (at most the
// cap of a request), and the shortage is reported like any other; with
// every session slot taken it goes on to be refused at once. False when it
// waited in vain; otherwise `limit` is the limit it may go on with.
bool WaitForDescriptorRoom(const TFd& client, long long& limit) {
    const auto end = std::chrono::steady_clock::now() + SESSION_REQUEST_CAP;
    bool reported = false;
    for (;;) {
        limit = CurrentDescriptorLimit();
        if (limit <= 0 || client.Get() < limit) return true;
        // Every slot taken: it is refused at once, as at the caps.
        if (AdmittedSessions() >= SessionLimitsFor(limit).total) return true;
        if (!reported) {
            String text("Accept error: ");
            text += ErrnoText(EMFILE);
            g_acceptErrors.Show(LOCAL, text);
            reported = true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        poll(nullptr, 0, 100);
    }
}

// An accepted connection, on the worker that accepted it: the connection
// filter and the session caps. An admitted one is counted as a session.
bool Admit(TFd& client, const sockaddr_in& peer) {
    long long limit = 0;
    if (!WaitForDescriptorRoom(client, limit)) {
        shutdown(client.Get(), SHUT_RDWR);
        client.Reset();
        return false;
    }
    auto s = ZELSettings.Get();
    if (s->filteractive) {
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, dotted, sizeof dotted);
        if (!FilterAdmits(s->effectivefilterlist, dotted)) {
            ++AgentStatus.FailedConnections;
            showmessage("TCP connection rejected\n", peer.sin_addr, MSG_ERROR, 0);
            shutdown(client.Get(), SHUT_RDWR);
            client.Reset();
            return false;
        }
    }
    s.reset();
    if (!AdmitSession(peer.sin_addr, SessionLimitsFor(limit))) {
        g_refusals.Show(peer.sin_addr, "TCP connection refused: too many sessions");
        shutdown(client.Get(), SHUT_RDWR);
        client.Reset();
        return false;
    }
    showmessage("TCP connection accepted\n", peer.sin_addr, MSG_SUCCESS, 0);
    ++AgentStatus.ActiveConnections;
    ++AgentStatus.OpenedConnections;
    return true;
}

void Serve(TFd client, const sockaddr_in& peer) { ServeConnection(std::move(client), peer.sin_addr); }

// Opens the listener on the settings' host and port of the moment.
bool ListenAsConfigured(TServeContext& ctx, String& err) {
    auto s = ZELSettings.Get();
    return Listen(s->host, s->port, ctx.listenRetryPauseMs, ctx.listenSocket, err);
}

// After a failed execve: serve on as before.
void Reopen(TServeContext& ctx) {
    String err;
    if (!ListenAsConfigured(ctx, err)) {
        showmessage("TCP listen error: %s\n\n", LOCAL, MSG_ERROR, 1, err.Data());
        return;
    }
    Publish(ctx.listenSocket);
    auto s = ZELSettings.Get();
    if (ctx.daemonMode && !s->pidfile.IsEmpty()) {
        std::string message;
        if (!ctx.pidfile->Create(s->pidfile.Data(), message)) showmessage("%s", LOCAL, MSG_ERROR, 1, message.c_str());
    }
}

// Gives the sessions in the middle of a request a bounded time to answer
// before the process image is replaced under them.
void WaitForSessions() {
    const auto end = std::chrono::steady_clock::now() + kReplaceGrace;
    while (AgentStatus.ActiveConnections.load() > 0 && std::chrono::steady_clock::now() < end)
        poll(nullptr, 0, 20);
}

// Replaces the process by `argv[0]` run with `argv`. Returns only when that
// failed, with the listener and the pid file open again.
void ExecReplacement(TServeContext& ctx, const char* what, const char* path, char* const* argv,
                     const char* failure) {
    showmessage("%s", LOCAL, MSG_INFO, 1, what);
    // No new session starts while the ones under way finish.
    CloseListener(ctx.listenSocket);
    WaitForSessions();
    ctx.pidfile->Close();
    execve(path, argv, ctx.envp);
    showmessage("%s", LOCAL, MSG_ERROR, 1, failure);
    Reopen(ctx);
}

// The upgrade script runs through /bin/sh (a temporary folder mounted
// noexec does not matter) with the agent's own arguments after its path.
void RunUpgradeScript(TServeContext& ctx, const String& script) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("/bin/sh"));
    argv.push_back(const_cast<char*>(script.Data()));
    for (char** a = ctx.argv + 1; *a != nullptr; ++a) argv.push_back(*a);
    argv.push_back(nullptr);
    ExecReplacement(ctx, "Upgrade request received. Executing..\n", "/bin/sh", argv.data(),
                    "Error: cannot start upgrading script\n");
    // Still here: the pending upgrade is dropped, so that it does not run
    // again after every session, and the slot is free for a new one.
    FailPendingUpgrade(script);
}

// The flag checks made before every wait. Returns -1 to go on serving, or
// the exit code of the process.
int CheckFlags(TServeContext& ctx, int& currentPort) {
    ProcessPendingSignals();
    if (ZELFlags.Terminate) {
        showmessage("Terminate request received. Terminating..\n", LOCAL, MSG_INFO, 0);
        ctx.pidfile->Close();
        return 0;
    }
    if (ZELFlags.Reload) {
        String zelpath = ZELSettings.Get()->zelpath;
        ExecReplacement(ctx, "Reload request received. Executing..\n", zelpath.Data(), ctx.argv,
                        "Error: cannot start new instance\n");
        ZELFlags.Reload = 0;
    }
    if (ZELFlags.Upgrade) {
        String script;
        {
            std::lock_guard<std::mutex> lock(thread_mutex);
            script = ZELFlags.UpgradeScript;
        }
        if (!script.IsEmpty()) RunUpgradeScript(ctx, script);
        ZELFlags.Upgrade = 0;
    }
    int wanted = ZELSettings.Get()->port;
    if (wanted != currentPort) {
        // The new listener first: the old one stays open (connections wait
        // in its queue) until the new one listens, or for good when it
        // cannot.
        String err;
        TFd fresh;
        {
            auto s = ZELSettings.Get();
            Listen(s->host, s->port, ctx.listenRetryPauseMs, fresh, err);
        }
        if (fresh.Valid()) {
            CloseListener(ctx.listenSocket);
            ctx.listenSocket = std::move(fresh);
            Publish(ctx.listenSocket);
            currentPort = wanted;
            g_servingPort.store(currentPort);
            showmessage("Server port switching .. Ok\n", LOCAL, MSG_SUCCESS, 0);
        } else {
            showmessage("Error: cannot open new port for listening\n", LOCAL, MSG_ERROR, 0);
            int back = currentPort;
            // The configuration file names the port that failed; put the
            // one in use back there too, so the next start-up can listen.
            String saveErr;
            if (!ZELSettings.ModifyAndSave([back](TZELSettings& s) { s.port = back; }, saveErr))
                showmessage("%s\n", LOCAL, MSG_ERROR, 1, saveErr.Data());
            if (!ctx.listenSocket.Valid()) {
                if (!ListenAsConfigured(ctx, err)) {
                    showmessage("Cannot open original port either. Terminating\n", LOCAL, MSG_ERROR, 0);
                    ctx.pidfile->Close();
                    return 4;
                }
                Publish(ctx.listenSocket);
            }
            showmessage("Return to original port\n", LOCAL, MSG_ERROR, 0);
        }
    }
    return -1;
}

}  // namespace

int ListenRetryPauseMs(const char* text) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 5) return kDefaultListenRetryMs;
    int ms = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return kDefaultListenRetryMs;
        ms = ms * 10 + (*p - '0');
    }
    return ms <= 60000 ? ms : kDefaultListenRetryMs;
}

bool Listen(const String& host, int port, int retryPauseMs, TFd& sock, String& err) {
    sock.Reset();
    // Port 0 would bind a random port and a larger number a truncated one:
    // the server could no longer reach the agent.
    if (port <= 0 || port > 65535) {
        err = "Invalid port number";
        return false;
    }
    const char* where = host.IsEmpty() ? nullptr : host.Data();
    for (int attempt = 0; attempt < kListenAttempts; ++attempt) {
        if (TcpListen(where, port, nullptr, sock, err)) {
            // The server speaks first: a connection is handed to accept()
            // once its first bytes are there, so a worker wakes once per
            // request instead of twice, and clients that connect and say
            // nothing hold no session for the first kDeferAcceptSeconds.
            int seconds = kDeferAcceptSeconds;
            setsockopt(sock.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
            return true;
        }
        if (retryPauseMs > 0) poll(nullptr, 0, retryPauseMs);
    }
    return false;
}

TFd OpenSpareDescriptor() { return TFd(open("/dev/null", O_RDONLY | O_CLOEXEC)); }

bool BeginServing(TServeContext& ctx, String& err) {
    TSessionHooks hooks;
    hooks.admit = Admit;
    hooks.serve = Serve;
    hooks.acceptFailed = OnAcceptFailed;
    SetSessionHooks(hooks);
    {
        std::lock_guard<std::mutex> lock(g_spareMutex);
        if (!g_spareDescriptor.Valid()) g_spareDescriptor = OpenSpareDescriptor();
    }
    g_servingPort.store(ZELSettings.Get()->port);
    if (!PublishSessionListener(ctx.listenSocket.Valid() ? ctx.listenSocket.Get() : -1, err)) return false;
    return StartSessionWorkers(err);
}

void NoteSessionEnd() {
    if (ZELFlags.Terminate.load() || ZELFlags.Reload.load() || ZELFlags.Upgrade.load() ||
        ZELSettings.Get()->port != g_servingPort.load())
        WakeMainLoop();
}

// Once the pool has shrunk back after a load of many sessions, the memory
// their threads freed goes back to the system.
void TrimAfterLoad(bool& trimDue) {
    const int workers = SessionWorkerCount();
    if (workers > kTrimAfterWorkers) trimDue = true;
    else if (trimDue && workers <= SESSION_WORKERS_MIN + 1) {
        malloc_trim(0);
        trimDue = false;
    }
}

int ServeForever(TServeContext& ctx) {
    int currentPort = ZELSettings.Get()->port;
    g_servingPort.store(currentPort);
    bool trimDue = false;
    for (;;) {
        TrimAfterLoad(trimDue);
        int code = CheckFlags(ctx, currentPort);
        if (code >= 0) return code;
        if (int e = g_acceptFatal.exchange(0); e != 0) {
            showmessage("Accept fatal error: %s\n\n", LOCAL, MSG_ERROR, 1, ErrnoText(e).Data());
            ctx.pidfile->Close();
            return 4;
        }
        if (!ctx.listenSocket.Valid()) {
            // Lost after a failed restart: try again a second later.
            sleep(1);
            Reopen(ctx);
            continue;
        }
        String err;
        if (!StartSessionWorkers(err)) {
            String text("Cannot start a session worker: ");
            text += err;
            g_workerErrors.Show(LOCAL, text);
        }
        {
            std::lock_guard<std::mutex> lock(g_spareMutex);
            if (!g_spareDescriptor.Valid()) g_spareDescriptor = OpenSpareDescriptor();
        }
        // Sessions and signals wake the wait when they leave work for it.
        pollfd p{SignalWakeDescriptor(), POLLIN, 0};
        poll(&p, p.fd >= 0 ? 1 : 0, 1000);
    }
}
