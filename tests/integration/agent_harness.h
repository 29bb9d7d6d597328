// Test fixture for end-to-end tests of the real agent (and of the tools that
// talk to it): starts the built `zel` binary on a free loopback port with a
// configuration of its own in a scratch folder, talks to it with the
// project's client code over loopback TCP, and stops and reaps it on
// destruction.
//
// Typical use:
//
//     zelit::TAgentConfig cfg;
//     cfg.extraLines = {"timeout=1000"};
//     zelit::TAgent agent(cfg);
//     ASSERT_TRUE(agent.Start()) << agent.StartError();
//     zelit::TReply r = agent.Exchange("GetInfo");
//     EXPECT_EQ(zelit::ReplyCode(r.text), "200");
//
// Everything here is loopback only (127.0.0.0/8, ::1) and every resource is owned
// by an object: descriptors (TFd), scratch folders (TScratchDir, removed
// recursively) and processes (TAgent, killed and reaped).
#pragma once

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/proc_walk.h"
#include "common/scratch_dir.h"
#include "foundation/fd.h"
#include "foundation/qdstring.h"

namespace zelit {

// The agent built alongside the tests.
inline constexpr const char* kAgentBinary = ZEL_BINARY_DIR "/src/daemon/zel";

// The pause between the agent's attempts to listen on a port in use, in
// milliseconds, for every program the harness starts (the agent reads it
// from ZEL_LISTEN_RETRY_MS; a real start-up waits a second).
inline constexpr int kTestListenRetryMs = 100;

// ---------------------------------------------------------------- files

// A folder made with mkdtemp under $TMPDIR (else /tmp); removed with all its
// contents on destruction (common/scratch_dir.h).
using ::TScratchDir;

// Whole file as text ("" when it cannot be read).
inline std::string ReadFile(const std::string& path) { return ReadTextFile(path); }
inline bool WriteFile(const std::string& path, const std::string& text) { return WriteTextFile(path, text); }
bool PathExists(const std::string& path);

// Polls `probe` every 20 ms until it returns true or timeoutMs passes;
// returns the last result. Use it instead of fixed sleeps.
bool WaitFor(const std::function<bool()>& probe, int timeoutMs = 10000);

// ---------------------------------------------------------------- processes

// Waits for a child (or an orphan handed to this subreaper) to end, looking
// every millisecond: its exit status, 128 + the signal that ended it, or -1
// when it is still running after timeoutMs.
int WaitChild(pid_t pid, int timeoutMs);

// The process id written in a pid file (0 when there is none).
pid_t PidFromFile(const std::string& path);

// A TCP port that was free a moment ago on every address of both families
// (bound to [::]:0 with IPv4 mapped, or 0.0.0.0:0 without IPv6, and
// released), so that it suits an agent on any host. 0 when none could be
// found.
int FreeLoopbackPort();

// A port held in the listening state for the object's lifetime, so that
// nobody else (the agent included) can listen on it.
struct TBusyPort {
    TBusyPort();                   // any free port
    explicit TBusyPort(int port);  // that port on 127.0.0.1 (port stays 0 when it is taken)
    TFd holder;
    int port = 0;
};

struct TRunResult {
    bool exited = false;   // ended by itself within the time allowed
    int exitCode = -1;     // valid when exited
    int termSignal = 0;    // the signal that ended it, if one did
    std::string output;    // standard output and standard error, interleaved
};

// Runs a program to its end with standard input from /dev/null and both
// output streams captured, with ZEL_LISTEN_RETRY_MS=kTestListenRetryMs in
// its environment. A program still running after timeoutMs is killed
// (exited stays false).
TRunResult RunProgram(const std::vector<std::string>& argv, int timeoutMs = 15000);

// Pids of the live processes whose command line has `arg` as one argument
// (e.g. a configuration path unique to a test).
std::vector<pid_t> PidsWithArgument(const std::string& arg);

// Number of entries of /proc/<pid>/fd and /proc/<pid>/task (-1 on failure).
using proc_walk::OpenDescriptorCount;
using proc_walk::ThreadCount;

// ---------------------------------------------------------------- client

struct TReply {
    bool replied = false;  // a whole reply packet arrived and was deciphered
    String text;           // the reply text: code line, value lines, CR
    std::string error;     // why there is no reply (connect, time-out, closed)
};

struct TClientOptions {
    std::string serverAddress = "127.0.0.1";  // the agent's loopback address: 127.x.y.z or ::1
    std::string sourceAddress;  // bind the client to this 127.x.y.z (or ::1) first ("" = any)
    int timeoutMs = 15000;      // for the connect and for the whole reply
    String sessionKey;          // "" = a fresh key per request
};

// Client options that bind the connection to a source address.
TClientOptions FromAddress(const std::string& sourceAddress);
// A parameter list (one line each).
TStrList Params(std::initializer_list<std::string> lines);

// A connected loopback TCP socket to serverAddress:port (invalid on
// failure), optionally bound to a source address of the same family first.
TFd ConnectLoopback(int port, const std::string& sourceAddress = "", int timeoutMs = 10000,
                    const std::string& serverAddress = "127.0.0.1");
// Client options that connect to the agent over IPv6 (::1).
TClientOptions OverIPv6();

// A whole request packet as the server builds it.
String MakeRequestPacket(const String& password, const String& sessionKey, const String& command,
                         const TStrList& params = TStrList());
// A session key of printable characters, different on every call.
String NewSessionKey();

bool SendAll(int fd, const String& bytes);
// Sends the bytes in pieces of `piece` bytes, each with its own send call
// and TCP_NODELAY set, so that they travel as separate segments.
bool SendInPieces(int fd, const String& bytes, int piece = 1, int pauseMicros = 0);

struct TReceived {
    bool closed = false;  // the peer closed (orderly or reset) before the time-out
    String data;          // bytes received before that
};
// Reads until the peer closes or timeoutMs passes; with stopWhenReply it
// also stops as soon as a whole reply packet has arrived.
TReceived ReceiveUntilClosed(int fd, int timeoutMs, bool stopWhenReply = false);

// One exchange on a new connection: request packet out, reply packet in.
TReply Exchange(int port, const String& password, const String& command, const TStrList& params = TStrList(),
                const TClientOptions& options = TClientOptions());

// --------------------------------------------------------------- replies

// The reply text split at LF, without the final CR.
std::vector<std::string> ReplyLines(const String& text);
// The first line ("200", "500" ...), "" for an empty text.
std::string ReplyCode(const String& text);
// The value of the first line "name=value" (found = false when absent).
std::string ReplyValue(const String& text, const std::string& name, bool* found = nullptr);

// ---------------------------------------------------------------- the agent

struct TAgentConfig {
    std::string password = "it-Secret-7";
    std::string host = "127.0.0.1";
    // Daemon mode (-d): the agent forks, the parent's exit code is checked
    // and the detached child is found by its configuration path. The test
    // process becomes a child subreaper so that it can reap the daemon too.
    bool daemon = false;
    bool verbose = true;                 // -v (messages also go to verbose.log)
    std::vector<std::string> extraArgs;  // placed before the configuration path, e.g. {"-p", "1234"}
    // Keys of the generated configuration left out (e.g. "password", "port",
    // "zelpath", "pidfile").
    std::vector<std::string> omitKeys;
    // Lines appended after the generated ones; a later line of the same key
    // wins, except "port", which the first line sets.
    std::vector<std::string> extraLines;
    int port = 0;              // 0 = a free port is found
    int readyTimeoutMs = 15000;
    int listenRetryMs = kTestListenRetryMs;  // ZEL_LISTEN_RETRY_MS of the agent
};

// The configuration written for an agent: port, host, password, zelpath (the
// built binary), tmpdir, the log files and the pid file in `dir`, and
// logsuccess=1, then the extra lines.
std::string AgentConfigText(const TAgentConfig& cfg, const std::string& dir, int port);

class TAgent {
public:
    explicit TAgent(TAgentConfig cfg = TAgentConfig());
    ~TAgent();  // Stop()
    TAgent(const TAgent&) = delete;
    TAgent& operator=(const TAgent&) = delete;

