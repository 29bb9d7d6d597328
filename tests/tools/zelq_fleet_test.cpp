// Several agents without an agent: host lists, output lines, the parallel
// runner's bound and order.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zelq/fleet.h"
#include "zelq/options.h"

namespace {

using Args = std::vector<std::string>;

TEST(ZelqHosts, Targets) {
    const struct {
        const char* text;
        const char* host;  // nullptr: refused
        int port;
    } cases[] = {
        {"web1", "web1", 1055},
        {"web1:2000", "web1", 2000},
        {"10.0.0.5:65535", "10.0.0.5", 65535},
        {"[::1]:1056", "::1", 1056},
        {"[::1]", "::1", 1055},
        {"fe80::1", "fe80::1", 1055},  // several colons: an address without a port
        {"web1:", nullptr, 0},
        {"web1:0", nullptr, 0},
        {"web1:65536", nullptr, 0},
        {"web1:http", nullptr, 0},
        {":1055", nullptr, 0},
        {"[::1]x", nullptr, 0},
        {"[::1", nullptr, 0},
        {"[]:1", nullptr, 0},
    };
    for (const auto& c : cases) {
        TZelqTarget t;
        std::string err;
        const bool ok = ParseTarget(c.text, 1055, t, err);
        if (c.host == nullptr) {
            EXPECT_FALSE(ok) << c.text;
            EXPECT_FALSE(err.empty());
            continue;
        }
        ASSERT_TRUE(ok) << c.text << ": " << err;
        EXPECT_EQ(t.host, c.host);
        EXPECT_EQ(t.port, c.port) << c.text;
    }
}

TEST(ZelqHosts, ListFile) {
    std::vector<TZelqTarget> t;
    std::string err;
    ASSERT_TRUE(ParseHostList("# the web servers\nweb1\n  web2:2000   # moved\r\n\n\t\n#web3\nweb1\n", 1055, t, err))
        << err;
    const std::vector<TZelqTarget> want = {{"web1", 1055}, {"web2", 2000}, {"web1", 1055}};
    EXPECT_EQ(t, want);

    const struct {
        const char* text;
        const char* reason;
    } bad[] = {
        {"web1\nweb2:99999\n", "line 2: \"web2:99999\": the port"},
        {"web1 web2\n", "line 1: one host[:port] per line"},
        {"ok\n\nweb1:\n", "line 3:"},
    };
    for (const auto& b : bad) {
        t.clear();
        EXPECT_FALSE(ParseHostList(b.text, 1055, t, err)) << b.text;
        EXPECT_NE(err.find(b.reason), std::string::npos) << err;
    }
    t.clear();
    EXPECT_TRUE(ParseHostList("# nothing\n\n", 1055, t, err));
    EXPECT_TRUE(t.empty());
}

TEST(ZelqHosts, CommandLines) {
    const struct {
        Args args;
        bool fleet;
        const char* reason;  // nullptr: accepted
    } cases[] = {
        {{"-H", "a", "GetInfo"}, false, nullptr},
        {{"-H", "a:2000", "GetInfo"}, false, nullptr},
        {{"-H", "a", "-H", "b:2", "GetInfo"}, true, nullptr},
        {{"--hosts", "list", "GetInfo"}, true, nullptr},
        {{"--hosts=-", "--parallel", "1024", "--json", "--value", "3", "GetInfo"}, true, nullptr},
        {{"--hosts", "list", "--parallel", "0", "GetInfo"}, true, "--parallel needs a number from 1 to 1024"},
        {{"--hosts", "list", "--parallel", "1025", "GetInfo"}, true, "--parallel needs"},
        {{"--hosts", "list", "--raw", "GetInfo"}, true, "--raw does not apply"},
        {{"-H", "a", "-H", "b", "--upgrade", "zel"}, true, "one agent at a time"},
        {{"--hosts"}, true, "--hosts needs a file name"},
        {{"-H", "a:x", "GetInfo"}, false, "-H \"a:x\""},
    };
    for (const auto& c : cases) {
        TZelqOptions o;
        std::string err;
        const bool ok = ParseZelqArgs(c.args, o, err);
        if (c.reason != nullptr) {
            EXPECT_FALSE(ok) << c.args[1];
            EXPECT_NE(err.find(c.reason), std::string::npos) << err;
            continue;
        }
        ASSERT_TRUE(ok) << err;
        EXPECT_EQ(IsFleet(o), c.fleet) << c.args[1];
    }
    // -p is the default port whatever its place; a port of -H wins.
    TZelqOptions o;
    std::string err;
    ASSERT_TRUE(ParseZelqArgs({"-H", "a", "-H", "b:7", "-p", "9", "X"}, o, err)) << err;
    const std::vector<TZelqTarget> want = {{"a", 9}, {"b", 7}};
    EXPECT_EQ(o.targets, want);
    ASSERT_TRUE(ParseZelqArgs({"-H", "a:7", "-p", "9", "X"}, o = TZelqOptions(), err)) << err;
    EXPECT_EQ(o.host, "a");
    EXPECT_EQ(o.port, 7);
}

TAskResult Answer(const std::string& text) {
    TAskResult a;
    a.outcome = TExchangeOutcome::Reply;
    a.text = String(text);
    return a;
}

TAskResult Failure(TExchangeOutcome outcome, bool timedOut, const std::string& error) {
    TAskResult a;
    a.outcome = outcome;
    a.timedOut = timedOut;
    a.error = error;
    return a;
}

TEST(ZelqFleetOutput, Lines) {
    const TZelqTarget t{"web1", 1055};
    const TZelqTarget v6{"::1", 7};
    const TAskResult unc = Answer("200\n  8000\n  1000\n   900\n\r");
    const TAskResult escaped = Answer("200\nAvailable tests=TCP%0D%0AUDP\ttab\x1b\n\r");
    const TAskResult c1 = Answer("200\nti\xc2\x9d" "0;x\x9c" "tle\xe9\n\r");
    const TAskResult timeout = Failure(TExchangeOutcome::Failed, true, "timed out after 1 s waiting for the reply");
    const TAskResult refused = Failure(TExchangeOutcome::Failed, false, "cannot connect to web1:1055: Connection refused");
    const TAskResult none = Failure(TExchangeOutcome::NoReply, false, "");
    const struct {
        const char* label;
        TZelqTarget target;
        TAskResult ask;
        int value;
        bool json;
        std::string line;
        const char* command = "TEST-UNC";
    } cases[] = {
        {"all lines", t, unc, 0, false, "web1:1055\t200\t  8000\t  1000\t   900\n"},
        {"one line", t, unc, 2, false, "web1:1055\t200\t  1000\n"},
        {"line beyond the reply", t, unc, 9, false, "web1:1055\t200\n"},
        {"escaped, controls shown", t, escaped, 0, false,
         "web1:1055\t200\tAvailable tests=TCP%0D%0AUDP\\x09tab\\x1B\n"},
        {"C1 controls shown", t, c1, 0, false, "web1:1055\t200\tti\\xC2\\x9D0;x\\x9Ctle\xe9\n"},
        {"json C1 controls", t, c1, 0, true,
         "{\"host\": \"web1\", \"port\": 1055, \"code\": \"200\", \"values\": {\"total\": "
         "\"ti\\u009d0;x\\u009ctle\\u00e9\"}, \"raw\": [\"ti\\u009d0;x\\u009ctle\\u00e9\"]}\n"},
        {"address with colons", v6, unc, 1, false, "[::1]:7\t200\t  8000\n"},
        {"time-out", t, timeout, 0, false, "web1:1055\ttimeout\ttimed out after 1 s waiting for the reply\n"},
        {"refused", t, refused, 0, false, "web1:1055\terror\tcannot connect to web1:1055: Connection refused\n"},
        {"no reply", t, none, 0, false,
         "web1:1055\tnoreply\tno reply: the agent refused the request (wrong password, filtered address or invalid "
         "packet)\n"},
        {"json reply", t, escaped, 0, true,
         "{\"host\": \"web1\", \"port\": 1055, \"code\": \"200\", \"values\": {\"Available tests\": "
         "\"TCP\\u000d\\u000aUDP\\u0009tab\\u001b\"}, \"raw\": [\"Available tests=TCP%0D%0AUDP\\u0009tab\\u001b\"]}\n", "GetInfo"},
        {"json one line", t, unc, 3, true,
         "{\"host\": \"web1\", \"port\": 1055, \"code\": \"200\", \"values\": {\"available\": 900}, "
         "\"raw\": [\"   900\"]}\n"},
        {"json time-out", t, timeout, 0, true,
         "{\"host\": \"web1\", \"port\": 1055, \"failure\": \"timeout\", \"error\": \"timed out after 1 s waiting "
         "for the reply\"}\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(FleetLine(c.target, c.ask, c.value, c.json, c.command), c.line) << c.label;

    TFleetSummary s{3, 1, 1, 1, 1500, 4250};
    EXPECT_EQ(FleetSummaryLine(s, false), "# 3 hosts: 1 answered, 1 failed, 1 timed out (1.50 s; 4.25 s one after another)\n");
    EXPECT_EQ(FleetSummaryLine(s, true),
              "{\"summary\": {\"hosts\": 3, \"answered\": 1, \"failed\": 1, \"timed_out\": 1, \"wall_ms\": 1500, "
              "\"serial_ms\": 4250}}\n");

    EXPECT_EQ(FleetHostStatus(unc), 0);
    EXPECT_EQ(FleetHostStatus(Answer("301\nx\n\r")), 1);
    EXPECT_EQ(FleetHostStatus(Answer("600\nx\n\r")), 2);
    EXPECT_EQ(FleetHostStatus(none), 3);
    EXPECT_EQ(FleetHostStatus(refused), 4);
    EXPECT_EQ(FleetHostStatus(timeout), 4);
}

TEST(ZelqFleetRunner, BoundedAndInOrder) {
    for (const int parallel : {1, 3, 16, 64}) {
        SCOPED_TRACE(parallel);
        const size_t count = 40;
        std::atomic<int> running{0}, most{0};
        auto ask = [&](size_t i) {
            const int now = ++running;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            // Later entries finish first, so order must come from the runner.
            std::this_thread::sleep_for(std::chrono::microseconds((count - i) * 100));
            --running;
            TFleetResult r;
            r.elapsedMs = static_cast<int64_t>(i);
            return r;
        };
        std::vector<size_t> order;
        size_t lastTick = 0;
        RunInParallel(count, parallel, ask, [&](size_t i, const TFleetResult& r) {
            EXPECT_EQ(r.elapsedMs, static_cast<int64_t>(i));
            order.push_back(i);
        }, [&](size_t finished) {
            EXPECT_GE(finished, lastTick);
            lastTick = finished;
        });
        ASSERT_EQ(order.size(), count);
        for (size_t i = 0; i < count; ++i) EXPECT_EQ(order[i], i);
        EXPECT_LE(most.load(), parallel);
        EXPECT_EQ(lastTick, count);
    }
    // Nothing to do.
    RunInParallel(0, 4, [](size_t) { return TFleetResult(); }, [](size_t, const TFleetResult&) { FAIL(); },
                  [](size_t) {});
}

// One slow host early in a long list: the others must not pile up their
// replies behind it. Each line is handed out as soon as the hosts before
// it are done, and a host starts only when few enough results wait.
TEST(ZelqFleetRunner, StreamsAndKeepsFewResults) {
    const struct {
        const char* label;
        size_t count;
        int parallel;
        size_t slow;  // the index that takes long
    } cases[] = {
        {"first host slow, two threads", 200, 2, 0},
        {"first host slow, eight threads", 200, 8, 0},
        {"a host in the middle slow", 200, 4, 50},
        {"one thread", 50, 1, 0},
        {"more threads than hosts", 5, 16, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::atomic<size_t> handedOut{0};   // done calls so far
        std::atomic<size_t> returned{0};    // ask calls returned so far
        std::atomic<size_t> mostWaiting{0}; // the most results returned and not yet handed out
        std::atomic<bool> startedTooEarly{false};
        const size_t threads = std::min(c.count, static_cast<size_t>(c.parallel));
        auto ask = [&](size_t i) {
            if (i >= handedOut.load() + 2 * threads) startedTooEarly = true;
            if (i == c.slow) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            TFleetResult r;
            r.elapsedMs = static_cast<int64_t>(i);
            r.ask.text = String(std::string(4096, 'x'));  // a reply that takes memory
            const size_t waiting = ++returned - handedOut.load();
            size_t seen = mostWaiting.load();
            while (waiting > seen && !mostWaiting.compare_exchange_weak(seen, waiting)) {
            }
            return r;
        };
        std::vector<size_t> order;
        RunInParallel(c.count, c.parallel, ask, [&](size_t i, const TFleetResult& r) {
            EXPECT_EQ(r.elapsedMs, static_cast<int64_t>(i));
            order.push_back(i);
            ++handedOut;
        }, [](size_t) {});
        ASSERT_EQ(order.size(), c.count);
        for (size_t i = 0; i < c.count; ++i) EXPECT_EQ(order[i], i);
        EXPECT_FALSE(startedTooEarly.load());
        EXPECT_LE(mostWaiting.load(), 2 * threads);
    }
}

}  // namespace
