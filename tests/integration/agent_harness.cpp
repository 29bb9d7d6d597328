#include "integration/agent_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "common/proc_walk.h"
#include "foundation/io.h"
#include "net/address.h"
#include "protocol/client.h"

namespace zelit {

namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : left;
}

void SleepMillis(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Runs argv with the streams redirected and the test process's environment
// with ZEL_LISTEN_RETRY_MS=listenRetryMs (prepared before the fork: only
// async-signal-safe calls happen in the child). Returns the pid or -1.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outputPath,
            int listenRetryMs = kTestListenRetryMs) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    static const char kRetryName[] = "ZEL_LISTEN_RETRY_MS=";
    const std::string retry = kRetryName + std::to_string(listenRetryMs);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, kRetryName, sizeof kRetryName - 1) != 0) env.push_back(*e);
    env.push_back(const_cast<char*>(retry.c_str()));
    env.push_back(nullptr);
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
        if (out >= 0) close(out);
        if (in >= 0) close(in);
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        // Nothing of the test process leaks into the program.
        if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
            for (int fd = 3; fd < 4096; ++fd) close(fd);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    close(out);
    close(in);
    return pid;
}

// waitpid without blocking. Returns 1 with the status when the process has
// ended, 0 while it runs, -1 when it is not our child.
int TryReap(pid_t pid, int* exitStatus) {
    int st = 0;
    pid_t r;
    do {
        r = waitpid(pid, &st, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return 0;
    if (r < 0) return -1;
    if (exitStatus) *exitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return 1;
}

bool ProcessGone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    // A zombie of another parent counts as gone.
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z';
}

size_t CountOccurrences(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

}  // namespace

// ---------------------------------------------------------------- files

bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}


int WaitChild(pid_t pid, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

pid_t PidFromFile(const std::string& path) { return static_cast<pid_t>(std::atol(ReadFile(path).c_str())); }

bool WaitFor(const std::function<bool()>& probe, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (probe()) return true;
        if (Clock::now() >= deadline) return probe();
        SleepMillis(20);
    }
}

// ---------------------------------------------------------------- processes

int FreeLoopbackPort() {
    // Chosen on every address of both families, so that the port suits an
    // agent on any host: a port chosen on 127.0.0.1 alone may still be held
    // on another address (a TIME_WAIT left by a test with many connections)
    // and refuse the agent's wildcard bind.
    for (int attempt = 0; attempt < 20; ++attempt) {
        TFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int off = 0;
        if (fd.Valid() && setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
            sockaddr_in6 sa{};
            sa.sin6_family = AF_INET6;
            sa.sin6_addr = in6addr_any;
            socklen_t len = sizeof sa;
            if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
                continue;
            int port = ntohs(sa.sin6_port);
            if (port > 0) return port;
            continue;
        }
        // No IPv6 on this host: every IPv4 address.
        fd.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) continue;
        socklen_t len = sizeof sa;
        if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) continue;
        int port = ntohs(sa.sin_port);
        if (port > 0) return port;
    }
    return 0;
}

TBusyPort::TBusyPort() : TBusyPort(0) {}