    // Writes the configuration, starts the agent and waits until it listens
    // ("Listening..." on the console or in the verbose log, else a
    // successful connect). When the port turns out to be taken it retries on
    // another free port (only when the port was not fixed by the config).
    bool Start();
    const std::string& StartError() const { return startError_; }

    // SIGTERM, then SIGKILL after a grace period; reaps the process.
    void Stop();
    void Kill(int sig);  // sends sig to the serving process

    // The process exits by itself within timeoutMs: true with its exit
    // status (code, or 128 + signal).
    bool WaitExit(int timeoutMs, int* exitStatus = nullptr);
    bool Running();

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    const String& Password() const { return password_; }
    void SetPassword(const String& p) { password_ = p; }  // after a remote change
    void SetPort(int port) { port_ = port; }                 // after a remote change
    const TScratchDir& Dir() const { return dir_; }
    std::string ConfigPath() const { return dir_.File("zel.cfg"); }
    std::string PidFilePath() const { return dir_.File("zel.pid"); }
    std::string VerboseLogPath() const { return dir_.File("verbose.log"); }
    std::string OkLogPath() const { return dir_.File("ok.log"); }
    std::string BadLogPath() const { return dir_.File("bad.log"); }
    // The console output captured so far (stdout and stderr).
    std::string Console() const { return ReadFile(dir_.File("console.txt")); }
    // The agent's messages: the console in interactive mode; the start-up
    // console lines plus the verbose log in daemon mode.
    std::string Messages() const;
    // Polls Messages() until it contains `text` at least `count` times.
    bool WaitForMessage(const std::string& text, int timeoutMs = 10000, int count = 1) const;

    // A sanitizer's report in the agent's output ("" when there is none).
    std::string SanitizerReport() const;

    TReply Exchange(const String& command, const TStrList& params = TStrList(),
                    const TClientOptions& options = TClientOptions()) const;

private:
    bool StartOnce(bool& portTaken);
    bool WaitReady(bool& portTaken);

    TAgentConfig cfg_;
    TScratchDir dir_;
    pid_t pid_ = -1;     // the serving process
    bool reaped_ = true;
    int port_ = 0;
    String password_;
    std::string startError_;
};

}  // namespace zelit
