#include "daemon/audit.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>

#include "common/scratch_dir.h"
#include "common/utc_zone.h"
#include "config/settings.h"
#include "daemon/messages.h"
#include "net/address.h"

namespace {

// The address of a literal of either family.
TNetAddress Addr(const char* literal) {
    TNetAddress a;
    TNetAddress::Parse(literal, a);
    return a;
}

// The clock of the limiters, stepped by the tests.
std::atomic<long long> g_ms{0};
std::chrono::steady_clock::time_point Stepped() {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(g_ms.load()));
}

class RefusalLimit : public ::testing::Test {
protected:
    void SetUp() override {
        g_ms = 1000000;
        SetRepeatedMessageClock(Stepped);
    }
    void TearDown() override { SetRepeatedMessageClock(nullptr); }
};

// ---- One line per address and reason per interval --------------------------

TEST_F(RefusalLimit, OneLinePerAddressAndReasonPerInterval) {
    const int gateA = 0, gateB = 0;  // two command rows, told apart by address
    struct TStep {
        long long atMs;
        const char* client;
        TRefusal reason;
        const void* detail;
        bool shown;
        int skipped;  // reported with a shown one
    } const steps[] = {
        {0, "127.0.0.2", TRefusal::BadRequest, nullptr, true, 0},
        {1, "127.0.0.2", TRefusal::BadRequest, nullptr, false, 0},
        {2, "127.0.0.2", TRefusal::BadRequest, nullptr, false, 0},
        // Another reason, another address, another command: lines of their own.
        {3, "127.0.0.2", TRefusal::Filtered, nullptr, true, 0},
        {4, "127.0.0.3", TRefusal::BadRequest, nullptr, true, 0},
        {5, "127.0.0.2", TRefusal::Gate, &gateA, true, 0},
        {6, "127.0.0.2", TRefusal::Gate, &gateB, true, 0},
        {7, "127.0.0.2", TRefusal::Gate, &gateA, false, 0},
        // An IPv6 client counts as its /64 network: another address of the
        // same prefix is left out, one of the next prefix is not.
        {8, "2001:db8:1:2::5", TRefusal::BadRequest, nullptr, true, 0},
        {9, "2001:db8:1:2:ffff::6", TRefusal::BadRequest, nullptr, false, 0},
        {10, "2001:db8:1:3::5", TRefusal::BadRequest, nullptr, true, 0},
        {4999, "127.0.0.2", TRefusal::BadRequest, nullptr, false, 0},  // just inside
        {5000, "127.0.0.2", TRefusal::BadRequest, nullptr, true, 3},   // the three left out
        {5001, "127.0.0.3", TRefusal::BadRequest, nullptr, false, 0},
        {5004, "127.0.0.3", TRefusal::BadRequest, nullptr, true, 1},
        {9999, "127.0.0.2", TRefusal::BadRequest, nullptr, false, 0},  // counted from the last shown
        {10000, "127.0.0.2", TRefusal::BadRequest, nullptr, true, 1},
        {60000, "127.0.0.2", TRefusal::Gate, &gateA, true, 1},
        {60001, "2001:db8:1:2::7", TRefusal::BadRequest, nullptr, true, 1},
    };
    TRefusalLimiter limit(16, std::chrono::milliseconds(5000));
    const long long start = g_ms;
    for (const TStep& step : steps) {
        SCOPED_TRACE(std::to_string(step.atMs) + " " + step.client);
        g_ms = start + step.atMs;
        int skipped = -1;
        EXPECT_EQ(limit.Pass(Addr(step.client), step.reason, step.detail, String("text"), skipped), step.shown);
        if (step.shown) {
            EXPECT_EQ(skipped, step.skipped);
        }
    }
    EXPECT_TRUE(limit.TakeLeftOut().empty());
}

