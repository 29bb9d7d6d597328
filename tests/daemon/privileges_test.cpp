// The switch of user and the listener a replaced image takes over.
#include "daemon/privileges.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {

constexpr uid_t kNobody = 65534;

TEST(Privileges, ResolvesNamesAndNumbers) {
    const struct {
        const char* account;
        bool ok;
        uid_t uid;
        gid_t gid;
        const char* name;
    } cases[] = {
        {"root", true, 0, 0, "root"},
        {"0", true, 0, 0, "root"},
        {"nobody", true, kNobody, 0 /* its group is the system's */, "nobody"},
        {"4000123", true, 4000123, 4000123, "4000123"},  // a uid without an entry
        {"no-such-user-zel", false, 0, 0, ""},
        {"", false, 0, 0, ""},
        {"12x", false, 0, 0, ""},
        {"4294967295", false, 0, 0, ""},  // (uid_t)-1 means "unchanged" to setuid
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account);
        TUserIds ids;
        String err;
        EXPECT_EQ(ResolveUser(c.account, ids, err), c.ok) << err.Data();
        if (!c.ok) {
            EXPECT_EQ(err, (std::string("no such user '") + c.account + "'").c_str());
            continue;
        }
        EXPECT_EQ(ids.uid, c.uid);
        if (c.uid != kNobody) {
            EXPECT_EQ(ids.gid, c.gid);
        }
        EXPECT_EQ(ids.name, c.name);
        // The primary group is always among the groups set.
        EXPECT_NE(std::find(ids.groups.begin(), ids.groups.end(), ids.gid), ids.groups.end());
    }
}

// In a child: root becomes nobody for good, and then cannot become anyone
// else.
TEST(Privileges, BecomesTheUserForGood) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TUserIds ids, root;
        String err;
        if (!ResolveUser("nobody", ids, err) || !ResolveUser("root", root, err)) _exit(10);
        if (UserSwitchNeeded(ids) != TUserSwitch::Switch) _exit(11);
        if (!BecomeUser(ids, err)) _exit(12);
        uid_t r, e, s;
        gid_t rg, eg, sg;
        if (::getresuid(&r, &e, &s) != 0 || r != kNobody || e != kNobody || s != kNobody) _exit(13);
        if (::getresgid(&rg, &eg, &sg) != 0 || rg != ids.gid || eg != ids.gid || sg != ids.gid) _exit(14);
        gid_t groups[64];
        const int n = ::getgroups(64, groups);
        if (n != static_cast<int>(ids.groups.size())) _exit(15);
        for (int i = 0; i < n; ++i)
            if (groups[i] == 0 && ids.gid != 0) _exit(16);  // root's group is gone
        if (::setuid(0) == 0 || ::setgid(0) == 0) _exit(17);
        // Already the user: nothing to do, e.g. after a restart.
        if (UserSwitchNeeded(ids) != TUserSwitch::None || !BecomeUser(ids, err)) _exit(18);
        // Another user is out of reach, with a reason.
        if (UserSwitchNeeded(root) != TUserSwitch::Impossible || BecomeUser(root, err)) _exit(19);
        if (err != (std::string("the agent runs as uid ") + std::to_string(kNobody) + ", which cannot become another user").c_str())
            _exit(20);
        // Ports below the first unprivileged one are out of reach too.
        if (MayBindPort(FirstUnprivilegedPort() - 1) || !MayBindPort(FirstUnprivilegedPort())) _exit(21);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// In a child: root acts as nobody (a start-up by root with `user=`), root
// in the real and saved ids: a file only root may write stays out of reach
// until root is taken back, a process of the user cannot signal it, and the
// switch for good works from there.
TEST(Privileges, ActsAsTheUserUntilRootIsTakenBack) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    char path[] = "/tmp/zel-privileges-XXXXXX";
    const int made = ::mkstemp(path);
    ASSERT_GE(made, 0);
    ::close(made);
    ASSERT_EQ(::chmod(path, 0600), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TUserIds ids;
        String err;
        if (!ResolveUser("nobody", ids, err) || !ActAsUser(ids, err)) _exit(10);
        uid_t r, e, s;
        if (::getresuid(&r, &e, &s) != 0 || r != 0 || e != kNobody || s != 0) _exit(11);
        if (::open(path, O_WRONLY | O_CLOEXEC) >= 0 || errno != EACCES) _exit(12);
        const pid_t starting = ::getpid();
        const pid_t user = ::fork();
        if (user == 0) {
            if (!RaiseToRoot(err) || !BecomeUser(ids, err)) _exit(1);
            _exit(::kill(starting, 0) != 0 && errno == EPERM ? 0 : 2);
        }
        int userStatus = 0;
        if (user < 0 || ::waitpid(user, &userStatus, 0) != user || !WIFEXITED(userStatus) ||
            WEXITSTATUS(userStatus) != 0)
            _exit(18);
        if (!RaiseToRoot(err) || ::geteuid() != 0) _exit(13);
        if (!ActAsUser(ids, err) || ::geteuid() != kNobody) _exit(14);  // again after binding
        if (!RaiseToRoot(err) || UserSwitchNeeded(ids) != TUserSwitch::Switch || !BecomeUser(ids, err)) _exit(15);
        if (::getresuid(&r, &e, &s) != 0 || r != kNobody || e != kNobody || s != kNobody) _exit(16);
        if (RaiseToRoot(err)) _exit(17);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::unlink(path);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A listening socket on 127.0.0.1 and a free port.
TFd ListeningSocket(int& port) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 8) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return TFd();
    port = ntohs(a.sin_port);
    return fd;
}