TBusyPort::TBusyPort(int wanted) {
    holder.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(holder.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_port = htons(static_cast<uint16_t>(wanted));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(holder.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(holder.Get(), 16) != 0 ||
        getsockname(holder.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        holder.Reset();
        return;
    }
    port = ntohs(sa.sin_port);
}

TRunResult RunProgram(const std::vector<std::string>& argv, int timeoutMs) {
    TRunResult result;
    TScratchDir dir;
    if (!dir.Valid() || argv.empty()) return result;
    std::string outPath = dir.File("output.txt");
    pid_t pid = Spawn(argv, outPath);
    if (pid < 0) return result;
    int status = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (TryReap(pid, &status) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            result.output = ReadFile(outPath);
            return result;
        }
        SleepMillis(10);
    }
    result.exited = status < 128;
    result.exitCode = status < 128 ? status : -1;
    result.termSignal = status >= 128 ? status - 128 : 0;
    result.output = ReadFile(outPath);
    return result;
}

std::vector<pid_t> PidsWithArgument(const std::string& arg) {
    std::vector<pid_t> pids;
    proc_walk::ForEachProcess([&](pid_t pid) {
        std::string cmdline = ReadFile(proc_walk::ProcDir(pid) + "/cmdline");
        size_t start = 0;
        while (start < cmdline.size()) {
            size_t z = cmdline.find('\0', start);
            if (z == std::string::npos) z = cmdline.size();
            if (cmdline.compare(start, z - start, arg) == 0 && z - start == arg.size()) {
                pids.push_back(pid);
                break;
            }
            start = z + 1;
        }
    });
    return pids;
}

// ---------------------------------------------------------------- client

namespace {

// The socket address of a loopback literal of either family and a port;
// 0 when the text is not one.
socklen_t LoopbackSockAddr(const std::string& text, int port, sockaddr_storage& sa) {
    sa = sockaddr_storage{};
    TNetAddress a;
    if (!TNetAddress::Parse(text, a)) return 0;
    if (a.IsV4()) {
        auto* in = reinterpret_cast<sockaddr_in*>(&sa);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        memcpy(&in->sin_addr, a.Bytes(), 4);
        return sizeof *in;
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    memcpy(&in6->sin6_addr, a.Bytes(), 16);
    return sizeof *in6;
}

}  // namespace

TFd ConnectLoopback(int port, const std::string& sourceAddress, int timeoutMs, const std::string& serverAddress) {
    sockaddr_storage sa{};
    const socklen_t length = LoopbackSockAddr(serverAddress, port, sa);
    if (length == 0) return TFd();
    TFd fd(socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) return fd;
    if (!sourceAddress.empty()) {
        sockaddr_storage src{};
        const socklen_t srcLength = LoopbackSockAddr(sourceAddress, 0, src);
        if (srcLength == 0 || src.ss_family != sa.ss_family ||
            bind(fd.Get(), reinterpret_cast<sockaddr*>(&src), srcLength) != 0)
            return TFd();
    }
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), length) != 0) {
        if (errno != EINPROGRESS) return TFd();
        pollfd p{fd.Get(), POLLOUT, 0};
        int r;
        do {
            r = poll(&p, 1, timeoutMs);
        } while (r < 0 && errno == EINTR);
        int soerr = 0;
        socklen_t len = sizeof soerr;
        if (r <= 0 || getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &soerr, &len) != 0 || soerr != 0) return TFd();
    }
    int flags = fcntl(fd.Get(), F_GETFL);
    fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

TClientOptions OverIPv6() {
    TClientOptions o;
    o.serverAddress = "::1";
    return o;
}

TClientOptions FromAddress(const std::string& sourceAddress) {
    TClientOptions o;
    o.sourceAddress = sourceAddress;
    return o;
}

TStrList Params(std::initializer_list<std::string> lines) {
    TStrList list;
    for (const auto& l : lines) list.Add(String(l));
    return list;
}

String NewSessionKey() {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 rng(std::random_device{}());
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string key("k");
    key += std::to_string(counter++);
    key += '-';
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kChars) - 2);
    while (key.size() < 24) key += kChars[pick(rng)];
    return String(key.c_str());
}

String MakeRequestPacket(const String& password, const String& sessionKey, const String& command,
                         const TStrList& params) {
    return BuildRequestPacket(password, sessionKey, BuildRequestText(command, params));
}

bool SendAll(int fd, const String& bytes) {
    const char* p = bytes.Data();
    size_t left = static_cast<size_t>(bytes.Length());
    while (left > 0) {
        ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool SendInPieces(int fd, const String& bytes, int piece, int pauseMicros) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (piece < 1) piece = 1;
    for (int at = 1; at <= bytes.Length(); at += piece) {
        int n = std::min(piece, bytes.Length() - at + 1);
        if (!SendAll(fd, bytes.Copy(at, n))) return false;
        if (pauseMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseMicros));
    }
    return true;
}

TReceived ReceiveUntilClosed(int fd, int timeoutMs, bool stopWhenReply) {
    TReceived got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[16384];
    for (;;) {
        if (stopWhenReply && ReplyPacketComplete(got.data)) return got;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(MillisLeft(deadline)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return got;  // time-out: still open
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            got.closed = true;
            return got;
        }
        got.data += String(buf, static_cast<int>(n));
    }
}

