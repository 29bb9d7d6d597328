// The processes under measurement: their tree, CPU time and memory from
// /proc, and programs started for a measurement and stopped by pid.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/proc_walk.h"
#include "foundation/io.h"
#include "zel_bench.h"

namespace zelbench {

namespace {

// Fields of /proc/PID/stat after the command name: [0] is field 3 (state).
bool StatFields(pid_t pid, std::vector<std::string>& fields) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = fopen(path, "re");
    if (f == nullptr) return false;
    char line[1024];
    const bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!got) return false;
    // The name may hold spaces and parentheses: the fields start after the last ')'.
    const char* close = strrchr(line, ')');
    if (close == nullptr) return false;
    fields.clear();
    for (const char* p = close + 1; *p != '\0';) {
        while (*p == ' ' || *p == '\n') ++p;
        const char* start = p;
        while (*p != '\0' && *p != ' ' && *p != '\n') ++p;
        if (p > start) fields.emplace_back(start, p);
    }
    return fields.size() > 12;
}

// A "Key:   N kB" line of a /proc file, summed over matching lines; -1 when absent.
long ProcKb(pid_t pid, const char* file, const char* key) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
    FILE* f = fopen(path, "re");
    if (f == nullptr) return -1;
    const size_t keyLength = strlen(key);
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, key, keyLength) == 0) {
            kb = strtol(line + keyLength, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kb;
}

}  // namespace

std::vector<pid_t> ProcessTree(pid_t pid) {
    std::vector<std::string> fields;
    if (pid <= 0 || !StatFields(pid, fields)) return {};
    std::multimap<pid_t, pid_t> children;  // parent -> child
    proc_walk::ForEachProcess([&](pid_t p) {
        if (StatFields(p, fields)) children.emplace(static_cast<pid_t>(atol(fields[1].c_str())), p);
    });
    std::vector<pid_t> tree{pid};
    for (size_t i = 0; i < tree.size(); ++i) {
        auto range = children.equal_range(tree[i]);
        for (auto it = range.first; it != range.second; ++it) tree.push_back(it->second);
    }
    return tree;
}

long long CpuTicks(const std::vector<pid_t>& pids) {
    long long ticks = -1;
    std::vector<std::string> fields;
    for (pid_t pid : pids) {
        // utime and stime are fields 14 and 15.
        if (!StatFields(pid, fields)) continue;
        ticks = std::max(ticks, 0LL) + atoll(fields[11].c_str()) + atoll(fields[12].c_str());
    }
    return ticks;
}

long ResidentKb(const std::vector<pid_t>& pids) {
    long sum = -1;
    for (pid_t pid : pids) {
        long kb = ProcKb(pid, "status", "VmRSS:");
        if (kb >= 0) sum = std::max(sum, 0L) + kb;
    }
    return sum;
}

long ProportionalKb(const std::vector<pid_t>& pids) {
    long sum = -1;
    for (pid_t pid : pids) {
        long kb = ProcKb(pid, "smaps_rollup", "Pss:");
        if (kb >= 0) sum = std::max(sum, 0L) + kb;
    }
    return sum;
}

bool TChildProgram::Start(const std::vector<std::string>& argv, const std::string& logFile, std::string& err) {
    Stop();
    if (argv.empty()) {
        err = "no program to start";
        return false;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const char* out = logFile.empty() ? "/dev/null" : logFile.c_str();
    pid_ = fork();
    if (pid_ < 0) {
        err = "fork: " + ErrnoText(errno).Std();
        return false;
    }
    if (pid_ == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_RDONLY);
        int fd = open(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (null >= 0) dup2(null, 0);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid_, pid_);  // also from here, so the group exists before Stop can run
    return true;
}

bool TChildProgram::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void TChildProgram::Stop(int graceMs) {
    if (pid_ <= 0) return;
    const pid_t group = pid_;
    kill(pid_, SIGTERM);
    int status = 0;
    bool gone = false;
    for (int waited = 0; waited < graceMs && !gone; waited += 5) {
        gone = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!gone) usleep(5000);
    }
    if (!gone) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    // Workers the program forked and did not take down with it.
    if (kill(-group, 0) == 0) {
        usleep(200000);
        kill(-group, SIGKILL);
    }
}

}  // namespace zelbench
