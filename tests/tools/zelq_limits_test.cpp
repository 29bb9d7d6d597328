// zelq's time limits: a name resolution that never answers ends within the
// time-out as a time-out, and a text-log run stops exchanging when its time
// is up, keeping what the exchanges before found.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "zelq/exchange.h"
#include "zelq/fleet.h"
#include "zelq/options.h"
#include "zelq/plugin.h"

namespace {

// A resolver that answers only once it is let go: a DNS server that does
// not answer, without any traffic.
struct TGate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void Open() {
        std::lock_guard<std::mutex> lock(m);
        open = true;
        cv.notify_all();
    }
};

// The address a host text names (port 0).
TSockAddr Address(const char* literal) {
    TSockAddr a;
    bool bracketed = false;
    EXPECT_TRUE(ParseNumericHost(literal, a, bracketed)) << literal;
    return a;
}

std::vector<std::string> Texts(const std::vector<TSockAddr>& addrs) {
    std::vector<std::string> out;
    for (const TSockAddr& a : addrs) out.push_back(a.Text().Std());
    return out;
}

// A loopback socket that listens and never accepts: connects complete in
// the kernel, requests are never answered.
struct TSilentListener {
    TSilentListener() {
        fd.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd.Get(), 16) != 0 ||
            getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            return;
        port = ntohs(sa.sin_port);
    }
    TFd fd;
    int port = 0;
};

class ZelqResolver : public ::testing::Test {
protected:
    void TearDown() override {
        gate_->Open();  // a resolver left behind may end now
        SetZelqResolver(nullptr);
    }
    // Names resolve to 127.0.0.1, once the gate opens when `hang`.
    void UseLoopbackResolver(bool hang) {
        auto gate = gate_;
        SetZelqResolver([gate, hang](const std::string&, std::vector<TSockAddr>& addrs, std::string&) {
            if (hang) {
                std::unique_lock<std::mutex> lock(gate->m);
                gate->cv.wait(lock, [&] { return gate->open; });
            }
            addrs = {Address("127.0.0.1")};
            return true;
        });
    }
    std::shared_ptr<TGate> gate_ = std::make_shared<TGate>();
};

