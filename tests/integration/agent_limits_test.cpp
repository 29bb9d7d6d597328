// Clients that hold connections without finishing a request: a sender
// without the password is dropped as soon as its proof has arrived, a
// request has one deadline however slowly its bytes come, and the sessions
// that such clients can hold at once are capped so that the monitoring
// server is still served.
#include <dirent.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/proc_walk.h"
#include "daemon/session_limits.h"
#include "integration/agent_harness.h"
#include "protocol/packet.h"

namespace zelit {
namespace {

String LittleEndian(uint32_t v, int bytes) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    return String(b, bytes);
}

// The first bytes of a request packet: a length field declaring `declared`
// bytes in all, the signature and a proof block of `proof`.
String PacketHead(uint32_t declared, const String& proof, uint8_t signature1 = kPacketSignature1) {
    String head = LittleEndian(declared - 4, 4);
    head.AddChar(static_cast<char>(signature1));
    head.AddChar(static_cast<char>(kPacketSignature2));
    head += LittleEndian(static_cast<uint32_t>(proof.Length()), 2);
    head += proof;
    return head;
}

// True when the agent has closed the connection (an orderly end or a reset),
// looked at without waiting.
bool ClosedByPeer(int fd) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// A long idle time-out: whatever closes a connection in these tests, it is
// not the time-out, unless a test sets its own.
TAgentConfig LongTimeout(const char* timeout = "timeout=600000") {
    TAgentConfig cfg;
    cfg.extraLines = {timeout, "logsuccess=0"};
    return cfg;
}

// A packet of the largest size is announced; only its first bytes follow.
// Unless they carry the signature and the right proof, the agent closes the
// connection on them, without a reply and without waiting for the rest.
TEST(AgentProof, AWrongProofIsRefusedBeforeThePacketEnds) {
    TAgent agent(LongTimeout());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const uint32_t kLargest = static_cast<uint32_t>(kMaxRequestPacket);
    const String right = EncodePswd(agent.Password());
    const String wrong = EncodePswd("not-the-password");
    struct {
        const char* name;
        String head;
    } const cases[] = {
        {"wrong password", PacketHead(kLargest, wrong)},
        {"no proof", PacketHead(kLargest, String())},
        {"proof too long", PacketHead(kLargest, right + String("x"))},
        {"proof too short", PacketHead(kLargest, right.Copy(1, 15))},
        {"wrong signature, right proof", PacketHead(kLargest, right, 0x04)},
        {"a wrong first signature byte alone", PacketHead(kLargest, String(), 0x04).Copy(1, 5)},
    };
    int invalid = 0;
    for (const auto& c : cases) {
        TFd fd = ConnectLoopback(agent.Port());
        ASSERT_TRUE(fd.Valid()) << c.name;
        ASSERT_TRUE(SendAll(fd.Get(), c.head)) << c.name;
        TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
        EXPECT_TRUE(got.closed) << c.name;
        EXPECT_TRUE(got.data.IsEmpty()) << c.name;
        EXPECT_TRUE(agent.WaitForMessage("<-- Invalid VT request received\n", 5000, ++invalid)) << c.name;
    }
    // The right proof keeps the connection; the rest of the request follows.
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    String key = NewSessionKey();
    const String packet = MakeRequestPacket(agent.Password(), key, "GetInfo");
    const int head = 8 + right.Length();
    ASSERT_TRUE(SendAll(fd.Get(), packet.Copy(1, head)));
    TReply r = agent.Exchange("GetInfo");  // served meanwhile
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_FALSE(ClosedByPeer(fd.Get()));
    ASSERT_TRUE(SendAll(fd.Get(), packet.Copy(head + 1, packet.Length())));
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000, true);
    EXPECT_FALSE(got.data.IsEmpty());
    EXPECT_EQ(agent.SanitizerReport(), "");
}

