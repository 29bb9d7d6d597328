// One TCP and one UDP exchange with a loopback echo peer, and the syslog
// message: the cost the agent adds to a network test or action.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "actions/syslog_sender.h"
#include "foundation/fd.h"
#include "net/exchange.h"

namespace {

TFd Loopback(int type) {
    TFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fd.Reset();
    return fd;
}

int PortOf(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// Echoes every TCP connection's first chunk, or every datagram.
class TEcho {
public:
    explicit TEcho(int type) : type_(type), fd_(Loopback(type)) {
        if (type == SOCK_STREAM) listen(fd_.Get(), 128);
        port_ = PortOf(fd_.Get());
        thread_ = std::thread([this] { Run(); });
    }
    ~TEcho() {
        stop_ = true;
        thread_.join();
    }
    int Port() const { return port_; }

private:
    void Run() {
        char buf[2048];
        while (!stop_) {
            pollfd p{fd_.Get(), POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            if (type_ == SOCK_DGRAM) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(fd_.Get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n > 0) sendto(fd_.Get(), buf, n, 0, reinterpret_cast<sockaddr*>(&from), len);
                continue;
            }
            TFd c(accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            ssize_t n = c.Valid() ? recv(c.Get(), buf, sizeof buf, 0) : -1;
            if (n > 0) send(c.Get(), buf, n, MSG_NOSIGNAL);
        }
    }
    int type_;
    TFd fd_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_TcpExchange(benchmark::State& state) {
    TEcho echo(SOCK_STREAM);
    const std::string data = "GET / HTTP/1.0\r\n\r\n";
    char buf[8192];
    String err;
    int received = 0;
    TNetFailure failure = TNetFailure::None;
    for (auto _ : state) {
        if (!SendReceiveTCPPacket("127.0.0.1", echo.Port(), 5000, data.data(), buf, data.size(), sizeof buf,
                                  received, failure, err) ||
            received <= 0)
            state.SkipWithError(err.Data());
    }
}
BENCHMARK(BM_TcpExchange)->UseRealTime();

void BM_UdpExchange(benchmark::State& state) {
    TEcho echo(SOCK_DGRAM);
    const std::string data = "ping";
    char buf[8192];
    String err;
    int received = 0;
    TNetFailure failure = TNetFailure::None;
    for (auto _ : state) {
        if (!SendReceiveUDPPacket("127.0.0.1", echo.Port(), 5, data.data(), buf, data.size(), sizeof buf, received,
                                  failure, err) ||
            received <= 0)
            state.SkipWithError(err.Data());
    }
}
BENCHMARK(BM_UdpExchange)->UseRealTime();

void BM_SendToSysLog(benchmark::State& state) {
    TFd sink = Loopback(SOCK_DGRAM);  // bound, never read: datagrams are dropped when full
    const int port = PortOf(sink.Get());
    String err;
    for (auto _ : state) {
        if (!SendToSysLog("127.0.0.1", port, 1, 5, "QD ZEL", "disk full on /var", err))
            state.SkipWithError(err.Data());
    }
}
BENCHMARK(BM_SendToSysLog)->UseRealTime();

}  // namespace
