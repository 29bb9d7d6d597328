// Starting the agent under measurement and watching its memory.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "foundation/fd.h"
#include "foundation/io.h"
#include "zel_bench.h"

namespace zelbench {

namespace {

bool AcceptsConnections(int port) {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd.Valid() && connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int FreeLoopbackPort() {
    TFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd.Valid() || bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 0;
    socklen_t len = sizeof sa;
    if (getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool TSpawnedAgent::Start(const std::string& zelPath, std::string& err) {
    std::error_code ec;
    std::string agent = std::filesystem::absolute(zelPath, ec).string();
    if (access(agent.c_str(), X_OK) != 0) {
        err = "not an executable: " + agent;
        return false;
    }
    char dirTemplate[] = "/tmp/zel-bench.XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        err = "mkdtemp: " + ErrnoText(errno).Std();
        return false;
    }
    dir_ = dirTemplate;
    std::filesystem::create_directory(dir_ + "/tmp", ec);
    port_ = FreeLoopbackPort();
    password_ = RandomKey(20);
    const std::string cfg = dir_ + "/zel.cfg";
    {
        std::ofstream out(cfg);
        // As an administrator runs it: successes not logged, failures logged.
        out << "host=127.0.0.1\nport=" << port_ << "\npassword=" << password_.Std() << "\nzelpath=" << agent
            << "\ntmpdir=" << dir_ << "/tmp\nlogsuccess=0\nlogfails=1\nbadlogfile=" << dir_
            << "/bad.log\nfilteractive=0\nallowmanage=0\n";
        if (!out) {
            err = "cannot write " + cfg;
            return false;
        }
    }
    const std::string errFile = dir_ + "/stderr.txt";
    pid_ = fork();
    if (pid_ < 0) {
        err = "fork: " + ErrnoText(errno).Std();
        return false;
    }
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        int errFd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
        }
        if (errFd >= 0) dup2(errFd, 2);
        execl(agent.c_str(), agent.c_str(), "-i", cfg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            err = "the agent exited during start-up: " + ReadFile(errFile);
            return false;
        }
        if (AcceptsConnections(port_)) return true;
        usleep(20000);
    }
    err = "the agent did not listen within 15 seconds";
    return false;
}

void TSpawnedAgent::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool gone = false;
        for (int i = 0; i < 300 && !gone; ++i) {
            gone = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!gone) usleep(10000);
        }
        if (!gone) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }
}

long ResidentKb(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            kb = strtol(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kb;
}

TRssSampler::TRssSampler(pid_t pid) : TRssSampler(std::vector<pid_t>{pid}) {}

TRssSampler::TRssSampler(std::vector<pid_t> pids) : pids_(std::move(pids)) {
    thread_ = std::thread([this] {
        while (!stop_) {
            long kb = Sum();
            if (kb > max_) max_ = kb;
            usleep(5000);
        }
    });
}

TRssSampler::~TRssSampler() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

long TRssSampler::Sum() const { return ResidentKb(pids_); }

long TRssSampler::MaxKb() {
    long kb = Sum();
    if (kb > max_) max_ = kb;
    return max_;
}

}  // namespace zelbench
