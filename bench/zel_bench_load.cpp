// The load side of zel-bench: each client thread keeps its share of the C
// connections in flight with non-blocking sockets and one epoll set, so the
// client spends as little of the machine as possible on itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "protocol/client.h"
#include "zel_bench.h"

namespace zelbench {

namespace {

using Clock = std::chrono::steady_clock;

bool LoopbackAddress(const std::string& host, int port, sockaddr_in& sa) {
    sa = sockaddr_in{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, host.c_str(), &sa.sin_addr) == 1;
}

struct TSlot {
    int fd = -1;
    size_t sent = 0;
    const TPrepared* request = nullptr;
    std::string received;
    bool connected = false;
    bool decode = false;
    Clock::time_point started;
};

// Shared by the client threads of one run.
struct TRunState {
    const TLoadPlan* plan = nullptr;
    const std::vector<TPrepared>* pool = nullptr;
    sockaddr_in address{};
    std::atomic<int> next{0};  // requests handed out
    std::mutex mutex;          // guards the fields below
    std::vector<double> latenciesMs;
    int failures = 0;
    std::string firstError;
};

class TClientThread {
public:
    TClientThread(TRunState& run, int connections) : run_(run), slots_(static_cast<size_t>(connections)) {}
    void Run();

private:
    bool Begin(TSlot& slot);
    void Progress(TSlot& slot);
    void Finish(TSlot& slot, bool ok, const char* why);
    bool ReplyOk(const TSlot& slot, std::string& why) const;

    TRunState& run_;
    std::vector<TSlot> slots_;
    TFd epoll_;
    int inFlight_ = 0;
    std::vector<double> latencies_;
    int failures_ = 0;
    std::string firstError_;
};

bool TClientThread::Begin(TSlot& slot) {
    for (;;) {
        int index = run_.next.fetch_add(1);
        if (index >= run_.plan->requests) return false;
        slot = TSlot{};
        slot.request = &(*run_.pool)[static_cast<size_t>(index) % run_.pool->size()];
        slot.decode = run_.plan->decodeEvery > 0 && index % run_.plan->decodeEvery == 0;
        slot.started = Clock::now();
        slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (slot.fd < 0) {
            Finish(slot, false, "socket() failed");
            continue;
        }
        int r = connect(slot.fd, reinterpret_cast<const sockaddr*>(&run_.address), sizeof run_.address);
        if (r != 0 && errno != EINPROGRESS) {
            Finish(slot, false, ErrnoText(errno).Data());
            continue;
        }
        slot.connected = (r == 0);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = &slot;
        if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, slot.fd, &ev) != 0) {
            Finish(slot, false, "epoll_ctl() failed");
            continue;
        }
        ++inFlight_;
        if (slot.connected) Progress(slot);
        return true;
    }
}

bool TClientThread::ReplyOk(const TSlot& slot, std::string& why) const {
    if (run_.plan->plain) {
        std::string value;
        return PlainReplyOk(slot.received, value, why);
    }
    String received(slot.received.data(), static_cast<int>(slot.received.size()));
    if (!ReplyPacketComplete(received)) {
        why = slot.received.empty() ? "connection closed without a reply" : "reply packet incomplete";
        return false;
    }
    if (ReplyPacketSize(received) != received.Length()) {
        why = "bytes after the reply packet";
        return false;
    }
    if (!slot.decode) return true;
    String text, err;
    if (!DecodeReplyPacket(received, slot.request->sessionKey, text, err)) {
        why = err.Std();
        return false;
    }
    if (!run_.plan->expectCode.IsEmpty() && text.Copy(1, 3) != run_.plan->expectCode) {
        why = "unexpected reply code " + text.Copy(1, 3).Std();
        return false;
    }
    return true;
}

void TClientThread::Progress(TSlot& slot) {
    if (!slot.connected) {
        int error = 0;
        socklen_t len = sizeof error;
        getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) return Finish(slot, false, ErrnoText(error).Data());
        slot.connected = true;
    }
    const String& packet = slot.request->packet;
    while (slot.sent < static_cast<size_t>(packet.Length())) {
        ssize_t n = send(slot.fd, packet.Data() + slot.sent, packet.Length() - slot.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == ENOTCONN)) return;  // wait for the next edge
        if (n <= 0) return Finish(slot, false, "send() failed");
        slot.sent += static_cast<size_t>(n);
    }
    char buffer[16 * 1024];
    for (;;) {
        ssize_t n = recv(slot.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            slot.received.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n < 0 && errno != ECONNRESET) return Finish(slot, false, ErrnoText(errno).Data());
        // The peer closed (or reset after the reply): judge what arrived.
        std::string why;
        bool ok = ReplyOk(slot, why);
        return Finish(slot, ok, why.c_str());
    }
}

void TClientThread::Finish(TSlot& slot, bool ok, const char* why) {
    if (slot.fd >= 0) {
        close(slot.fd);  // also leaves the epoll set
        slot.fd = -1;
        --inFlight_;
    }
    if (ok) {
        std::chrono::duration<double, std::milli> ms = Clock::now() - slot.started;
        latencies_.push_back(ms.count());
    } else {
        if (failures_++ == 0) firstError_ = why;
    }
    slot.request = nullptr;
}