// The time-out counts from the connection, not from the last byte: a client
// that sends a correct request one byte at a time, slower than the
// time-out allows for the whole, is closed without a reply.
TEST(AgentProof, ATricklingRequestEndsAtTheDeadline) {
    TAgent agent(LongTimeout("timeout=1000"));
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    const String packet = MakeRequestPacket(agent.Password(), NewSessionKey(), "GetInfo");
    TFd fd = ConnectLoopback(agent.Port());
    ASSERT_TRUE(fd.Valid());
    // About 8 s for the whole packet at a byte per 100 ms; every pause is far
    // below the time-out. The sending stops once the agent has closed.
    bool closedEarly = false;
    for (int at = 1; at <= packet.Length() && !closedEarly; ++at) {
        if (!SendAll(fd.Get(), packet.Copy(at, 1))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        closedEarly = ClosedByPeer(fd.Get());
    }
    TReceived got = ReceiveUntilClosed(fd.Get(), 15000);
    EXPECT_TRUE(got.closed);
    EXPECT_TRUE(got.data.IsEmpty()) << "a reply of " << got.data.Length() << " bytes";
    EXPECT_TRUE(closedEarly);
    EXPECT_EQ(agent.SanitizerReport(), "");
}

// The soft descriptor limit of a process.
long long DescriptorLimit(pid_t pid) {
    rlimit now{};
    if (prlimit(pid, RLIMIT_NOFILE, nullptr, &now) != 0) return -1;
    return now.rlim_cur == RLIM_INFINITY ? 0 : static_cast<long long>(now.rlim_cur);
}

// Many connections from one address that never finish a request: the agent
// keeps at most the per-address cap of them, closes the others at once, and
// the server, at another address, is still answered.
TEST(AgentSessionCaps, IdleClientsOfOneAddressLeaveRoomForTheServer) {
    struct {
        const char* name;
        long long descriptorLimit;  // 0: the agent's own
        int clients;
    } const cases[] = {
        {"64 descriptors, 80 clients", 64, 80},
        {"the agent's own limit", 0, kSessionLimitPerAddress + 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TAgent agent(LongTimeout());
        ASSERT_TRUE(agent.Start()) << agent.StartError();
        const int idleThreads = ThreadCount(agent.Pid());
        if (c.descriptorLimit > 0) {
            rlimit tight{static_cast<rlim_t>(c.descriptorLimit), static_cast<rlim_t>(c.descriptorLimit)};
            rlimit old{};
            ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
            tight.rlim_max = old.rlim_max;
            ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
        }
        const TSessionLimits caps = SessionLimitsFor(DescriptorLimit(agent.Pid()));
        ASSERT_LT(caps.perAddress, c.clients);

        // Each client sends the first bytes of a request and then nothing.
        const String head = MakeRequestPacket(agent.Password(), NewSessionKey(), "GetInfo").Copy(1, 3);
        std::vector<TFd> clients;
        for (int i = 0; i < c.clients; ++i) {
            clients.push_back(ConnectLoopback(agent.Port(), "127.0.0.1"));
            ASSERT_TRUE(clients.back().Valid()) << i;
            SendAll(clients.back().Get(), head);
        }
        auto closed = [&] {
            return static_cast<int>(std::count_if(clients.begin(), clients.end(),
                                                  [](const TFd& fd) { return ClosedByPeer(fd.Get()); }));
        };
        EXPECT_TRUE(WaitFor([&] { return closed() == c.clients - caps.perAddress; }))
            << closed() << " closed of " << c.clients;

        TReply r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.2"));
        ASSERT_TRUE(r.replied) << r.error;
        EXPECT_EQ(ReplyValue(r.text, "ActiveConnections"), std::to_string(caps.perAddress + 1));
        // The sessions held, the asking one (which may not have ended yet),
        // the agent's own threads, and the helper thread that a sanitizer's
        // runtime may start with the first session.
        EXPECT_LE(ThreadCount(agent.Pid()), idleThreads + caps.perAddress + 2);
        if (c.descriptorLimit > 0) {
            EXPECT_LT(OpenDescriptorCount(agent.Pid()), c.descriptorLimit);
        }
        EXPECT_TRUE(agent.WaitForMessage("TCP connection refused: too many sessions"));
        EXPECT_EQ(agent.Messages().find("Accept error"), std::string::npos);
        // The refusals are reported, but not one line each.
        std::string messages = agent.Messages();
        size_t lines = 0;
        for (size_t at = messages.find("too many sessions"); at != std::string::npos;
             at = messages.find("too many sessions", at + 1))
            ++lines;
        EXPECT_LE(lines, 2u);

        // Once they are gone, the address is served again.
        clients.clear();
        EXPECT_TRUE(WaitFor([&] {
            TReply again = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.1"));
            return again.replied && ReplyValue(again.text, "ActiveConnections") == "1";
        }));
        EXPECT_EQ(agent.SanitizerReport(), "");
    }
}

// With no descriptor left for a while, the agent reports the accept errors
// it meets, but not ten times a second.
TEST(AgentSessionCaps, AcceptErrorsAreNotReportedOverAndOver) {
    TAgent agent(LongTimeout());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    rlimit old{};
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    const int highest = proc_walk::HighestDescriptor(agent.Pid());
    ASSERT_GE(highest, 3);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
    // Idle clients: the agent has no descriptor for them, at least not for
    // the last ones, as long as the limit stays.
    std::vector<TFd> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(ConnectLoopback(agent.Port()));
        ASSERT_TRUE(clients.back().Valid());
    }
    ASSERT_TRUE(agent.WaitForMessage("Accept error: Too many open files\n")) << agent.Messages();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string messages = agent.Messages();
    size_t lines = 0;
    for (size_t at = messages.find("Accept error"); at != std::string::npos; at = messages.find("Accept error", at + 1))
        ++lines;
    EXPECT_LE(lines, 2u) << messages;
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    clients.clear();
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(agent.SanitizerReport(), "");
}

// Every session slot taken and not a descriptor left: a further connection
// is still closed at once (the agent's spare descriptor takes it), not left
// waiting in the queue.
TEST(AgentSessionCaps, AtTheCapWithoutDescriptorsTheExcessIsClosedAtOnce) {
    TAgent agent(LongTimeout());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    rlimit old{};
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = 64;
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
    const TSessionLimits caps = SessionLimitsFor(64);
    // Fill every slot, from two addresses.
    std::vector<TFd> clients;
    for (int i = 0; i < caps.total; ++i) {
        clients.push_back(ConnectLoopback(agent.Port(), i < caps.perAddress ? "127.0.0.1" : "127.0.0.3"));
        ASSERT_TRUE(clients.back().Valid()) << i;
    }
    ASSERT_TRUE(agent.WaitForMessage("TCP connection accepted\n", 10000, caps.total)) << agent.Messages();
    // Not a descriptor more.
    tight.rlim_cur = static_cast<rlim_t>(proc_walk::HighestDescriptor(agent.Pid()) + 1);
    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);

    TFd excess = ConnectLoopback(agent.Port(), "127.0.0.2");
    ASSERT_TRUE(excess.Valid());
    TReceived got = ReceiveUntilClosed(excess.Get(), 15000);
    EXPECT_TRUE(got.closed);
    EXPECT_TRUE(got.data.IsEmpty());
    EXPECT_TRUE(agent.WaitForMessage("TCP connection refused: too many sessions")) << agent.Messages();

    ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    clients.clear();
    EXPECT_TRUE(WaitFor([&] {
        TReply r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.2"));
        return r.replied && ReplyValue(r.text, "ActiveConnections") == "1";
    }));
    EXPECT_EQ(agent.SanitizerReport(), "");
}

