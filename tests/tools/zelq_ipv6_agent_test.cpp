// zelq over IPv6 against the real agent: -H ::1, -H [::1]:PORT and fleet
// entries of both families. The agent is reached on ::1 through a relay in
// the test (which passes the bytes on to the agent on 127.0.0.1), and, when
// it can listen there itself, directly on ::1.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/ipv6_loopback.h"
#include "foundation/fd.h"
#include "net/net_test_util.h"
#include "net/resolve.h"
#include "zelq_run.h"

namespace {

using zelqt::Args;
using zelqt::Zelq;

// Accepts connections on ::1 and passes their bytes both ways to
// 127.0.0.1:target, one connection at a time, until destroyed.
class TRelay {
public:
    explicit TRelay(int target) : target_(target) {
        listener_ = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
        if (!listener_.Valid() || listen(listener_.Get(), 8) != 0) return;
        port_ = nettest::LocalPort(listener_.Get());
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        stopRead_.Reset(p[0]);
        stopWrite_.Reset(p[1]);
        thread_ = std::thread([this] { Run(); });
    }
    ~TRelay() {
        if (stopWrite_.Valid()) (void)!write(stopWrite_.Get(), "x", 1);
        if (thread_.joinable()) thread_.join();
    }
    int Port() const { return port_; }
    int Relayed() const { return relayed_; }

private:
    void Run() {
        for (;;) {
            pollfd p[2] = {{listener_.Get(), POLLIN, 0}, {stopRead_.Get(), POLLIN, 0}};
            if (poll(p, 2, -1) < 0) continue;
            if (p[1].revents != 0) return;
            TFd client(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client.Valid()) continue;
            const TSockAddr agent = SockAddrV4(htonl(INADDR_LOOPBACK), target_);
            TFd upstream(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (connect(upstream.Get(), agent.Get(), agent.len) != 0) continue;
            ++relayed_;
            Pump(client.Get(), upstream.Get());
        }
    }
    // Passes bytes until both sides have closed (or the relay stops).
    void Pump(int a, int b) {
        bool aOpen = true, bOpen = true;
        char buf[65536];
        while (aOpen || bOpen) {
            pollfd p[3] = {{a, static_cast<short>(aOpen ? POLLIN : 0), 0},
                           {b, static_cast<short>(bOpen ? POLLIN : 0), 0},
                           {stopRead_.Get(), POLLIN, 0}};
            if (poll(p, 3, -1) < 0) continue;
            if (p[2].revents != 0) return;
            for (int i = 0; i < 2; ++i) {
                if (p[i].revents == 0) continue;
                const int from = i == 0 ? a : b, to = i == 0 ? b : a;
                const ssize_t n = recv(from, buf, sizeof buf, 0);
                if (n <= 0) {
                    (i == 0 ? aOpen : bOpen) = false;
                    shutdown(to, SHUT_WR);
                    continue;
                }
                for (ssize_t done = 0; done < n;) {
                    const ssize_t w = send(to, buf + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
                    if (w <= 0) return;
                    done += w;
                }
            }
        }
    }

    int target_;
    TFd listener_, stopRead_, stopWrite_;
    int port_ = -1;
    std::atomic<int> relayed_{0};
    std::thread thread_;
};

class ZelqOverIPv6 : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IPv6LoopbackUsable()) GTEST_SKIP() << kNoIPv6Loopback;
    }
};

TEST_F(ZelqOverIPv6, HostsOfBothFormsReachTheAgent) {
    zelit::TAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    TRelay relay(agent.Port());
    ASSERT_GT(relay.Port(), 0);
    const std::string port = std::to_string(relay.Port());
    const std::string pw = agent.Password().Std();
    const Args cases[] = {
        {"-H", "::1", "-p", port},
        {"-H", "[::1]:" + port},
        {"-H", "[::1]", "-p", port},
        {"-H", "0:0:0:0:0:0:0:1", "-p", port},
    };
    for (const Args& hostArgs : cases) {
        Args args = hostArgs;
        args.insert(args.end(), {"-P", pw, "TEST-FileExists", "/"});
        SCOPED_TRACE(hostArgs[1]);
        const zelit::TRunResult r = Zelq(args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output.rfind("200 success\n", 0), 0u) << r.output;
    }
    EXPECT_EQ(relay.Relayed(), 4);

    // A fleet of both families, on the command line and in a host list.
    const std::string v4 = "127.0.0.1:" + std::to_string(agent.Port());
    const std::string v6 = "[::1]:" + port;
    zelit::TScratchDir dir;
    const std::string list = dir.File("hosts");
    ASSERT_TRUE(WriteTextFile(list, v6 + "\n" + v4 + "  # the same agent\n"));
    for (const Args& hostArgs : {Args{"-H", v6, "-H", v4}, Args{"--hosts", list}}) {
        Args args = hostArgs;
        args.insert(args.end(), {"-P", pw, "TEST-FileExists", "/"});
        const zelit::TRunResult r = Zelq(args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const auto lines = zelqt::Lines(r.output);
        ASSERT_EQ(lines.size(), 3u) << r.output;  // and the summary
        EXPECT_EQ(lines[2].rfind("# 2 hosts: 2 answered", 0), 0u) << r.output;
        EXPECT_EQ(lines[0].rfind(v6 + "\t200\t", 0), 0u) << r.output;
        EXPECT_EQ(lines[1].rfind(v4 + "\t200\t", 0), 0u) << r.output;
    }
}

TEST_F(ZelqOverIPv6, ARefusedAgentIsNamedInBrackets) {
    TFd closed = nettest::BoundLoopback(SOCK_STREAM, AF_INET6);
    const std::string port = std::to_string(nettest::LocalPort(closed.Get()));
    const zelit::TRunResult r = Zelq({"-H", "[::1]:" + port, "-P", "x", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_NE(r.output.find("cannot connect to [::1]:" + port + ": Connection refused"), std::string::npos)
        << r.output;
}

// The agent itself on ::1, where it can listen there.
TEST_F(ZelqOverIPv6, AnAgentListeningOnIPv6) {
    zelit::TAgentConfig cfg;
    cfg.host = "::1";
    zelit::TAgent agent(cfg);
    if (!agent.Start())
        GTEST_SKIP() << "the agent cannot listen on ::1 (host=::1), so zelq is tested over IPv6 through a relay "
                        "only: "
                     << agent.StartError();
    const std::string port = std::to_string(agent.Port());
    for (const Args& hostArgs : {Args{"-H", "::1", "-p", port}, Args{"-H", "[::1]:" + port}}) {
        Args args = hostArgs;
        args.insert(args.end(), {"-P", agent.Password().Std(), "GetInfo"});
        const zelit::TRunResult r = Zelq(args);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output.rfind("200 success\n", 0), 0u) << r.output;
    }
}

}  // namespace
