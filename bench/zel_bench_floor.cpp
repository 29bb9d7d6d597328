// The floor of an exchange: what one connection per request costs on this
// machine with nothing but the socket calls and a thread per connection.
// It reads one request packet (length field first), writes a prepared reply
// of the agent's size and closes, like the agent, and does nothing else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "zel_bench.h"

namespace zelbench {

namespace {

// The agent's session threads use the same stack size.
constexpr size_t kFloorStack = 256 * 1024;

std::atomic<int> g_floorActive{0};

struct TFloorConnection {
    int fd;
    const String* reply;
};

bool ReadExactly(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void* ServeFloorConnection(void* raw) {
    TFloorConnection c = *static_cast<TFloorConnection*>(raw);
    delete static_cast<TFloorConnection*>(raw);
    {
        TFd fd(c.fd);
        unsigned char head[4];
        if (ReadExactly(fd.Get(), reinterpret_cast<char*>(head), 4)) {
            size_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<size_t>(head[3]) << 24);
            char body[4096];
            bool ok = true;
            while (ok && size > 0) {
                size_t chunk = size < sizeof body ? size : sizeof body;
                ok = ReadExactly(fd.Get(), body, chunk);
                size -= chunk;
            }
            String ignored;
            if (ok) SendAll(fd.Get(), c.reply->View(), ignored);
        }
        shutdown(fd.Get(), SHUT_RDWR);
    }
    --g_floorActive;
    return nullptr;
}

}  // namespace

bool TFloorServer::Start(const String& reply, std::string& err) {
    reply_ = reply;
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd.Get(), 512) != 0) {
        err = "floor server: " + ErrnoText(errno).Std();
        return false;
    }
    socklen_t len = sizeof sa;
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    listenFd_ = fd.Release();
    stop_ = false;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void TFloorServer::AcceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int client = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        auto* c = new TFloorConnection{client, &reply_};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kFloorStack);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        ++g_floorActive;
        if (pthread_create(&thread, &attr, ServeFloorConnection, c) != 0) {
            --g_floorActive;
            close(client);
            delete c;
        }
        pthread_attr_destroy(&attr);
    }
}

void TFloorServer::Stop() {
    if (listenFd_ < 0) return;
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    close(listenFd_);
    listenFd_ = -1;
    // The connection threads read reply_: let them finish first.
    for (int i = 0; i < 1000 && g_floorActive.load() > 0; ++i) usleep(10000);
}

}  // namespace zelbench