bool Listening(const TFd& fd) {
    int on = 0;
    socklen_t length = sizeof on;
    return ::getsockopt(fd.Get(), SOL_SOCKET, SO_ACCEPTCONN, &on, &length) == 0 && on != 0;
}

// The way across execve: the environment names the descriptor, the new
// image takes it, and listens again when it is bound where it should be.
TEST(Privileges, HandsTheListenerToTheNextImage) {
    int port = 0;
    TFd sock = ListeningSocket(port);
    ASSERT_TRUE(sock.Valid());
    char a[] = "PATH=/bin", b[] = "ZEL_LISTEN_FD=99", c[] = "HOME=/";
    char* envp[] = {a, b, c, nullptr};
    std::string storage;
    std::vector<char*> env = HandOverListener(sock, envp, storage);
    ASSERT_EQ(env.size(), 4u);
    EXPECT_STREQ(env[0], "PATH=/bin");
    EXPECT_STREQ(env[1], "HOME=/");
    EXPECT_EQ(std::string(env[2]), "ZEL_LISTEN_FD=" + std::to_string(sock.Get()));
    EXPECT_EQ(env[3], nullptr);
    // Nothing to hand: the variable is left out.
    EXPECT_EQ(HandOverListener(TFd(), envp, storage).size(), 3u);

    // The new image's side (the predecessor shut the socket down).
    ASSERT_EQ(::shutdown(sock.Get(), SHUT_RDWR), 0);
    EXPECT_FALSE(Listening(sock));
    ASSERT_EQ(::setenv(kInheritedListenerVariable, std::to_string(sock.Get()).c_str(), 1), 0);
    TFd taken = TakeInheritedListener();
    EXPECT_EQ(::getenv(kInheritedListenerVariable), nullptr);
    ASSERT_EQ(taken.Get(), sock.Get());
    (void)sock.Release();
    EXPECT_NE(::fcntl(taken.Get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_TRUE(ListenerBoundTo(taken, "127.0.0.1", port));
    EXPECT_TRUE(ListenerBoundTo(taken, "localhost", port));
    EXPECT_FALSE(ListenerBoundTo(taken, "127.0.0.2", port));
    EXPECT_FALSE(ListenerBoundTo(TFd(), "127.0.0.1", port));
    EXPECT_FALSE(Listening(taken));  // a comparison only
    EXPECT_FALSE(AdoptListener(taken, "127.0.0.1", port + 1 > 65535 ? 1 : port + 1));  // another port
    EXPECT_FALSE(AdoptListener(taken, "", port));                                     // all addresses
    EXPECT_FALSE(AdoptListener(taken, "127.0.0.2", port));
    EXPECT_FALSE(Listening(taken));
    EXPECT_TRUE(AdoptListener(taken, "127.0.0.1", port));
    EXPECT_TRUE(Listening(taken));

    // Variables that name no socket are dropped.
    TFd notSocket(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (const std::string& text : {std::string(), std::string("x"), std::string("1"), std::string("999999"),
                                    std::to_string(notSocket.Get())}) {
        ::setenv(kInheritedListenerVariable, text.c_str(), 1);
        EXPECT_FALSE(TakeInheritedListener().Valid()) << text;
        EXPECT_EQ(::getenv(kInheritedListenerVariable), nullptr);
    }
}

TEST(Privileges, RootMayBindAnyPort) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs as root only";
    EXPECT_TRUE(MayBindPort(1));
    EXPECT_TRUE(MayBindPort(1023));
    EXPECT_GE(FirstUnprivilegedPort(), 0);
}

}  // namespace
