// Loopback peers for the exchange and send tests: each runs on its own
// thread in the test process, on 127.0.0.1 (or ::1, given AF_INET6) and an
// ephemeral port, and is stopped and joined by its destructor.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "common/unresolvable.h"
#include "net/net_test_util.h"
#include <thread>
#include <vector>

#include "foundation/fd.h"
#include "foundation/io.h"

namespace peers {

// A host name that can never resolve and whose lookup never leaves the machine.
inline const std::string kUnresolvable = kUnresolvableHost;

// The reply texts of the probes and send actions that tests of both expect.
inline const std::string kNoName = "Cannot resolve server name to IP address";
inline const std::string kInvalid = ErrnoText(EINVAL).Data();
inline const std::string kRefused = ErrnoText(ECONNREFUSED).Data();
inline const std::string kTooLong = ErrnoText(EMSGSIZE).Data();

using nettest::BoundLoopback;
using nettest::LocalPort;

// A TCP port on which nothing listens: bound but not listening, so
// connections are refused and no one else can take it meanwhile.
struct TClosedPort {
    explicit TClosedPort(int family = AF_INET) : holder(BoundLoopback(SOCK_STREAM, family)) {}
    TFd holder;
    int port = LocalPort(holder.Get());
};

// Request parameters with every "$NAME" replaced by the port named NAME, so
// that a table of cases can name the ports of peers started by the test.
inline std::vector<std::string> WithPorts(std::vector<std::string> params, const std::map<std::string, int>& ports) {
    for (std::string& p : params) {
        if (p.size() > 1 && p[0] == '$') p = std::to_string(ports.at(p.substr(1)));
    }
    return params;
}

// A UDP port bound by no one (it was free a moment ago).
inline int FreeUdpPort(int family = AF_INET) {
    TFd fd = BoundLoopback(SOCK_DGRAM, family);
    return LocalPort(fd.Get());
}

// What a TCP peer does with each connection it accepts (one at a time).
enum class TTcpMode {
    Echo,       // sends back every chunk it reads, until the client closes
    Banner,     // sends its text at once, then reads until the client closes
    Answer,     // reads one chunk, sends its text, then reads until the client closes
    CloseAtOnce,  // closes without a word
    Silent,     // reads everything, never answers, keeps the connection
    NeverRead,  // never accepts: connections wait in the backlog, unread
};

// Everything one finished connection brought.
struct TTcpVisit {
    std::string received;
    bool cleanEnd = false;  // the client closed (not reset) the connection
};

class TTcpPeer {
public:
    explicit TTcpPeer(TTcpMode mode, std::string text = {}, int family = AF_INET)
        : mode_(mode), text_(std::move(text)) {
        listen_ = BoundLoopback(SOCK_STREAM, family);
        if (listen_.Valid() && ::listen(listen_.Get(), 16) == 0) port_ = LocalPort(listen_.Get());
        int p[2];
        if (pipe2(p, O_CLOEXEC) == 0) {
            stopRead_.Reset(p[0]);
            stopWrite_.Reset(p[1]);
        }
        if (mode_ != TTcpMode::NeverRead) thread_ = std::thread([this] { Run(); });
    }
    ~TTcpPeer() {
        if (stopWrite_.Valid()) (void)!::write(stopWrite_.Get(), "x", 1);
        if (thread_.joinable()) thread_.join();
    }
    TTcpPeer(const TTcpPeer&) = delete;
    TTcpPeer& operator=(const TTcpPeer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // Waits (at most 30 s, a safety net only) for n finished connections.
    std::vector<TTcpVisit> WaitVisits(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return visits_.size() >= n; });
        return visits_;
    }
    int Accepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }

