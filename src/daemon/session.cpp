#include "daemon/session.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "manage/status.h"
#include "config/settings.h"
#include "daemon/audit.h"
#include "daemon/flags.h"
#include "daemon/messages.h"
#include "daemon/session_limits.h"
#include "daemon/upgrade.h"
#include "foundation/fd.h"
#include "foundation/io.h"

namespace {

constexpr size_t kReadChunk = 16 * 1024;
constexpr int kUpgradeChunk = 64 * 1024;

// The read buffer of the sessions of one worker, kept between them (off
// the worker's small stack).
char* WorkerReadBuffer() {
    thread_local std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    return buffer.get();
}

// Milliseconds until the wall clock reaches the whole second `second`.
int MillisUntilSecond(time_t second) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long ms = (static_cast<long long>(second) - now.tv_sec) * 1000 - now.tv_nsec / 1000000;
    if (ms < 0) return 0;
    return ms > 1000000000 ? 1000000000 : static_cast<int>(ms);
}

// Sends the finished reply within one deadline of the send time-out for
// the whole reply: a client that is gone, or that takes the reply too
// slowly (a few bytes at a time), simply loses it.
void SendReply(int fd, ZELReply& reply) {
    reply.FinalizePacket();
    String ignored;
    if (SendAll(fd, reply.View(), TDeadline::AfterMs(kSessionSendTimeoutSeconds * 1000LL), ignored)) return;
    // The rest of the reply is dropped with the connection: the close resets
    // it rather than leave the kernel to trickle out what it still holds.
    linger drop{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
}

// Milliseconds until `end` on the monotonic clock (0 when past).
int MillisUntil(std::chrono::steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left < 0) return 0;
    return left > 1000000000 ? 1000000000 : static_cast<int>(left);
}

// After an accepted "UpgradeCode": feeds the bytes that follow to the
// transfer until it ends, then sends the second reply. A client that
// closes, stalls for the idle time-out or passes the transfer's overall cap
// gets no reply; the record then frees the slot and removes the file.
void ReceiveUpgrade(int fd, const TNetAddress& address, const VTRequest& request, ZELReply& reply, UpgradeRec& upgrade,
                    int idleMs) {
    auto buffer = std::make_unique<char[]>(kUpgradeChunk);
    String error;
    while (upgrade.Active) {
        int waitMs = MillisUntil(upgrade.Deadline);
        if (idleMs > 0 && idleMs < waitMs) waitMs = idleMs;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            showmessage("Upgrade transfer stopped: no data in time\n", address, MSG_AUDIT, 0);
            return;
        }
        ssize_t n = recv(fd, buffer.get(), kUpgradeChunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            showmessage("Upgrade transfer stopped: the connection closed\n", address, MSG_AUDIT, 0);
            return;
        }
        ReceiveUpgradePiece(upgrade, buffer.get(), static_cast<int>(n), error);
    }
    reply.InitPacket(nullptr, request);
    if (error.IsEmpty()) reply.SetResult(TResultCode::Ok);
    else reply.SetResult(TResultCode::Failed, error);
    showmessage("--> upgrade transfer ended (%s)\n", address, MSG_INFO, 1, reply.ResultCode().Data());
    if (!error.IsEmpty()) showmessage("%s\n", address, MSG_AUDIT, 1, UpgradeRefusalLine(error).Data());
    SendReply(fd, reply);
}

// A packet refused unanswered: the trace line, and the audit line.
void RefuseInvalid(const TNetAddress& address) {
    showmessage("<-- Invalid VT request received\n", address, MSG_INFO, 0);
    AuditRefusal(TRefusal::BadRequest, address, kRefusedBadRequest);
}

