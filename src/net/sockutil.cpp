#include "net/sockutil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <utility>

#include "foundation/io.h"

bool NewSocket(int domain, int type, int protocol, TFd& sock, String& err) {
    sock.Reset(::socket(domain, type | SOCK_CLOEXEC, protocol));
    if (sock.Valid() && sock.Get() <= 2) {
        TFd low = std::move(sock);
        sock.Reset(fcntl(low.Get(), F_DUPFD_CLOEXEC, 3));
        int saved = errno;
        low.Reset();
        errno = saved;
    }
    if (sock.Valid()) return true;
    int saved = errno;
    err = ErrnoText(saved);
    errno = saved;
    return false;
}
