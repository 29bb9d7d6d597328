// Self-upgrade of the running agent: the transfer on the request's
// connection, the script that installs the new executable, and every way a
// transfer can fail without leaving the host without an agent.
#include <elf.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "crypto/md5.h"
#include "daemon/upgrade.h"
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

// A new "executable": a shell script that passes the self-check as the
// real agent does; started as the agent, it leaves a mark and runs the real
// one with the arguments it was given, or, `dies`, ends at once.
std::string WrapperImage(const std::string& mark, bool dies = false) {
    std::string s = "#!/bin/sh\n# a new agent for the upgrade tests: marks its start, then runs the real one\n";
    s += std::string("[ \"$1\" = --self-check ] && exec '") + kAgentBinary + "' --self-check\n";
    s += "echo started >> '" + mark + "'\n";
    if (dies) s += "exit 1\n";
    s += std::string("exec '") + kAgentBinary + "' \"$@\"\n";
    return s;
}

// A program's file as an upgrade image may carry it: as it is, or, when
// it is larger than an upgrade may be (a build with sanitizers and debug
// information), without its debug information, written to `dir`.
std::string SendableCopy(const std::string& program, const TScratchDir& dir) {
    if (static_cast<int64_t>(fs::file_size(program)) <= kUpgradeMaxSize) return program;
    const std::string copy = dir.File(fs::path(program).filename().string() + ".stripped");
    RunProgram({"/usr/bin/strip", "--strip-debug", "-o", copy, program});
    return copy;
}

// A fresh copy of the agent at `path`: the name is removed first, so a
// process of an earlier case that still runs the old file (it may not have
// been torn down completely yet) cannot make the copy fail with "Text file
// busy".
void InstallAgentCopy(const std::string& path) {
    fs::remove(path);
    fs::copy_file(kAgentBinary, path);
}

// Ends the agents that run with this configuration (a rolled-back agent
// runs detached from the harness) and waits until they are gone.
void StopAgentsOf(const std::string& configPath) {
    for (pid_t pid : PidsWithArgument(configPath)) kill(pid, SIGTERM);
    WaitFor([&] {
        for (pid_t pid : PidsWithArgument(configPath)) waitpid(pid, nullptr, WNOHANG);
        return PidsWithArgument(configPath).empty();
    });
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
        InstallAgentCopy(zelPath_);
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

    // Sends `image` with its digest on a new upgrade connection; returns
    // the second reply (or what went wrong before it).
    std::string Upgrade(const std::string& image) {
        TUpgradeClient c(*agent_);
        const std::string first = c.Announce(std::to_string(image.size()));
        if (first != "200\n\r") return "announce: " + first;
        if (!c.Send(image + std::string(Digest(image, c.Key()).View()))) return "send failed";
        return c.ReadReply();
    }
    std::string Previous() const { return zelPath_ + kUpgradePreviousSuffix; }

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
        EXPECT_TRUE(agent_->WaitForMessage("Upgrade installed: ", 30000)) << agent_->Messages();
        EXPECT_FALSE(PathExists(Previous()));
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

// Nothing is replaced by an image that is not this agent: it is refused
// with "300" and the reason, removed, the slot freed, and the agent goes on
// serving in the same process from the same executable.
TEST_F(AgentUpgrade, RefusesAnImageThatIsNotThisAgent) {
    StartAgent();
    const std::string agentBinary = ReadFile(kAgentBinary);
    ASSERT_GT(agentBinary.size(), sizeof(Elf64_Ehdr));
    // The agent's own start with the machine field of another processor.
    std::string foreign = agentBinary.substr(0, 65536);
    ElfW(Ehdr) header;
    std::memcpy(&header, foreign.data(), sizeof header);
    header.e_machine = header.e_machine == EM_X86_64 ? EM_AARCH64 : EM_X86_64;
    std::memcpy(foreign.data(), &header, sizeof header);
    const std::string padding = "# " + std::string(120, '.') + "\n";
    struct Case {
        const char* name;
        std::string image;
        std::string reply;  // the start of the second reply
    };
    const Case cases[] = {
        {"another program (zelq)", ReadFile(SendableCopy(kZelq, bin_)),
         "300\nUpgrade image refused: it is not this agent (its self-check ended with exit status "},
        {"truncated", agentBinary.substr(0, std::min<size_t>(agentBinary.size() / 2, 4 << 20)),
         "300\nUpgrade image refused: it is a truncated executable\n\r"},
        {"for another machine", foreign, "300\nUpgrade image refused: it is an executable for another machine\n\r"},
        {"another identity", "#!/bin/sh\n" + padding + "echo 'QD Zelmark 0.9'\n",
         "300\nUpgrade image refused: it is not this agent (its self-check printed \"QD Zelmark 0.9\", not \""},
        {"a self-check that does not end", "#!/bin/sh\n" + padding + "exec sleep 60\n",
         "300\nUpgrade image refused: its self-check did not end within 5 s\n\r"},
        {"no program at all", std::string(300, 'x'),
         "300\nUpgrade image refused: it is neither an executable for this machine nor a script\n\r"},
    };
    const pid_t pid = agent_->Pid();
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_LE(static_cast<int64_t>(k.image.size()), kUpgradeMaxSize);
        const std::string reply = Upgrade(k.image);
        EXPECT_EQ(reply.compare(0, k.reply.size(), k.reply), 0) << reply;
        EXPECT_FALSE(PathExists(Image()));
        EXPECT_FALSE(PathExists(Script()));
        EXPECT_TRUE(SlotFree());
        EXPECT_EQ(ReplyCode(agent_->Exchange("GetInfo").text), "200");
        EXPECT_EQ(agent_->Pid(), pid);
        EXPECT_TRUE(agent_->Running());
        EXPECT_EQ(ReadFile(zelPath_), agentBinary);
        EXPECT_FALSE(PathExists(Previous()));
    }
    EXPECT_TRUE(agent_->WaitForMessage("Upgrade image refused: ", 10000, 6)) << agent_->Messages();
    // One line per refusal, with the client's address and one prefix.
    const std::string bad = ReadFile(agent_->BadLogPath());
    const std::string truncated = "127.0.0.1\t Upgrade image refused: it is a truncated executable\n";
    EXPECT_NE(bad.find(truncated), std::string::npos) << bad;
    EXPECT_EQ(bad.find(truncated, bad.find(truncated) + 1), std::string::npos) << bad;
    EXPECT_EQ(bad.find("zel\t\t Upgrade image refused: "), std::string::npos) << bad;
    EXPECT_EQ(bad.find("Upgrade refused: Upgrade"), std::string::npos) << bad;
}

