// Self-upgrade of the running agent: the transfer on the request's
// connection, the script that installs the new executable, and every way a
// transfer can fail without leaving the host without an agent.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crypto/md5.h"
#include "integration/agent_harness.h"
#include "protocol/client.h"
#include "protocol/packet.h"

namespace {

using namespace zelit;
namespace fs = std::filesystem;

constexpr const char* kZelq = ZEL_BINARY_DIR "/tools/zelq";

String Digest(const std::string& image, const String& key) {
    MD5 md5;
    MD5Open(&md5);
    MD5Digest(&md5, image.data(), image.size());
    unsigned char d[16];
    MD5Close(&md5, d);
    return EncodeData(String(reinterpret_cast<const char*>(d), 16), key, 0);
}

// A new "executable": a shell script that leaves a mark and runs the real
// agent with the arguments it was given.
std::string WrapperImage(const std::string& mark) {
    std::string s = "#!/bin/sh\n# a new agent for the upgrade tests: marks its start, then runs the real one\n";
    s += "echo started >> '" + mark + "'\n";
    s += std::string("exec '") + kAgentBinary + "' \"$@\"\n";
    return s;
}

// One upgrade connection driven by hand.
class TUpgradeClient {
public:
    TUpgradeClient(const TAgent& agent) : agent_(agent), key_(NewSessionKey()) {
        fd_ = ConnectLoopback(agent.Port());
    }
    // Sends "UpgradeCode" with the size; returns the first reply's text.
    std::string Announce(const std::string& size) {
        TStrList params;
        params.Add(String(size));
        if (!SendAll(fd_.Get(), MakeRequestPacket(agent_.Password(), key_, "UpgradeCode", params))) return "send failed";
        return ReadReply();
    }
    bool Send(const std::string& bytes) { return SendAll(fd_.Get(), String(bytes)); }
    bool Send(const String& bytes) { return SendAll(fd_.Get(), bytes); }
    std::string ReadReply() {
        TReceived r = ReceiveUntilClosed(fd_.Get(), 15000, true);
        if (!ReplyPacketComplete(r.data)) return r.closed ? "closed" : "no reply";
        String text, err;
        if (!DecodeReplyPacket(r.data.Copy(1, static_cast<int>(ReplyPacketSize(r.data))), key_, text, err))
            return "undecodable";
        return std::string(text.View());
    }
    void Close() { fd_.Reset(); }
    const String& Key() const { return key_; }

private:
    const TAgent& agent_;
    String key_;
    TFd fd_;
};

class AgentUpgrade : public ::testing::Test {
protected:
    // The agent runs from a copy of the binary in `folder` (below a scratch
    // folder), with updates allowed from loopback.
    void StartAgent(const std::string& folder = "bin", std::vector<std::string> extra = {}) {
        fs::create_directories(bin_.File(folder));
        zelPath_ = bin_.File(folder) + "/zel";
        fs::copy_file(kAgentBinary, zelPath_, fs::copy_options::overwrite_existing);
        TAgentConfig cfg;
        cfg.extraLines = {"allowupdates=1", "updateaddr=127.0.0.1", "timeout=2000", "zelpath=" + zelPath_};
        for (auto& l : extra) cfg.extraLines.push_back(l);
        agent_ = std::make_unique<TAgent>(cfg);
        ASSERT_TRUE(agent_->Start()) << agent_->StartError();
        tmp_ = agent_->Dir().File("tmp");
    }
    std::string Image() const { return tmp_ + "/zel__.upd"; }
    std::string Script() const { return tmp_ + "/zelupd__.sh"; }
    // A fresh "UpgradeCode" is accepted, i.e. the slot is free; the probe's
    // own transfer is abandoned at once.
    bool SlotFree() {
        TUpgradeClient c(*agent_);
        return ReplyCode(String(c.Announce("200"))) == "200";
    }
    bool SlotFreeSoon() {
        return WaitFor([this] { return SlotFree(); }, 10000);
    }