TEST_F(ZelqResolver, ResolvesWithinTheTimeOut) {
    const struct {
        const char* label;
        const char* host;
        int resolver;  // 0 answers ::1 and 127.0.0.2, 1 fails, 2 never answers, 3 answers nothing
        bool ok;
        bool timedOut;
        std::vector<std::string> addrs;
        const char* err;
    } cases[] = {
        {"answers", "agent.test", 0, true, false, {"::1", "127.0.0.2"}, ""},
        {"fails", "agent.test", 1, false, false, {}, "no such name"},
        {"never answers", "agent.test", 2, false, true, {}, "timed out after 0.2 s resolving the name"},
        {"answers no address", "agent.test", 3, false, false, {}, "the name has no address"},
        {"a dotted address is no name", "127.0.0.3", 1, true, false, {"127.0.0.3"}, ""},
        {"nor is an IPv6 address", "::1", 1, true, false, {"::1"}, ""},
        {"in brackets", "[::1]", 1, true, false, {"::1"}, ""},
        {"brackets hold an address only", "[agent.test]", 0, false, false, {}, "\"[agent.test]\" is no IPv6 address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const int kind = c.resolver;
        auto gate = gate_;
        SetZelqResolver([gate, kind](const std::string& host, std::vector<TSockAddr>& addrs, std::string& err) {
            EXPECT_EQ(host, "agent.test");
            if (kind == 2) {
                std::unique_lock<std::mutex> lock(gate->m);
                gate->cv.wait(lock, [&] { return gate->open; });
            }
            if (kind == 1) {
                err = "no such name";
                return false;
            }
            if (kind != 3) addrs = {Address("::1"), Address("127.0.0.2")};
            return true;
        });
        std::vector<TSockAddr> addrs;
        bool timedOut = false;
        std::string err;
        EXPECT_EQ(ResolveWithin(c.host, 200, addrs, timedOut, err), c.ok);
        EXPECT_EQ(timedOut, c.timedOut);
        EXPECT_EQ(Texts(addrs), c.addrs);
        if (!c.ok) {
            EXPECT_EQ(err, c.err);
        }
    }
}

// The whole exchange: a silent resolver is a time-out ("timeout" in a
// fleet, CRITICAL in plugin mode), not an error; a run's end cuts a long
// wait for a reply.
TEST_F(ZelqResolver, ExchangesEndInTime) {
    TSilentListener silent;
    ASSERT_NE(silent.port, 0);
    const struct {
        const char* label;
        bool hang;
        int timeoutMs;
        int runMs;  // 0: no run limit
        const char* error;
    } cases[] = {
        {"silent resolver", true, 200, 0, "cannot connect to agent.test:PORT: timed out after 0.2 s resolving the name"},
        {"silent resolver within a run", true, 60000, 200, "resolving the name"},
        {"silent agent", false, 200, 0, "timed out after 0.2 s waiting for the reply from agent.test:PORT"},
        {"silent agent within a run", false, 60000, 200, "waiting for the reply from agent.test:PORT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        UseLoopbackResolver(c.hang);
        const TDeadline runEnd = c.runMs > 0 ? TDeadline::AfterMs(c.runMs) : TDeadline::Never();
        const TAskResult r = AskAgent("agent.test", silent.port, c.timeoutMs, String("pw"), String("GetInfo"), runEnd);
        EXPECT_EQ(r.outcome, TExchangeOutcome::Failed);
        EXPECT_TRUE(r.timedOut);
        std::string want = c.error;
        if (const size_t at = want.find("PORT"); at != std::string::npos)
            want.replace(at, 4, std::to_string(silent.port));
        EXPECT_NE(r.error.find(want), std::string::npos) << r.error << "\n" << want;
        const std::string line = FleetLine(TZelqTarget{"agent.test", silent.port}, r, 0, false, "GetInfo");
        EXPECT_EQ(line.rfind("agent.test:" + std::to_string(silent.port) + "\ttimeout\t", 0), 0u) << line;
    }
}

// ----- the exchanges of one text-log run

TZelqOptions TextLogOptions() {
    TZelqOptions o;
    std::string err;
    EXPECT_TRUE(ParseZelqArgs({"--plugin", "TEST-TextLog", "/var/log/app.log", "error"}, o, err)) << err;
    return o;
}

// The reply of exchange k (from 0): position 100 * (k + 1).
TAskResult Step(char kind, int k) {
    TAskResult a;
    const std::string pos = std::to_string(100 * (k + 1));
    switch (kind) {
    case 'm':  // a match, more follow
    case 'e':  // a match, the end
    case 'q':  // no match, more follow
    case 'n':  // no match, the end
        a.outcome = TExchangeOutcome::Reply;
        a.text = String(std::string("200\n") + (kind == 'm' || kind == 'e' ? "1\nerror " + std::to_string(k) : "0\n") +
                        "\n" + (kind == 'm' || kind == 'q' ? "1" : "0") + "\n" + pos + "\n" + pos + "\n5\n1024\n\r");
        break;
    case 't':
        a.outcome = TExchangeOutcome::Failed;
        a.timedOut = true;
        a.error = "timed out after 1 s waiting for the reply from h:1055";
        break;
    case 'r':
        a.outcome = TExchangeOutcome::NoReply;
        break;
    default:
        a.outcome = TExchangeOutcome::Failed;
        a.error = "cannot connect to h:1055: Connection refused";
        break;
    }
    return a;
}

TEST(ZelqTextLogScan, StopsWhenDoneFailedOrOutOfTime) {
    const struct {
        const char* label;
        std::string script;  // one letter per exchange (see Step), the last repeated
        int timeUpAfter;     // exchanges after which the run's time is over (-1: never)
        int exchanges;
        bool ended;
        int matches;
        bool more;
        int64_t position;    // the state kept
        const char* verdict; // for ended: the start of the status line
    } cases[] = {
        {"the agent reaches the end", "mme", -1, 3, false, 3, false, 300, ""},
        {"no match at all", "qqn", -1, 3, false, 0, false, 300, ""},
        {"time up after two exchanges", "m", 2, 2, false, 2, true, 200, ""},
        {"time up before the second exchange", "m", 1, 1, false, 1, true, 100, ""},
        {"time up, but the first exchange is always made", "m", 0, 1, false, 1, true, 100, ""},
        {"never time up, never the end: the round limit", "m", -1, kMaxTextLogRounds, false, kMaxTextLogRounds, true,
         100 * kMaxTextLogRounds, ""},
        {"a later exchange runs out of time: the earlier ones are kept", "mmt", -1, 3, false, 2, true, 200, ""},
        {"the first exchange times out", "t", -1, 1, true, 0, false, 7, "TEXTLOG CRITICAL: timed out"},
        {"a later exchange is refused", "mr", -1, 2, true, 0, false, 7, "TEXTLOG UNKNOWN: no reply"},
        {"a later exchange cannot connect", "mf", -1, 2, true, 0, false, 7, "TEXTLOG CRITICAL: cannot connect"},
    };
    const TZelqOptions opts = TextLogOptions();
    TStrList user;
    user.Add(String("/var/log/app.log"));
    user.Add(String("error"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TTextLogState from;
        from.position = 7;
        from.size = 7;
        from.time = 5;
        int asked = 0;
        auto ask = [&](const String& request) {
            // Each exchange goes on from where the one before stopped.
            const std::string before = asked == 0 ? "7" : std::to_string(100 * asked);
            EXPECT_NE(request.Std().find("\n" + before + "\n"), std::string::npos) << request.Std();
            const char kind = c.script[std::min(static_cast<size_t>(asked), c.script.size() - 1)];
            return Step(kind, asked++);
        };
        auto timeUp = [&] { return c.timeUpAfter >= 0 && asked >= c.timeUpAfter; };
        const TTextLogScan scan = ScanTextLog(opts, user, from, ask, timeUp);
        EXPECT_EQ(scan.exchanges, c.exchanges);
        EXPECT_EQ(asked, c.exchanges);
        ASSERT_EQ(scan.ended, c.ended) << scan.verdict.line;
        if (c.ended) {
            EXPECT_EQ(scan.verdict.line.rfind(c.verdict, 0), 0u) << scan.verdict.line;
            continue;
        }
        EXPECT_EQ(scan.matches, c.matches);
        EXPECT_EQ(scan.more, c.more);
        EXPECT_EQ(scan.state.position, c.position);
        if (c.matches > 0) {
            EXPECT_EQ(scan.lastLine, "error " + std::to_string(c.matches - 1));
        }
    }
}

}  // namespace