TReply Exchange(int port, const String& password, const String& command, const TStrList& params,
                const TClientOptions& options) {
    TReply reply;
    String key = options.sessionKey.IsEmpty() ? NewSessionKey() : options.sessionKey;
    String packet = MakeRequestPacket(password, key, command, params);
    if (packet.IsEmpty()) {
        reply.error = "request too long";
        return reply;
    }
    TFd fd = ConnectLoopback(port, options.sourceAddress, options.timeoutMs, options.serverAddress);
    if (!fd.Valid()) {
        reply.error = "connect failed: " + ErrnoText(errno).Std();
        return reply;
    }
    if (!SendAll(fd.Get(), packet)) {
        reply.error = "send failed";
        return reply;
    }
    TReceived got = ReceiveUntilClosed(fd.Get(), options.timeoutMs, true);
    if (!ReplyPacketComplete(got.data)) {
        reply.error = got.closed ? (got.data.IsEmpty() ? "closed without a reply" : "closed in the reply")
                                 : "no reply in time";
        return reply;
    }
    String whole = got.data.Copy(1, static_cast<int>(ReplyPacketSize(got.data)));
    // The agent closes right after its reply; waiting for that leaves the
    // session finished, and its counters settled, before the next request.
    if (!got.closed) ReceiveUntilClosed(fd.Get(), 2000);
    String err;
    if (!DecodeReplyPacket(whole, key, reply.text, err)) {
        reply.error = err.Std();
        return reply;
    }
    reply.replied = true;
    return reply;
}

// --------------------------------------------------------------- replies