// What an administrator tried: zelq --upgrade with zelq itself.
TEST_F(AgentUpgrade, ZelqWithItsOwnBinaryIsRefused) {
    StartAgent();
    TRunResult r = RunProgram({kZelq, "-p", std::to_string(agent_->Port()), "-P", agent_->Password().Std(),
                               "--upgrade", SendableCopy(kZelq, bin_)});
    EXPECT_TRUE(r.exited);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("300"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Upgrade image refused: it is not this agent"), std::string::npos) << r.output;
    EXPECT_EQ(ReplyCode(agent_->Exchange("GetInfo").text), "200");
    EXPECT_EQ(ReadFile(zelPath_), ReadFile(kAgentBinary));
    EXPECT_TRUE(SlotFree());
}

// An image that passes its self-check but does not come up as the agent
// (it ends at once) is replaced by the previous executable, started with the
// same arguments on the same port; one that does come up stays. In both
// modes of the agent.
TEST_F(AgentUpgrade, RollsBackWhenTheNewAgentDoesNotListen) {
    struct Case {
        const char* name;
        bool daemon;
        bool dies;
    };
    const Case cases[] = {
        {"interactive, comes up", false, false},
        {"interactive, ends at once", false, true},
        {"daemon, comes up", true, false},
        {"daemon, ends at once", true, true},
    };
    const std::string original = ReadFile(kAgentBinary);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        fs::create_directories(bin_.File("bin"));
        zelPath_ = bin_.File("bin") + "/zel";
        InstallAgentCopy(zelPath_);
        TAgentConfig cfg;
        cfg.daemon = k.daemon;
        cfg.extraLines = {"allowupdates=1", "updateaddr=127.0.0.1", "timeout=2000", "zelpath=" + zelPath_};
        agent_ = std::make_unique<TAgent>(cfg);
        ASSERT_TRUE(agent_->Start()) << agent_->StartError();
        tmp_ = agent_->Dir().File("tmp");
        const int port = agent_->Port();

        const std::string mark = bin_.File(std::string("mark-") + (k.daemon ? "d" : "i") + (k.dies ? "x" : "ok"));
        const std::string image = WrapperImage(mark, k.dies);
        EXPECT_EQ(Upgrade(image), "200\n\r");
        ASSERT_TRUE(WaitFor([&] { return PathExists(mark); }, 15000)) << agent_->Messages();
        const char* outcome = k.dies ? "Upgrade failed: the new agent did not listen on port " : "Upgrade installed: ";
        ASSERT_TRUE(WaitFor([&] { return agent_->Messages().find(outcome) != std::string::npos; }, 30000))
            << agent_->Messages();
        // Whoever serves now answers on the same port.
        ASSERT_TRUE(WaitFor([&] { return ReplyCode(Exchange(port, agent_->Password(), "GetInfo").text) == "200"; },
                            15000));
        EXPECT_EQ(ReadFile(zelPath_), k.dies ? original : image);
        EXPECT_FALSE(PathExists(Previous()));
        EXPECT_FALSE(PathExists(Image()));
        EXPECT_FALSE(PathExists(Script()));
        // Either outcome is in the failure log.
        EXPECT_TRUE(WaitFor([&] { return ReadFile(agent_->BadLogPath()).find(outcome) != std::string::npos; }, 15000))
            << ReadFile(agent_->BadLogPath());
        EXPECT_TRUE(SlotFree());
        StopAgentsOf(agent_->ConfigPath());
        agent_.reset();
        fs::remove(mark);
    }
}

// `zel --self-check` prints only the identity line and needs nothing else:
// no configuration, no port. Beside anything else it is no option.
TEST(AgentSelfCheck, PrintsTheIdentityLineOnly) {
    TScratchDir dir;
    const std::string missing = dir.File("no-such.cfg");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string output;  // whole, or (exitCode != 0) a part
    };
    const Case cases[] = {
        {{"--self-check"}, 0, "QD Zelmark 1.29\n"},
        {{"--self-check", missing}, 1, "Unknown option --self-check"},
        {{"-i", "--self-check"}, 1, "Unknown option --self-check"},
    };
    for (const Case& k : cases) {
        std::vector<std::string> argv{kAgentBinary};
        argv.insert(argv.end(), k.args.begin(), k.args.end());
        TRunResult r = RunProgram(argv);
        SCOPED_TRACE(k.args.size());
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exitCode, k.exitCode) << r.output;
        if (k.exitCode == 0) EXPECT_EQ(r.output, k.output);
        else EXPECT_NE(r.output.find(k.output), std::string::npos) << r.output;
    }
}

}  // namespace