// Whatever the pattern, every refusal is either a line, counted in a line's
// "(N more not shown)", or reported by TakeLeftOut; and the table never
// holds more keys than its capacity.
TEST_F(RefusalLimit, FloodsFromManyAddressesStayBoundedAndCounted) {
    struct Case {
        const char* name;
        size_t capacity;
        int addresses;    // distinct sources, used in turn
        int refusals;
        long long stepMs;  // clock step between two refusals
    } const cases[] = {
        {"one address", 8, 1, 500, 1},
        {"fewer addresses than slots", 8, 5, 500, 3},
        {"many addresses within the interval", 8, 1000, 5000, 0},
        {"many addresses over several intervals", 8, 300, 6000, 7},
        {"a slot each, slowly", 4, 4, 100, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRefusalLimiter limit(c.capacity, std::chrono::milliseconds(5000));
        long long lines = 0, counted = 0;
        for (int i = 0; i < c.refusals; ++i) {
            g_ms += c.stepMs;
            in_addr a{htonl(0x7F000000u + 2 + static_cast<uint32_t>(i % c.addresses))};
            int skipped = 0;
            if (limit.Pass(a, TRefusal::BadRequest, nullptr, String("Request refused"), skipped)) {
                ++lines;
                counted += skipped;
            }
            ASSERT_LE(limit.Size(), c.capacity);
        }
        long long leftOut = 0;
        for (const auto& left : limit.TakeLeftOut()) {
            EXPECT_GT(left.count, 0);
            EXPECT_EQ(left.text, "Request refused");
            leftOut += left.count;
        }
        EXPECT_EQ(lines + counted + leftOut, c.refusals);
        if (c.stepMs == 0) {
            // Within one interval: one line per slot, plus one for the rest.
            EXPECT_EQ(lines, static_cast<long long>(std::min<size_t>(c.capacity, c.addresses)) +
                                 (static_cast<size_t>(c.addresses) > c.capacity ? 1 : 0));
        }
        EXPECT_TRUE(limit.TakeLeftOut().empty());  // taken once
    }
}

// ---- The lines written ------------------------------------------------------

time_t FixedClock() { return 1267952703; }  // 7 March 2010 09:05:03 UTC

class AuditLines : public RefusalLimit {
protected:
    void SetUp() override {
        RefusalLimit::SetUp();
        ASSERT_TRUE(scratch.Valid());
        SetMessageClock(FixedClock);
        SetRefusalInterval(std::chrono::milliseconds(5000));
        const std::string cfg = scratch.File("zel.cfg");
        ZELSettings.Modify([&](TZELSettings& s) {
            s = TZELSettings{};
            s.cfgfile = cfg.c_str();
            s.badlogfile = "bad.txt";
            s.logfails = 1;
        });
    }
    void TearDown() override {
        ReportLeftOutRefusals();  // nothing left for the next test
        SetRefusalInterval(kRefusalInterval);
        SetMessageClock(nullptr);
        ZELSettings.Modify([](TZELSettings& s) { s = TZELSettings{}; });
        RefusalLimit::TearDown();
    }
    std::string Bad() const { return ReadTextFile(scratch.File("bad.txt")); }

    TUtcZone utc;
    TScratchDir scratch;
};

TEST_F(AuditLines, RefusalsAreLimitedAndTheRestReportedBeforeAStop) {
    for (int i = 0; i < 4; ++i) AuditRefusal(TRefusal::Filtered, Addr("10.7.0.1"), String(kRefusedFiltered));
    AuditRefusal(TRefusal::BadRequest, Addr("10.7.0.1"), String(kRefusedBadRequest));
    g_ms += 5000;
    AuditRefusal(TRefusal::Filtered, Addr("10.7.0.1"), String(kRefusedFiltered));
    AuditRefusal(TRefusal::Filtered, Addr("10.7.0.1"), String(kRefusedFiltered));
    ReportLeftOutRefusals();
    ReportLeftOutRefusals();  // nothing more
    EXPECT_EQ(Bad(),
              "[03/07/2010 09:05:03]\t 10.7.0.1\t TCP connection rejected\n"
              "[03/07/2010 09:05:03]\t 10.7.0.1\t Request refused: wrong password or invalid packet\n"
              "[03/07/2010 09:05:03]\t 10.7.0.1\t TCP connection rejected (3 more not shown)\n"
              "[03/07/2010 09:05:03]\t 10.7.0.1\t TCP connection rejected: 1 more not shown\n");
}

// ---- Helpers ------------------------------------------------------------------

TEST(ChangedSettingNames, NamesOnlyTheRemoteSettingsThatDiffer) {
    struct Case {
        const char* name;
        std::function<void(TZELSettings&)> change;
        const char* names;
    } const cases[] = {
        {"nothing", [](TZELSettings&) {}, ""},
        {"same value written again", [](TZELSettings& s) { s.port = 5005; }, ""},
        {"port", [](TZELSettings& s) { s.port = 6000; }, "Port"},
        {"password, never its value", [](TZELSettings& s) { s.password = "n3w-secret"; }, "Password"},
        {"in table order", [](TZELSettings& s) {
             s.filterlist = "127.0.0.1 127.0.0.2";
             s.timeout = 1;
             s.logsuccess = 1;
         }, "Timeout, IPFilterAddr, LogOkConn"},
        {"a switch", [](TZELSettings& s) { s.external = 0; }, "External"},
        {"a field no request can name", [](TZELSettings& s) { s.verbose = 1; }, ""},
    };
    TZELSettings before;
    before.port = 5005;
    before.password = "old-secret";
    before.external = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TZELSettings after = before;
        c.change(after);
        String names = ChangedSettingNames(before, after);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(names.Pos("secret"), 0);
    }
}

TEST(RefusalIntervalFrom, TakesMillisecondsOrTheDefault) {
    struct Case {
        const char* text;
        long long ms;
    } const cases[] = {
        {nullptr, 5000},  {"", 5000},        {"0", 0},        {"250", 250},
        {"3600000", 3600000}, {"12x", 5000}, {"-5", 5000},    {"1234567890", 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(none)");
        EXPECT_EQ(RefusalIntervalFrom(c.text).count(), c.ms);
    }
}

}  // namespace
