// zelq with several agents on loopback: live agents, an agent with another
// password, a closed port and listeners that never answer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "zelq_run.h"

namespace {

using zelqt::Args;
using zelqt::Lines;
using zelqt::Zelq;

// A socket listening on address:0 that never accepts: connections complete
// in the kernel and requests are never answered.
struct TSilentListener {
    explicit TSilentListener(const std::string& address) : address(address) {
        fd.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        socklen_t len = sizeof sa;
        if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd.Get(), 256) != 0 ||
            getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            fd.Reset();
            return;
        }
        port = ntohs(sa.sin_port);
    }
    std::string Target() const { return address + ":" + std::to_string(port); }
    std::string address;
    TFd fd;
    int port = 0;
};

std::string Target(const zelit::TAgent& a) { return "127.0.0.1:" + std::to_string(a.Port()); }

class ZelqFleet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (int i = 0; i < 3; ++i) {
            agents_.push_back(std::make_unique<zelit::TAgent>());
            if (startError_.empty() && !agents_.back()->Start()) startError_ = agents_.back()->StartError();
        }
        zelit::TAgentConfig other;
        other.password = "another-password";
        stranger_ = std::make_unique<zelit::TAgent>(other);
        if (startError_.empty() && !stranger_->Start()) startError_ = stranger_->StartError();
    }
    static void TearDownTestSuite() {
        agents_.clear();
        stranger_.reset();
    }
    void SetUp() override { ASSERT_TRUE(startError_.empty()) << startError_; }

    static std::string Password() { return agents_[0]->Password().Std(); }

    static std::vector<std::unique_ptr<zelit::TAgent>> agents_;
    static std::unique_ptr<zelit::TAgent> stranger_;
    static std::string startError_;
    zelit::TScratchDir scratch_;
};

std::vector<std::unique_ptr<zelit::TAgent>> ZelqFleet::agents_;
std::unique_ptr<zelit::TAgent> ZelqFleet::stranger_;
std::string ZelqFleet::startError_;