    TScratchDir bin_;
    std::string zelPath_;
    std::string tmp_;
    std::unique_ptr<TAgent> agent_;
};

// The agent comes back on the same port with the same arguments, running
// the new executable, for agent paths with a blank and a quote too; links
// planted at the fixed names lead nowhere.
TEST_F(AgentUpgrade, InstallsTheNewExecutableAndComesBack) {
    for (const std::string folder : {"bin", "my agent's bin"}) {
        SCOPED_TRACE(folder);
        StartAgent(folder);
        const pid_t pid = agent_->Pid();
        const std::string mark = bin_.File("mark-" + std::to_string(pid));
        const std::string victim = bin_.File("victim");
        WriteFile(victim, "precious\n");
        ASSERT_EQ(symlink(victim.c_str(), Image().c_str()), 0);
        ASSERT_EQ(symlink(victim.c_str(), Script().c_str()), 0);

        const std::string image = WrapperImage(mark);
        TUpgradeClient c(*agent_);
        ASSERT_EQ(c.Announce(std::to_string(image.size())), "200\n\r");
        ASSERT_TRUE(c.Send(image + std::string(Digest(image, c.Key()).View())));
        EXPECT_EQ(c.ReadReply(), "200\n\r");
        c.Close();

        ASSERT_TRUE(WaitFor([&] { return PathExists(mark); }, 15000)) << agent_->Messages();
        EXPECT_EQ(agent_->Pid(), pid);
        ASSERT_TRUE(WaitFor([&] { return agent_->Exchange("GetInfo").replied; }, 15000));
        EXPECT_EQ(ReplyCode(agent_->Exchange("GetInfo").text), "200");
        EXPECT_EQ(ReadFile(zelPath_), image);
        struct stat st {};
        ASSERT_EQ(stat(zelPath_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(ReadFile(victim), "precious\n");
        EXPECT_FALSE(PathExists(Image()));
        EXPECT_FALSE(PathExists(Script()));
        EXPECT_EQ(agent_->SanitizerReport(), "");
        agent_.reset();
    }
}

TEST_F(AgentUpgrade, ZelqUpgradesThroughTheSameSteps) {
    StartAgent();
    const std::string mark = bin_.File("mark");
    const std::string file = bin_.File("new-zel");
    WriteFile(file, WrapperImage(mark));
    TRunResult r = RunProgram({kZelq, "-p", std::to_string(agent_->Port()), "-P", agent_->Password().Std(),
                               "--upgrade", file});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    size_t first = r.output.find("200 success");
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find("200 success", first + 1), std::string::npos) << r.output;
    ASSERT_TRUE(WaitFor([&] { return PathExists(mark); }, 15000)) << agent_->Messages();
    ASSERT_TRUE(WaitFor([&] { return agent_->Exchange("GetInfo").replied; }, 15000));
}

TEST_F(AgentUpgrade, AWrongDigestInstallsNothing) {
    StartAgent();
    const std::string image(300, 'x');
    TUpgradeClient c(*agent_);
    ASSERT_EQ(c.Announce("300"), "200\n\r");
    ASSERT_TRUE(c.Send(image + std::string(Digest(image + "y", c.Key()).View())));
    EXPECT_EQ(c.ReadReply(), "300\nWrong CRC\n\r");
    EXPECT_FALSE(PathExists(Image()));
    EXPECT_FALSE(PathExists(Script()));
    EXPECT_TRUE(SlotFree());
    EXPECT_EQ(ReadFile(zelPath_).size(), fs::file_size(kAgentBinary));
}

// The digest may arrive in any number of pieces: it is judged whole.
TEST_F(AgentUpgrade, ADigestSplitAcrossReadsIsJudgedWhole) {
    StartAgent();
    const std::string mark = bin_.File("mark");
    const std::string image = WrapperImage(mark);
    TUpgradeClient c(*agent_);
    ASSERT_EQ(c.Announce(std::to_string(image.size())), "200\n\r");
    const std::string digest(Digest(image, c.Key()).View());
    ASSERT_TRUE(c.Send(image + digest.substr(0, 5)));
    usleep(200000);
    ASSERT_TRUE(c.Send(digest.substr(5)));
    EXPECT_EQ(c.ReadReply(), "200\n\r");
    ASSERT_TRUE(WaitFor([&] { return PathExists(mark); }, 15000));
}

// A transfer that ends early, in the image or in the digest, or stalls,
// frees the slot and leaves no file behind.
TEST_F(AgentUpgrade, AnAbandonedTransferFreesTheSlot) {
    StartAgent();
    struct Case {
        const char* name;
        std::string sent;  // after the 400-byte announce
        bool stall;        // keep the connection open instead of closing it
    };
    const std::string image(400, 'z');
    const Case cases[] = {
        {"closed inside the image", image.substr(0, 100), false},
        {"closed after the image", image, false},
        {"closed inside the digest", image + "01234567", false},
        {"stalled inside the image", image.substr(0, 100), true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        TUpgradeClient c(*agent_);
        ASSERT_EQ(c.Announce("400"), "200\n\r");
        ASSERT_TRUE(c.Send(k.sent));
        // Meanwhile another upgrade is refused.
        TUpgradeClient other(*agent_);
        EXPECT_EQ(other.Announce("400"), "302\n\r");
        if (!k.stall) c.Close();
        EXPECT_TRUE(SlotFreeSoon());
        EXPECT_TRUE(WaitFor([&] { return !PathExists(Image()); }));
    }
}

TEST_F(AgentUpgrade, SizesAndPermissions) {
    StartAgent();
    struct Case {
        std::string size;
        std::string reply;
    };
    const Case cases[] = {
        {"100", "501\nWrong file parameter(s)\n\r"},
        {"10485760", "501\nWrong file parameter(s)\n\r"},
        {"-5", "501\nWrong file parameter(s)\n\r"},
        {"abc", "501\nWrong file parameter(s)\n\r"},
    };
    for (const Case& k : cases) {
        TUpgradeClient c(*agent_);
        EXPECT_EQ(c.Announce(k.size), k.reply) << k.size;
    }
    // A refused size leaves the slot free.
    EXPECT_TRUE(SlotFree());

    ASSERT_EQ(ReplyCode(agent_->Exchange("SetSettings", Params({"UpdateAddr=127.0.0.9"})).text), "200");
    TUpgradeClient outside(*agent_);
    EXPECT_EQ(outside.Announce("101"), "600\nOperation is not allowed\n\r");
    ASSERT_EQ(ReplyCode(agent_->Exchange("SetSettings", Params({"UpdateAddr=127.0.0.1", "AllowUpdates=0"})).text),
              "200");
    TUpgradeClient off(*agent_);
    EXPECT_EQ(off.Announce("101"), "600\nOperation is not allowed\n\r");
}

// After a successful transfer the slot stays taken until the process is
// replaced: a session already under way cannot start a second upgrade over
// the pending image (the main loop waits for it before replacing the
// process).
TEST_F(AgentUpgrade, ASecondUpgradeRightAfterOneIsRefused) {
    StartAgent();
    const std::string mark = bin_.File("mark");
    const std::string image = WrapperImage(mark);
    TUpgradeClient c(*agent_);
    ASSERT_EQ(c.Announce(std::to_string(image.size())), "200\n\r");
    TUpgradeClient second(*agent_);  // connected, its session waiting
    ASSERT_TRUE(WaitFor([&] {
        return ReplyValue(agent_->Exchange("GetInfo").text, "ActiveConnections") == "3";
    }));
    ASSERT_TRUE(c.Send(image + std::string(Digest(image, c.Key()).View())));
    EXPECT_EQ(c.ReadReply(), "200\n\r");
    EXPECT_EQ(second.Announce("200"), "302\n\r");
    second.Close();
    ASSERT_TRUE(WaitFor([&] { return PathExists(mark); }, 15000));
    EXPECT_EQ(ReadFile(zelPath_), image);
}

}  // namespace