// Clients at several addresses that send one byte of a request and connect
// again whenever the agent closes them take every session slot over and
// over; the server, knowing the password, is answered every time, whatever
// the descriptor limit.
TEST(AgentSessionCaps, TricklingClientsOfSeveralAddressesNeverLockTheServerOut) {
    struct {
        const char* name;
        long long descriptorLimit;
        int sources;  // 127.0.0.10 and on
        int clientsPerSource;
    } const cases[] = {
        {"2 addresses, 128 descriptors", 128, 2, 60},
        {"5 addresses, 256 descriptors", 256, 5, 60},
    };
    constexpr int kProbes = 20;
    constexpr long kMaxConnects = 50000;  // bounds the churn whatever happens
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TAgent agent(LongTimeout());
        ASSERT_TRUE(agent.Start()) << agent.StartError();
        rlimit old{};
        ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, nullptr, &old), 0);
        rlimit tight = old;
        tight.rlim_cur = static_cast<rlim_t>(c.descriptorLimit);
        ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
        const TSessionLimits caps = SessionLimitsFor(c.descriptorLimit);
        ASSERT_GT(c.sources * c.clientsPerSource, caps.total);

        const String first = MakeRequestPacket(agent.Password(), NewSessionKey(), "GetInfo").Copy(1, 1);
        std::atomic<bool> stop{false};
        std::atomic<long> connects{0};
        std::thread tricklers([&] {
            std::vector<TFd> clients(static_cast<size_t>(c.sources * c.clientsPerSource));
            while (!stop.load() && connects.load() < kMaxConnects) {
                for (size_t i = 0; i < clients.size() && !stop.load(); ++i) {
                    TFd& fd = clients[i];
                    if (fd.Valid() && ClosedByPeer(fd.Get())) fd.Reset();
                    if (fd.Valid()) continue;
                    fd = ConnectLoopback(agent.Port(), "127.0.0." + std::to_string(10 + i % c.sources), 2000);
                    ++connects;
                    if (fd.Valid()) SendAll(fd.Get(), first);
                }
                poll(nullptr, 0, 5);
            }
        });
        // Every slot taken, and the clients already coming back.
        EXPECT_TRUE(WaitFor([&] { return connects.load() > c.sources * c.clientsPerSource + caps.total; }, 30000))
            << connects.load();

        int answered = 0;
        for (int i = 0; i < kProbes; ++i) {
            TReply r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.2"));
            EXPECT_TRUE(r.replied) << i << ": " << r.error;
            if (r.replied && ReplyCode(r.text) == "200") ++answered;
        }
        stop = true;
        tricklers.join();
        EXPECT_EQ(answered, kProbes) << connects.load() << " connects";

        ASSERT_EQ(prlimit(agent.Pid(), RLIMIT_NOFILE, &old, nullptr), 0);
        EXPECT_TRUE(WaitFor([&] {
            TReply r = agent.Exchange("GetInfo", TStrList(), FromAddress("127.0.0.2"));
            return r.replied && ReplyValue(r.text, "ActiveConnections") == "1";
        }));
        EXPECT_EQ(agent.SanitizerReport(), "");
    }
}