void TClientThread::Run() {
    epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.Valid()) {
        std::lock_guard<std::mutex> lock(run_.mutex);
        if (run_.firstError.empty()) run_.firstError = "epoll_create1() failed";
        return;
    }
    // fd == -1 marks a slot that cannot take more work: Begin() found no
    // request left, or a finished exchange is to be replaced below.
    for (TSlot& slot : slots_) Begin(slot);
    for (;;) {
        for (TSlot& slot : slots_) {
            // A slot whose exchange finished inside Begin/Progress gets the next request.
            while (slot.fd < 0 && run_.next.load() < run_.plan->requests) {
                if (Begin(slot)) break;
            }
        }
        if (inFlight_ == 0) break;
        epoll_event events[256];
        int n = epoll_wait(epoll_.Get(), events, 256, 1000);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            TSlot& slot = *static_cast<TSlot*>(events[i].data.ptr);
            if (slot.fd >= 0) Progress(slot);
        }
    }
    std::lock_guard<std::mutex> lock(run_.mutex);
    run_.latenciesMs.insert(run_.latenciesMs.end(), latencies_.begin(), latencies_.end());
    run_.failures += failures_;
    if (run_.firstError.empty()) run_.firstError = firstError_;
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

String RandomKey(int n) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof alphabet) - 2);
    String key;
    for (int i = 0; i < n; ++i) key.AddChar(alphabet[pick(generator)]);
    return key;
}

std::vector<TPrepared> PreparePackets(const String& password, const String& requestText, int count) {
    std::vector<TPrepared> pool;
    for (int i = 0; i < count; ++i) {
        TPrepared p;
        p.sessionKey = RandomKey(16);
        p.packet = BuildRequestPacket(password, p.sessionKey, requestText);
        if (p.packet.IsEmpty()) return {};
        pool.push_back(std::move(p));
    }
    return pool;
}

TLoadResult RunLoad(const TLoadPlan& plan, const std::vector<TPrepared>& pool) {
    TLoadResult result;
    TRunState run;
    run.plan = &plan;
    run.pool = &pool;
    if (!LoopbackAddress(plan.host, plan.port, run.address)) {
        result.failures = plan.requests;
        result.firstError = "not a dotted IPv4 address: " + plan.host;
        return result;
    }
    if (pool.empty() || plan.requests <= 0) return result;
    run.latenciesMs.reserve(static_cast<size_t>(plan.requests));
    const int threads = std::max(1, std::min(plan.threads, plan.concurrency));
    std::vector<std::unique_ptr<TClientThread>> clients;
    for (int t = 0; t < threads; ++t) {
        int share = plan.concurrency / threads + (t < plan.concurrency % threads ? 1 : 0);
        clients.push_back(std::make_unique<TClientThread>(run, share));
    }
    auto start = Clock::now();
    std::vector<std::thread> workers;
    for (auto& c : clients) workers.emplace_back([&c] { c->Run(); });
    for (auto& w : workers) w.join();
    std::chrono::duration<double> elapsed = Clock::now() - start;

    std::sort(run.latenciesMs.begin(), run.latenciesMs.end());
    result.done = static_cast<int>(run.latenciesMs.size());
    result.failures = run.failures;
    result.seconds = elapsed.count();
    result.p50Ms = Percentile(run.latenciesMs, 0.50);
    result.p99Ms = Percentile(run.latenciesMs, 0.99);
    result.maxMs = run.latenciesMs.empty() ? 0 : run.latenciesMs.back();
    result.firstError = run.firstError;
    result.latenciesMs = std::move(run.latenciesMs);
    return result;
}

void MergeLoad(TLoadResult& total, const TLoadResult& part) {
    std::vector<double> merged;
    merged.reserve(total.latenciesMs.size() + part.latenciesMs.size());
    std::merge(total.latenciesMs.begin(), total.latenciesMs.end(), part.latenciesMs.begin(), part.latenciesMs.end(),
               std::back_inserter(merged));
    total.latenciesMs = std::move(merged);
    total.done += part.done;
    if (total.failures == 0) total.firstError = part.firstError;
    total.failures += part.failures;
    total.seconds += part.seconds;
    total.p50Ms = Percentile(total.latenciesMs, 0.50);
    total.p99Ms = Percentile(total.latenciesMs, 0.99);
    total.maxMs = total.latenciesMs.empty() ? 0 : total.latenciesMs.back();
}

bool SendAndReceive(const std::string& host, int port, std::string_view request, std::string& received,
                    std::string& err) {
    received.clear();
    sockaddr_in sa{};
    if (!LoopbackAddress(host, port, sa)) {
        err = "not a dotted IPv4 address: " + host;
        return false;
    }
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid() || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        err = "connect: " + ErrnoText(errno).Std();
        return false;
    }
    String sendErr;
    if (!SendAll(fd.Get(), request, sendErr)) {
        err = "send: " + sendErr.Std();
        return false;
    }
    char buffer[16 * 1024];
    for (;;) {
        pollfd pf{fd.Get(), POLLIN, 0};
        if (poll(&pf, 1, 10000) <= 0) {
            err = "no reply within 10 seconds";
            return false;
        }
        ssize_t n = recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

bool Exchange(const std::string& host, int port, const String& packet, String& reply, std::string& err) {
    reply = String();
    std::string received;
    if (!SendAndReceive(host, port, packet.View(), received, err)) return false;
    reply = String(received);
    if (!ReplyPacketComplete(reply)) {
        err = reply.IsEmpty() ? "connection closed without a reply" : "reply packet incomplete";
        return false;
    }
    return true;
}

}  // namespace zelbench
