#include "daemon/privileges.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "daemon/listener.h"
#include "foundation/io.h"
#include "net/resolve.h"

namespace {

std::string g_servingUser;  // the account's name; "" when not serving as a user of its own

constexpr int kCapNetBindService = 10;  // linux/capability.h
constexpr int kListenBacklog = 512;     // as the listener opens it

// A decimal number that fits uid_t, or false.
bool ParseId(std::string_view text, uid_t& out) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v >= static_cast<uid_t>(-1)) return false;  // -1 means "unchanged" to the set*id calls
    out = static_cast<uid_t>(v);
    return true;
}

String Step(const char* what, int e) { return String(what) + ": " + ErrnoText(e); }

// The value of "Name:\t..." in /proc/self/status ("" when absent).
std::string StatusLine(const char* name) {
    std::string text;
    TFd fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    String ignored;
    if (!fd.Valid() || !ReadToEnd(fd.Get(), text, 1 << 16, ignored)) return "";
    const std::string key = std::string("\n") + name + ":";
    size_t at = text.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    const size_t end = text.find('\n', at);
    std::string value = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!value.empty() && (value.front() == '\t' || value.front() == ' ')) value.erase(0, 1);
    return value;
}

}  // namespace

bool ResolveUser(const String& account, TUserIds& ids, String& err) {
    ids = TUserIds();
    const std::string_view text = account.View();
    uid_t number = 0;
    const bool numeric = ParseId(text, number);
    std::vector<char> buf(16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = numeric ? ::getpwuid_r(number, &entry, buf.data(), buf.size(), &found)
                         : ::getpwnam_r(std::string(text).c_str(), &entry, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (found == nullptr) {
        if (!numeric) {
            err = String("no such user '") + account + "'" + (rc != 0 ? String(" (") + ErrnoText(rc) + ")" : String(""));
            return false;
        }
        ids.name = account;
        ids.uid = number;
        ids.gid = static_cast<gid_t>(number);
        ids.groups = {ids.gid};
        return true;
    }
    ids.name = entry.pw_name;
    ids.uid = entry.pw_uid;
    ids.gid = entry.pw_gid;
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size())) count = static_cast<int>(groups.size()) * 2;
        if (count > 65536) {
            err = String("too many groups for user '") + account + "'";
            return false;
        }
        groups.resize(static_cast<size_t>(count));
    }
    groups.resize(static_cast<size_t>(count));
    ids.groups = groups;
    return true;
}

TUserSwitch UserSwitchNeeded(const TUserIds& ids) {
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (::getresuid(&ru, &eu, &su) == 0 && ::getresgid(&rg, &eg, &sg) == 0 && ru == ids.uid && eu == ids.uid &&
        su == ids.uid && rg == ids.gid && eg == ids.gid && sg == ids.gid)
        return TUserSwitch::None;
    return ::geteuid() == 0 ? TUserSwitch::Switch : TUserSwitch::Impossible;
}

bool BecomeUser(const TUserIds& ids, String& err) {
    switch (UserSwitchNeeded(ids)) {
    case TUserSwitch::None:
        return true;
    case TUserSwitch::Impossible:
        err = String("the agent runs as uid ") + std::to_string(::getuid()).c_str() +
              ", which cannot become another user";
        return false;
    case TUserSwitch::Switch:
        break;
    }
    // The groups first: once the uid is the user's, they can no longer change.
    if (::setgroups(ids.groups.size(), ids.groups.data()) != 0) {
        err = Step("setgroups", errno);
        return false;
    }
    if (::setresgid(ids.gid, ids.gid, ids.gid) != 0) {
        err = Step("setgid", errno);
        return false;
    }
    if (::setresuid(ids.uid, ids.uid, ids.uid) != 0) {
        err = Step("setuid", errno);
        return false;
    }
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (::getresuid(&ru, &eu, &su) != 0 || ::getresgid(&rg, &eg, &sg) != 0 || ru != ids.uid || eu != ids.uid ||
        su != ids.uid || rg != ids.gid || eg != ids.gid || sg != ids.gid) {
        err = "the user and group ids did not all change";
        return false;
    }
    if (ids.uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0 || ::setegid(0) == 0)) {
        err = "root could be regained after the switch";
        return false;
    }
    return true;
}