std::vector<std::string> ReplyLines(const String& text) {
    std::string s = text.Std();
    if (!s.empty() && s.back() == '\r') s.pop_back();
    if (!s.empty() && s.back() == '\n') s.pop_back();
    std::vector<std::string> lines;
    if (s.empty()) return lines;
    size_t start = 0;
    for (;;) {
        size_t nl = s.find('\n', start);
        lines.push_back(s.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

std::string ReplyCode(const String& text) {
    auto lines = ReplyLines(text);
    return lines.empty() ? std::string() : lines[0];
}

std::string ReplyValue(const String& text, const std::string& name, bool* found) {
    for (const auto& line : ReplyLines(text)) {
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == '=') {
            if (found) *found = true;
            return line.substr(name.size() + 1);
        }
    }
    if (found) *found = false;
    return std::string();
}

// ---------------------------------------------------------------- the agent

std::string AgentConfigText(const TAgentConfig& cfg, const std::string& dir, int port) {
    auto omitted = [&cfg](const std::string& key) {
        for (const auto& k : cfg.omitKeys)
            if (k == key) return true;
        return false;
    };
    const std::pair<std::string, std::string> lines[] = {
        {"port", std::to_string(port)},
        {"host", cfg.host},
        {"password", cfg.password},
        {"zelpath", kAgentBinary},
        {"tmpdir", dir + "/tmp"},
        {"oklogfile", dir + "/ok.log"},
        {"badlogfile", dir + "/bad.log"},
        {"verboselogfile", dir + "/verbose.log"},
        {"logsuccess", "1"},
        {"pidfile", dir + "/zel.pid"},
    };
    std::string text = "# written by the integration tests\n";
    for (const auto& [key, value] : lines)
        if (!omitted(key)) text += key + "=" + value + "\n";
    for (const auto& l : cfg.extraLines) text += l + "\n";
    return text;
}

TAgent::TAgent(TAgentConfig cfg) : cfg_(std::move(cfg)), password_(cfg_.password.c_str()) {}

TAgent::~TAgent() { Stop(); }

bool TAgent::Start() {
    if (!dir_.Valid()) {
        startError_ = "cannot create a scratch folder";
        return false;
    }
    mkdir(dir_.File("tmp").c_str(), 0700);
    for (int attempt = 0; attempt < 4; ++attempt) {
        bool portTaken = false;
        if (StartOnce(portTaken)) return true;
        Stop();
        if (!portTaken || cfg_.port != 0) return false;
    }
    return false;
}

bool TAgent::StartOnce(bool& portTaken) {
    port_ = cfg_.port != 0 ? cfg_.port : FreeLoopbackPort();
    if (port_ == 0) {
        startError_ = "no free port";
        return false;
    }
    if (!WriteFile(ConfigPath(), AgentConfigText(cfg_, dir_.Path(), port_))) {
        startError_ = "cannot write the configuration";
        return false;
    }
    unlink(dir_.File("console.txt").c_str());
    unlink(VerboseLogPath().c_str());
    std::vector<std::string> argv{kAgentBinary, cfg_.daemon ? "-d" : "-i"};
    if (cfg_.verbose) argv.push_back("-v");
    argv.insert(argv.end(), cfg_.extraArgs.begin(), cfg_.extraArgs.end());
    argv.push_back(ConfigPath());
    if (cfg_.daemon) prctl(PR_SET_CHILD_SUBREAPER, 1);

    pid_ = Spawn(argv, dir_.File("console.txt"), cfg_.listenRetryMs);
    if (pid_ < 0) {
        startError_ = "cannot start the agent: " + ErrnoText(errno).Std();
        return false;
    }
    reaped_ = false;
    if (cfg_.daemon) {
        // The first process prints "Daemon started" and leaves; the serving
        // one is its child, found by the configuration path.
        int status = -1;
        if (!WaitExit(cfg_.readyTimeoutMs, &status) || status != 0) {
            portTaken = Console().find("TCP listen error") != std::string::npos;
            startError_ = "daemon start failed (status " + std::to_string(status) + "):\n" + Console();
            return false;
        }
        std::vector<pid_t> pids;
        WaitFor([&] {
            pids = PidsWithArgument(ConfigPath());
            return !pids.empty();
        }, cfg_.readyTimeoutMs);
        if (pids.empty()) {
            startError_ = "the daemon is not running:\n" + Console();
            return false;
        }
        pid_ = pids.front();
        reaped_ = false;
    }
    return WaitReady(portTaken);
}

bool TAgent::WaitReady(bool& portTaken) {
    bool listening = false;
    bool exited = false;
    WaitFor([&] {
        if (!Running()) {
            exited = true;
            return true;
        }
        if (cfg_.verbose || !cfg_.daemon) {
            listening = Messages().find("Listening...") != std::string::npos;
        } else {
            // An agent on ::1 alone is probed there.
            TFd probe = ConnectLoopback(port_, "", 200, cfg_.host == "::1" ? "::1" : "127.0.0.1");
            listening = probe.Valid();
        }
        return listening;
    }, cfg_.readyTimeoutMs);
    if (listening && !exited) return true;
    portTaken = Messages().find("TCP listen error") != std::string::npos;
    startError_ = std::string(exited ? "the agent ended" : "the agent does not listen") + ":\n" + Messages();
    return false;
}

void TAgent::Stop() {
    if (pid_ <= 0 || reaped_) return;
    if (!Running()) return;
    kill(pid_, SIGTERM);
    if (!WaitExit(5000)) {
        kill(pid_, SIGKILL);
        WaitExit(10000);
    }
}

void TAgent::Kill(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool TAgent::Running() {
    if (pid_ <= 0 || reaped_) return false;
    int r = TryReap(pid_, nullptr);
    if (r == 1) {
        reaped_ = true;
        return false;
    }
    if (r < 0 && ProcessGone(pid_)) {
        reaped_ = true;
        return false;
    }
    return true;
}

bool TAgent::WaitExit(int timeoutMs, int* exitStatus) {
    if (pid_ <= 0) return false;
    if (reaped_) return false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = -1;
        int r = TryReap(pid_, &status);
        if (r == 1 || (r < 0 && ProcessGone(pid_))) {
            reaped_ = true;
            if (exitStatus) *exitStatus = status;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        SleepMillis(5);
    }
}

std::string TAgent::Messages() const {
    // In the foreground every message is on the console; a daemon's go to
    // the verbose log only.
    return cfg_.daemon ? Console() + ReadFile(VerboseLogPath()) : Console();
}

bool TAgent::WaitForMessage(const std::string& text, int timeoutMs, int count) const {
    return WaitFor([&] { return CountOccurrences(Messages(), text) >= static_cast<size_t>(count); }, timeoutMs);
}

std::string TAgent::SanitizerReport() const {
    std::string out = Console();
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                             "WARNING: ThreadSanitizer"}) {
        size_t p = out.find(mark);
        if (p != std::string::npos) return out.substr(p, 4000);
    }
    return std::string();
}

TReply TAgent::Exchange(const String& command, const TStrList& params, const TClientOptions& options) const {
    return zelit::Exchange(port_, password_, command, params, options);
}

}  // namespace zelit