private:
    // Waits for fd to become readable; false when the peer is stopped.
    bool WaitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
        for (;;) {
            int n = ::poll(p, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 && p[1].revents == 0;
        }
    }
    bool SendText(int fd, const std::string& s) {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    void Serve(TFd conn) {
        TTcpVisit visit;
        if (mode_ == TTcpMode::CloseAtOnce) {
            conn.Reset();
            Finish(std::move(visit));
            return;
        }
        if (mode_ == TTcpMode::Banner && !SendText(conn.Get(), text_)) return Finish(std::move(visit));
        bool answered = false;
        std::vector<char> buf(65536);
        while (WaitReadable(conn.Get())) {
            ssize_t n = ::recv(conn.Get(), buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) visit.cleanEnd = true;
            if (n <= 0) break;
            visit.received.append(buf.data(), static_cast<size_t>(n));
            if (mode_ == TTcpMode::Echo) SendText(conn.Get(), std::string(buf.data(), static_cast<size_t>(n)));
            if (mode_ == TTcpMode::Answer && !answered) answered = SendText(conn.Get(), text_);
        }
        conn.Reset();  // closed before the visit counts, for tests that count descriptors
        Finish(std::move(visit));
    }
    void Finish(TTcpVisit visit) {
        std::lock_guard<std::mutex> lock(mutex_);
        visits_.push_back(std::move(visit));
        cv_.notify_all();
    }
    void Run() {
        while (WaitReadable(listen_.Get())) {
            TFd conn(::accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn.Valid()) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++accepted_;
            }
            Serve(std::move(conn));
        }
    }

    TTcpMode mode_;
    std::string text_;
    TFd listen_, stopRead_, stopWrite_;
    int port_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<TTcpVisit> visits_;
    int accepted_ = 0;
};

// What a UDP peer does with each datagram.
enum class TUdpMode {
    Echo,      // sends it back to its sender
    Silent,    // keeps it, never answers
    Answer,    // answers each with its text
    AnswerNth, // answers only the n-th datagram (counted from 1) with its text
};

class TUdpPeer {
public:
    explicit TUdpPeer(TUdpMode mode, std::string text = {}, int nth = 1, int family = AF_INET)
        : mode_(mode), text_(std::move(text)), nth_(nth) {
        sock_ = BoundLoopback(SOCK_DGRAM, family);
        port_ = LocalPort(sock_.Get());
        int p[2];
        if (pipe2(p, O_CLOEXEC) == 0) {
            stopRead_.Reset(p[0]);
            stopWrite_.Reset(p[1]);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~TUdpPeer() {
        if (stopWrite_.Valid()) (void)!::write(stopWrite_.Get(), "x", 1);
        if (thread_.joinable()) thread_.join();
    }
    TUdpPeer(const TUdpPeer&) = delete;
    TUdpPeer& operator=(const TUdpPeer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // Waits (at most 30 s, a safety net only) for n datagrams.
    std::vector<std::string> WaitDatagrams(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return got_.size() >= n; });
        return got_;
    }
    std::vector<std::string> Datagrams() {
        std::lock_guard<std::mutex> lock(mutex_);
        return got_;
    }

private:
    void Run() {
        std::vector<char> buf(70000);
        pollfd p[2] = {{sock_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
        for (;;) {
            int n = ::poll(p, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || p[1].revents != 0) return;
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ssize_t r = ::recvfrom(sock_.Get(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (r < 0) continue;
            std::string d(buf.data(), static_cast<size_t>(r));
            size_t count;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                got_.push_back(d);
                count = got_.size();
                cv_.notify_all();
            }
            const std::string* answer = nullptr;
            if (mode_ == TUdpMode::Echo) answer = &d;
            if (mode_ == TUdpMode::Answer) answer = &text_;
            if (mode_ == TUdpMode::AnswerNth && count == static_cast<size_t>(nth_)) answer = &text_;
            if (answer != nullptr)
                ::sendto(sock_.Get(), answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    TUdpMode mode_;
    std::string text_;
    int nth_;
    TFd sock_, stopRead_, stopWrite_;
    int port_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> got_;
};

}  // namespace peers
