// The agent's own CPU usage (no script configured): the reading of
// /proc/stat, the sampler's intervals and the answer to "TEST-CPU" while
// children keep every processor busy.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "checks/cpu_sampler.h"
#include "proc_fixture.h"

namespace {

TEST(CpuUsage, FromStatLines) {
    struct TCase {
        const char *before, *after;
        double want;
    } cases[] = {
        // user nice system idle iowait irq softirq steal guest guest_nice
        {"cpu  100 0 100 800 0 0 0 0 0 0\n", "cpu  150 0 150 900 0 0 0 0 0 0\n", 50.0},
        {"cpu  0 0 0 0 0 0 0 0\n", "cpu  10 10 10 0 0 10 10 10\n", 100.0},
        {"cpu  0 0 0 0 0 0 0 0\n", "cpu  0 0 0 60 40 0 0 0\n", 0.0},  // iowait is idle
        {"cpu  0 0 0 0\n", "cpu  1 0 0 2\n", 33.3},                  // an old kernel's four columns
        {"cpu  5 5 5 5 5 5 5 5\n", "cpu  5 5 5 5 5 5 5 5\n", 0.0},    // no time passed
        {"cpu  0 0 0 0 0 0 0 0\n", "cpu  2 0 0 1 0 0 0 0\n", 66.7},
    };
    for (const TCase& c : cases) {
        TCpuTimes before, after;
        ASSERT_TRUE(ParseCpuTimes(c.before, before)) << c.before;
        ASSERT_TRUE(ParseCpuTimes(c.after, after)) << c.after;
        EXPECT_FLOAT_EQ(static_cast<float>(CpuUsagePercent(before, after)), static_cast<float>(c.want)) << c.after;
    }
    TCpuTimes t;
    for (const char* bad : {"", "cpu0 1 2 3 4\n", "intr 1 2 3\n", "cpu  1 2 3\n"})
        EXPECT_FALSE(ParseCpuTimes(bad, t)) << bad;
}

TEST(CpuUsage, SamplerWaitsForTheFirstInterval) {
    TScratchDir dir;
    const std::string stat = dir.File("stat");
    ASSERT_TRUE(WriteTextFile(stat, "cpu  100 0 100 800 0 0 0 0\nintr 0\n"));
    {
        TCpuSampler sampler(stat.c_str(), std::chrono::milliseconds(20));
        double v = -1;
        String err;
        ASSERT_TRUE(sampler.Usage(v, err)) << err.Data();  // blocks until one interval is complete
        EXPECT_GE(sampler.Intervals(), 1u);
        EXPECT_EQ(v, 0.0);  // nothing moved
    }
    TCpuSampler missing(dir.File("none").c_str(), std::chrono::milliseconds(20));
    double v = 0;
    String err;
    EXPECT_FALSE(missing.Usage(v, err));
    EXPECT_NE(err.Std().find("cannot open"), std::string::npos) << err.Data();
}

class CpuRequest : public ProcFixture {};

// The agent's sampler: the first request waits for the first second, the
// value lies in 0-100 and follows busy children.
TEST_F(CpuRequest, ValueFollowsBusyChildren) {
    Settings([](TZELSettings& s) { s.cpuusagescript = ""; });
    TReplyTable r = Call("TEST-CPU");
    ASSERT_EQ(r.code, "200");
    ASSERT_EQ(r.lines.size(), 1u);
    double v = std::atof(r.lines[0].c_str());
    EXPECT_GE(v, 0.0);
    EXPECT_LE(v, 100.0);

    std::vector<pid_t> busy;
    for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) {
        const pid_t p = fork();
        if (p == 0) {
            volatile unsigned long n = 0;
            for (;;) n = n + 1;
        }
        busy.push_back(p);
    }
    // Two whole intervals with every processor busy.
    String err;
    TCpuSampler* sampler = AgentCpuSampler(err);
    ASSERT_NE(sampler, nullptr) << err.Data();
    const uint64_t from = sampler->Intervals();
    EXPECT_TRUE(Eventually([&] { return sampler->Intervals() >= from + 2; }));
    r = Call("TEST-CPU");
    for (const pid_t p : busy) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    ASSERT_EQ(r.lines.size(), 1u);
    v = std::atof(r.lines[0].c_str());
    EXPECT_GE(v, 50.0);
    EXPECT_LE(v, 100.0);
}

}  // namespace