// Serves one request on the connection.
//
// The request has one deadline, counted from the connection and not from
// the last byte: the session ends once the clock, in whole seconds, is past
// the start plus timeout/1000 (no deadline for a timeout below 0; the
// settings already hold a 0 as 4000), and in any case after
// kSessionRequestCap. Until the sender has shown the
// signature and the password proof, the session reads only the bytes that
// judging them needs, and closes on a wrong one at once.
void Serve(int fd, const TNetAddress& address) {
    auto settings = ZELSettings.Get();
    const int timeoutMs = settings->timeout;
    // Held, not copied: judging a sender allocates nothing.
    const std::shared_ptr<const TPasswordKey> passwordKey = GetPasswordKey(settings->password);
    const String& proof = passwordKey->proof;
    VTRequest request;
    ZELReply reply;
    UpgradeRec upgrade;
    const time_t start = time(nullptr);
    const auto cap = std::chrono::steady_clock::now() + kSessionRequestCap;
    bool proven = false;
    char* const buffer = WorkerReadBuffer();
    // Until the sender is judged, its bytes (at most 8 + the proof's length)
    // stay at the start of the worker's read buffer and nothing is
    // allocated for them; the request takes them once the proof passed.
    int judged = 0;

    for (;;) {
        // Never hold more than the largest packet accepted, nor more than
        // the proof of a sender not yet judged.
        size_t room = proven ? static_cast<size_t>(kMaxRequestPacket - request.Length())
                             : static_cast<size_t>(ProofBytesMissingOf(buffer, judged, proof));
        if (room == 0) room = 1;
        char* const into = proven ? buffer : buffer + judged;
        const size_t space = proven ? kReadChunk : kReadChunk - static_cast<size_t>(judged);
        // Read first: the request is usually there by the time the
        // connection is accepted, and the wait costs a call only when not.
        ssize_t n = recv(fd, into, room < space ? room : space, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int waitMs = MillisUntil(cap);
            if (timeoutMs > 0) waitMs = std::min(waitMs, MillisUntilSecond(start + timeoutMs / 1000 + 1));
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, waitMs);
            if (r < 0 && errno != EINTR) return;
            if (r == 0) {
                if (timeoutMs > 0 && time(nullptr) > start + timeoutMs / 1000) return;
                if (std::chrono::steady_clock::now() >= cap) return;
            }
            continue;
        }
        if (n <= 0) return;
        if (!proven) {
            judged += static_cast<int>(n);
            TProofCheck check = ProofCheckOf(buffer, judged, proof);
            if (check == TProofCheck::Refused || DeclaresTooLargePacket(buffer, judged)) {
                RefuseInvalid(address);
                return;
            }
            if (check == TProofCheck::Pending) continue;
            // From now on a newcomer can no longer take the session's slot;
            // one that took it a moment ago has ended this session.
            if (!MarkSessionProven(fd)) return;
            proven = true;
            request.AddData(buffer, judged);
        } else {
            request.AddData(buffer, static_cast<int>(n));
        }
        if (request.PacketTooLarge()) {
            RefuseInvalid(address);
            return;
        }
        if (!request.WholePacket()) continue;

        const auto served = std::chrono::steady_clock::now();
        settings = ZELSettings.Get();
        if (!request.ParseInitRequest(settings->password, address)) {
            RefuseInvalid(address);
            return;
        }
        showmessage("<-- Correct VT request received\n", address, MSG_INFO, 0);
        reply.InitPacket(nullptr, request);
        ThreadParams params;
        params.Socket = fd;
        params.Address = address;
        const char* word = nullptr;
        const bool handled = ProcessVTRequest(request, reply, ZELFlags, params, upgrade, &word);
        String code = reply.ResultCode();
        showmessage(handled ? "--> request processed (%s)\n" : "--> request rejected or operation failed (%s)\n",
                    address, MSG_INFO, 1, code.Data());
        SendReply(fd, reply);
        // The command word only when it is one of the table's: an unknown
        // word is the client's text.
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - served).count();
        showmessage("Served %s: %s in %lld ms\n", address, MSG_SUCCESS, 1, word != nullptr ? word : "(no command)",
                    code.Data(), ms);
        if (upgrade.Active) ReceiveUpgrade(fd, address, request, reply, upgrade, timeoutMs);
        return;
    }
}

}  // namespace

void ServeConnection(TFd sock, const TNetAddress& address) {
    timeval tv{kSessionSendTimeoutSeconds, 0};
    setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    Serve(sock.Get(), address);
    // Uncounted before the client sees the connection close, so that a
    // client's next request finds the counters settled.
    --AgentStatus.ActiveConnections;
    showmessage("Session closed, wait for next ..\n", LOCAL, MSG_INFO, 0);
    shutdown(sock.Get(), SHUT_RDWR);
    // Released while the socket is still open: its number cannot yet be
    // another session's when a newcomer takes this session's slot.
    ReleaseSession(address, sock.Get());
    sock.Reset();
    {
        // A finished upgrade is handed to the main loop at the end of a session.
        std::lock_guard<std::mutex> lock(thread_mutex);
        if (!ZELFlags.UpgradeScript.IsEmpty()) ZELFlags.Upgrade = 1;
    }
}

