#include "daemon/listener.h"

#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "daemon/admission.h"
#include "daemon/audit.h"
#include "daemon/flags.h"
#include "daemon/messages.h"
#include "daemon/privileges.h"
#include "daemon/replace.h"
#include "daemon/session.h"
#include "daemon/session_pool.h"
#include "daemon/signals.h"
#include "daemon/upgrade.h"
#include "foundation/io.h"
#include "net/sockets.h"

namespace {

// Workers beyond which the heap is trimmed once the pool is idle again.
constexpr int kTrimAfterWorkers = 16;

TRepeatedMessage g_workerErrors;

// The port the listener serves, to notice a session that changed it.
std::atomic<int> g_servingPort{0};

// Wakes the main loop when a session left it work. Any thread.
void NoteSessionEnd() {
    if (ZELFlags.Terminate.load() || ZELFlags.Reload.load() || ZELFlags.Upgrade.load() ||
        ZELSettings.Get()->port != g_servingPort.load())
        WakeMainLoop();
}

// The serve hook of the session pool, on a session worker: the session,
// then a look at what it left the main loop.
void ServeSession(TFd client, const TNetAddress& peer) {
    ServeConnection(std::move(client), peer);
    NoteSessionEnd();
}

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

// Opens the listener on the settings' host and port of the moment.
bool ListenAsConfigured(TServeContext& ctx, String& err) {
    auto s = ZELSettings.Get();
    return Listen(s->host, s->port, ctx.listenRetryPauseMs, ctx.listenSocket, err);
}

// After a failed execve: serve on as before (on the listener kept for the
// new image, when there is one).
void Reopen(TServeContext& ctx) {
    String err;
    if (ctx.listenSocket.Valid()) {
        auto s = ZELSettings.Get();
        if (!AdoptListener(ctx.listenSocket, s->host, s->port)) ctx.listenSocket.Reset();
    }
    if (!ctx.listenSocket.Valid() && !ListenAsConfigured(ctx, err)) {
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

// Replaces the process by r. Returns only when that failed, with the
// listener and the pid file open again.
void Replace(TServeContext& ctx, const TReplacement& r) {
    String err;
    if (!NewProcessSettingsPass(ctx.argv, ctx.listenSocket, err)) {
        showmessage("%s%s\n", LOCAL, MSG_AUDIT, 1, r.refused, err.Data());
        return;
    }
    ReportLeftOutRefusals();
    showmessage("%s", LOCAL, MSG_AUDIT, 1, r.announce);
    // No new session starts while the ones under way finish. An agent
    // serving as its own user may not bind its port again: the new image
    // takes over the listener instead (shut down here, so that no
    // connection waits on it meanwhile; it listens again there).
    const bool handOver = ServingAsUser();
    TFd kept;
    if (handOver) {
        String ignored;
        PublishSessionListener(-1, ignored);
        if (ctx.listenSocket.Valid()) shutdown(ctx.listenSocket.Get(), SHUT_RDWR);
        kept = std::move(ctx.listenSocket);
    } else {
        CloseListener(ctx.listenSocket);
    }
    std::string storage;
    std::vector<char*> envp = HandOverListener(kept, ctx.envp, storage);
    ReplaceProcess(r, *ctx.pidfile, envp.data(), kept.Valid() ? kept.Get() : -1);
    ctx.listenSocket = std::move(kept);
    Reopen(ctx);
}

// A port change asked for by a session. The new listener first: the old
// one stays open (connections wait in its queue) until the new one listens,
// or for good when it cannot. A value when the agent must end.
std::optional<TExitCode> SwitchPort(TServeContext& ctx, int wanted, int& currentPort) {
    String err;
    TFd fresh;
    // A port this process may not bind (an agent serving as its own user,
    // below 1024) is refused at once.
    const bool allowed = MayBindPort(wanted);
    if (allowed) {
        auto s = ZELSettings.Get();
        Listen(s->host, s->port, ctx.listenRetryPauseMs, fresh, err);
    } else {
        showmessage("Port change to %d refused: %s may not bind a port below %d; port %d kept\n", LOCAL, MSG_AUDIT, 1,
                    wanted, ServingIdentity().c_str(), FirstUnprivilegedPort(), currentPort);
    }
    if (fresh.Valid()) {
        CloseListener(ctx.listenSocket);
        ctx.listenSocket = std::move(fresh);
        Publish(ctx.listenSocket);
        currentPort = wanted;
        g_servingPort.store(currentPort);
        showmessage("Server port switching .. Ok\n", LOCAL, MSG_SUCCESS, 0);
        return std::nullopt;
    }
    if (allowed) showmessage("Error: cannot open new port for listening\n", LOCAL, MSG_ERROR, 0);
    int back = currentPort;
    // The configuration file names the port that failed; put the one in use
    // back there too, so the next start-up can listen.
    String saveErr;
    if (!ZELSettings.ModifyAndSave([back](TZELSettings& s) { s.port = back; }, saveErr))
        showmessage("%s\n", LOCAL, MSG_ERROR, 1, saveErr.Data());
    if (!ctx.listenSocket.Valid()) {
        if (!ListenAsConfigured(ctx, err)) {
            ReportLeftOutRefusals();
            showmessage("Cannot open original port either. Terminating\n", LOCAL, MSG_AUDIT, 0);
            ctx.pidfile->Close();
            return TExitCode::ListenFailed;
        }
        Publish(ctx.listenSocket);
    }
    if (allowed) showmessage("Return to original port\n", LOCAL, MSG_ERROR, 0);
    return std::nullopt;
}

// The flag checks made before every wait. A value when the agent must end.
std::optional<TExitCode> CheckFlags(TServeContext& ctx, int& currentPort) {
    ProcessPendingSignals();
    if (ZELFlags.Terminate) {
        ReportLeftOutRefusals();
        showmessage("Terminate request received. Terminating..\n", LOCAL, MSG_AUDIT, 0);
        ctx.pidfile->Close();
        return TExitCode::Ok;
    }
    // A port change is settled first: when the new port cannot be opened
    // the file gets the port in use back before a new process reads it.
    const int wanted = ZELSettings.Get()->port;
    if (wanted != currentPort)
        if (std::optional<TExitCode> code = SwitchPort(ctx, wanted, currentPort)) return code;
    if (ZELFlags.Reload) {
        const String zelpath = ZELSettings.Get()->zelpath;
        Replace(ctx, RestartReplacement(zelpath, ctx.argv));
        ZELFlags.Reload = 0;
    }
    if (ZELFlags.Upgrade) {
        String script;
        {
            std::lock_guard<std::mutex> lock(thread_mutex);
            script = ZELFlags.UpgradeScript;
        }
        if (!script.IsEmpty()) {
            Replace(ctx, UpgradeReplacement(script, ctx.argv));
            // Still here: the pending upgrade is dropped, so that it does
            // not run again after every session, and the slot is free for a
            // new one.
            FailPendingUpgrade(script);
        }
        ZELFlags.Upgrade = 0;
    }
    return std::nullopt;
}

// Once the pool has shrunk back after a load of many sessions, the memory
// their threads freed goes back to the system.
void TrimAfterLoad(bool& trimDue) {
    const int workers = SessionWorkerCount();
    if (workers > kTrimAfterWorkers) trimDue = true;
    else if (trimDue && workers <= kSessionWorkersMin + 1) {
        malloc_trim(0);
        trimDue = false;
    }
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

bool BeginServing(TServeContext& ctx, String& err) {
    TSessionHooks hooks;
    hooks.admit = AdmitConnection;
    hooks.serve = ServeSession;
    hooks.acceptFailed = OnAcceptFailed;
    SetSessionHooks(hooks);
    KeepSpareDescriptor();
    g_servingPort.store(ZELSettings.Get()->port);
    if (!PublishSessionListener(ctx.listenSocket.Valid() ? ctx.listenSocket.Get() : -1, err)) return false;
    return StartSessionWorkers(err);
}

TExitCode ServeForever(TServeContext& ctx) {
    int currentPort = ZELSettings.Get()->port;
    g_servingPort.store(currentPort);
    bool trimDue = false;
    for (;;) {
        TrimAfterLoad(trimDue);
        if (std::optional<TExitCode> code = CheckFlags(ctx, currentPort)) return *code;
        if (int e = TakeFatalAcceptError(); e != 0) {
            ReportLeftOutRefusals();
            showmessage("Accept fatal error: %s\n\n", LOCAL, MSG_AUDIT, 1, ErrnoText(e).Data());
            ctx.pidfile->Close();
            return TExitCode::ListenFailed;
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
        KeepSpareDescriptor();
        // Sessions and signals wake the wait when they leave work for it.
        pollfd p{SignalWakeDescriptor(), POLLIN, 0};
        poll(&p, p.fd >= 0 ? 1 : 0, 1000);
    }
}