bool ActAsUser(const TUserIds& ids, String& err) {
    if (::setgroups(ids.groups.size(), ids.groups.data()) != 0) {
        err = Step("setgroups", errno);
        return false;
    }
    // (uid_t)-1 leaves the real and saved ids as they are: root's. With a
    // real id of root's, the user cannot signal the process before it
    // becomes the user for good.
    if (::setresgid(static_cast<gid_t>(-1), ids.gid, static_cast<gid_t>(-1)) != 0) {
        err = Step("setegid", errno);
        return false;
    }
    if (::setresuid(static_cast<uid_t>(-1), ids.uid, static_cast<uid_t>(-1)) != 0) {
        err = Step("seteuid", errno);
        return false;
    }
    if (::geteuid() != ids.uid || ::getegid() != ids.gid) {
        err = "the effective user and group ids did not change";
        return false;
    }
    return true;
}

bool RaiseToRoot(String& err) {
    if (::setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) {
        err = Step("seteuid", errno);
        return false;
    }
    if (::setresgid(static_cast<gid_t>(-1), 0, static_cast<gid_t>(-1)) != 0) {
        err = Step("setegid", errno);
        return false;
    }
    return true;
}

void SetServingAsUser(const String& name) { g_servingUser = name.Std(); }
bool ServingAsUser() { return !g_servingUser.empty(); }
std::string ServingIdentity() {
    return ServingAsUser() ? "user " + g_servingUser : "uid " + std::to_string(::getuid());
}

int FirstUnprivilegedPort() {
    TFd fd(::open("/proc/sys/net/ipv4/ip_unprivileged_port_start", O_RDONLY | O_CLOEXEC));
    std::string text;
    String ignored;
    if (!fd.Valid() || !ReadToEnd(fd.Get(), text, 64, ignored)) return 1024;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    uid_t v = 0;
    return ParseId(text, v) && v <= 65536 ? static_cast<int>(v) : 1024;
}

bool MayBindPort(int port) {
    if (::geteuid() == 0 || port >= FirstUnprivilegedPort()) return true;
    const std::string caps = StatusLine("CapEff");
    if (caps.empty()) return false;
    const unsigned long long bits = std::strtoull(caps.c_str(), nullptr, 16);
    return (bits >> kCapNetBindService) & 1u;
}

TFd TakeInheritedListener() {
    const char* text = ::getenv(kInheritedListenerVariable);
    if (text == nullptr) return TFd();
    uid_t number = 0;
    const bool parsed = ParseId(text, number) && number > STDERR_FILENO && number < (1u << 20);
    ::unsetenv(kInheritedListenerVariable);
    if (!parsed) return TFd();
    const int fd = static_cast<int>(number);
    struct stat st {};
    int type = 0;
    socklen_t length = sizeof type;
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return TFd();
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return TFd(fd);
}

bool ListenerBoundTo(const TFd& sock, const String& host, int port) {
    if (!sock.Valid() || port <= 0 || port > 65535) return false;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(sock.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return false;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = bound.ss_family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.IsEmpty() ? nullptr : host.Data(), service.c_str(), &hints, &raw) != 0) return false;
    std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
    bool same = false;
    for (const addrinfo* a = list.get(); a != nullptr && !same; a = a->ai_next) {
        if (a->ai_family == AF_INET && bound.ss_family == AF_INET) {
            const auto* want = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            const auto* have = reinterpret_cast<const sockaddr_in*>(&bound);
            same = want->sin_port == have->sin_port && want->sin_addr.s_addr == have->sin_addr.s_addr;
        } else if (a->ai_family == AF_INET6 && bound.ss_family == AF_INET6) {
            const auto* want = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            const auto* have = reinterpret_cast<const sockaddr_in6*>(&bound);
            same = want->sin6_port == have->sin6_port &&
                   std::memcmp(&want->sin6_addr, &have->sin6_addr, sizeof want->sin6_addr) == 0;
        }
    }
    return same;
}

bool AdoptListener(const TFd& sock, const String& host, int port) {
    if (!ListenerBoundTo(sock, host, port) || ::listen(sock.Get(), kListenBacklog) != 0) return false;
    int seconds = kDeferAcceptSeconds;
    ::setsockopt(sock.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
    return true;
}

std::vector<char*> HandOverListener(const TFd& sock, char** envp, std::string& storage) {
    std::vector<char*> out;
    const std::string prefix = std::string(kInheritedListenerVariable) + "=";
    for (char** e = envp; e != nullptr && *e != nullptr; ++e)
        if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) out.push_back(*e);
    if (sock.Valid()) {
        storage = prefix + std::to_string(sock.Get());
        out.push_back(storage.data());
    }
    out.push_back(nullptr);
    return out;
}