TEST_F(ZelqFleet, MixedFleetInOrderWithSummary) {
    const std::string closed = "127.0.0.1:" + std::to_string(zelit::FreeLoopbackPort());
    const std::string list = scratch_.File("fleet.txt");
    ASSERT_TRUE(zelit::WriteFile(list, "# the fleet\n" + Target(*agents_[0]) + "\n" + Target(*stranger_) +
                                           "   # another password\n\n" + closed + "\n" + Target(*agents_[1]) + "\n"));
    // Host order: the -H entries, then the list.
    zelit::TRunResult r = Zelq({"-P", Password(), "-H", Target(*agents_[2]), "--hosts", list, "--value", "3", "GetInfo"});
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 4) << r.output;  // the worst: the closed port
    const std::vector<std::string> want = {
        Target(*agents_[2]) + "\t200\tAgentVersion=1.29",
        Target(*agents_[0]) + "\t200\tAgentVersion=1.29",
        Target(*stranger_) +
            "\tnoreply\tno reply: the agent refused the request (wrong password, filtered address or invalid packet)",
        closed + "\terror\tcannot connect to " + closed + ": Connection refused",
        Target(*agents_[1]) + "\t200\tAgentVersion=1.29",
    };
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), want.size() + 1) << r.output;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(lines[i], want[i]);
    EXPECT_EQ(lines.back().rfind("# 5 hosts: 3 answered, 2 failed, 0 timed out (", 0), 0u) << lines.back();

    // Without the closed port the worst is the missing reply (3); with live
    // agents only, 0.
    r = Zelq({"-P", Password(), "-H", Target(*agents_[0]), "-H", Target(*stranger_), "GetInfo"});
    EXPECT_EQ(r.exitCode, 3) << r.output;
    r = Zelq({"-P", Password(), "-H", Target(*agents_[0]), "-H", Target(*agents_[1]), "TEST-FolderSize", "/nonexistent/"});
    EXPECT_EQ(r.exitCode, 1) << r.output;  // both answered 301
    r = Zelq({"-P", Password(), "-H", Target(*agents_[0]), "-H", Target(*agents_[1]), "GetInfo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Lines(r.output).size(), 3u);
}

TEST_F(ZelqFleet, JsonAndStandardInput) {
    const std::string list = scratch_.File("in.txt");
    const std::string closed = std::to_string(zelit::FreeLoopbackPort());
    ASSERT_TRUE(zelit::WriteFile(list, Target(*agents_[0]) + "\n127.0.0.1:" + closed + "\n"));
    const zelit::TRunResult r =
        zelqt::ZelqWithInput({"-P", Password(), "--json", "--hosts", "-", "TEST-CountFiles", "/", "*", "0", "9"}, list);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 4) << r.output;
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 3u) << r.output;
    EXPECT_EQ(lines[0], "{\"host\": \"127.0.0.1\", \"port\": " + std::to_string(agents_[0]->Port()) +
                            ", \"code\": \"501\", \"values\": {\"text\": \"Wrong parameter\"}, "
                            "\"raw\": [\"Wrong parameter\"]}");
    EXPECT_EQ(lines[1], "{\"host\": \"127.0.0.1\", \"port\": " + closed +
                            ", \"failure\": \"error\", \"error\": \"cannot connect to 127.0.0.1:" + closed +
                            ": Connection refused\"}");
    EXPECT_EQ(lines[2].rfind("{\"summary\": {\"hosts\": 2, \"answered\": 1, \"failed\": 1, \"timed_out\": 0, ", 0),
              0u)
        << lines[2];

    // Standard input holds the list: a parameter cannot read it too.
    const zelit::TRunResult both = zelqt::ZelqWithInput({"-P", "x", "--hosts", "-", "X", "@-"}, list);
    EXPECT_EQ(both.exitCode, 64) << both.output;
    EXPECT_NE(both.output.find("standard input cannot hold both"), std::string::npos) << both.output;
    const zelit::TRunResult empty = Zelq({"-P", "x", "--hosts", "/dev/null", "X"});
    EXPECT_EQ(empty.exitCode, 64) << empty.output;
    EXPECT_NE(empty.output.find("names no host"), std::string::npos) << empty.output;
}

// Three hundred entries: most point at the live agents, every fifth at a
// listener that never answers (ten of them, on 127.0.0.2 to 127.0.0.11).
// All run at once, so the whole takes about one time-out, not the sum.
TEST_F(ZelqFleet, LargeFleetEndsAfterOneTimeOut) {
    std::vector<std::unique_ptr<TSilentListener>> silent;
    for (int i = 2; i <= 11; ++i) {
        silent.push_back(std::make_unique<TSilentListener>("127.0.0." + std::to_string(i)));
        ASSERT_NE(silent.back()->port, 0) << silent.back()->address;
    }
    std::string list;
    std::vector<bool> isSilent;
    std::vector<std::string> targets;
    for (int i = 0; i < 300; ++i) {
        const bool quiet = i % 5 == 4;
        targets.push_back(quiet ? silent[(i / 5) % silent.size()]->Target() : Target(*agents_[i % agents_.size()]));
        isSilent.push_back(quiet);
        list += targets.back() + "\n";
    }
    const std::string file = scratch_.File("large.txt");
    ASSERT_TRUE(zelit::WriteFile(file, list));

    const zelit::TRunResult r =
        Zelq({"-P", Password(), "-t", "5", "--parallel", "300", "--hosts", file, "TEST-FileExists", "/"}, {}, 120000);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 4) << r.output;
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 301u) << r.output;
    for (size_t i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        const std::string want = targets[i] + (isSilent[i] ? "\ttimeout\t" : "\t200\t");
        EXPECT_EQ(lines[i].rfind(want, 0), 0u) << lines[i];
    }
    EXPECT_EQ(lines[300].rfind("# 300 hosts: 240 answered, 0 failed, 60 timed out (", 0), 0u) << lines[300];
    // For the record: the whole run against the exchanges one after another.
    std::cout << "[ fleet    ] " << lines[300] << std::endl;
}

}  // namespace