// A client that knows the password but takes its reply a few bytes at a
// time keeps its session no longer than the send deadline of the whole
// reply: the agent gives up on it and drops the connection, long before the
// reply could have been read at that pace.
TEST(AgentSessionCaps, ASlowReaderLosesItsReplyAtTheSendDeadline) {
    TAgent agent(LongTimeout());
    ASSERT_TRUE(agent.Start()) << agent.StartError();
    // A folder listing of some 12 MB: three times what the socket buffers
    // can take, and minutes at the reader's pace.
    const std::string folder = agent.Dir().File("many");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string stem(230, 'n');
    for (int i = 0; i < 50000; ++i) {
        TFd f(open((folder + "/" + stem + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        ASSERT_TRUE(f.Valid()) << i;
    }

    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(fd.Valid());
    int small = 4096;
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(agent.Port()));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_TRUE(SendAll(fd.Get(), MakeRequestPacket(agent.Password(), NewSessionKey(), "GetFilesList",
                                                    Params({folder, "*", "0", "1", "0", "0", "0", "0", "0"}))));

    // 512 bytes every 10 ms, for at most 90 s (the deadline is 30 s).
    long long got = 0;
    bool closed = false;
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    char buf[512];
    while (!closed && std::chrono::steady_clock::now() < bound) {
        ssize_t n = recv(fd.Get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got += n;
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) closed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(closed) << got << " bytes read";
    EXPECT_LT(got, 12LL * 1000 * 1000);
    // The agent serves on.
    TReply r = agent.Exchange("GetInfo");
    ASSERT_TRUE(r.replied) << r.error;
    EXPECT_EQ(agent.SanitizerReport(), "");
}

}  // namespace
}  // namespace zelit
