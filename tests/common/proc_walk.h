// Readers of /proc shared by the tests and the benchmarks (included as
// "common/proc_walk.h"): folder entries, descriptors and threads of a
// process, and a walk over every process with its state, parent and group.
// Header-only, no test framework; each call reads /proc afresh, so a count
// is a snapshot that may be stale by the time it is used.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace proc_walk {

// The names in a folder, without "." and ".." (in the order readdir gives
// them); false when the folder cannot be read.
inline bool EntryNames(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return false;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    return true;
}

// The number of entries of a folder, without "." and ".."; -1 when it
// cannot be read.
inline int CountEntries(const std::string& dir) {
    std::vector<std::string> names;
    return EntryNames(dir, names) ? static_cast<int>(names.size()) : -1;
}

inline std::string ProcDir(pid_t pid) { return "/proc/" + std::to_string(pid); }

// Open descriptors and threads of a process (-1 when they cannot be read).
// The count of this process's own descriptors includes the one reading them.
inline int OpenDescriptorCount(pid_t pid = ::getpid()) { return CountEntries(ProcDir(pid) + "/fd"); }
inline int ThreadCount(pid_t pid = ::getpid()) { return CountEntries(ProcDir(pid) + "/task"); }

// The highest descriptor number a process has open; -1 when /proc cannot
// be read.
inline int HighestDescriptor(pid_t pid = ::getpid()) {
    std::vector<std::string> names;
    if (!EntryNames(ProcDir(pid) + "/fd", names)) return -1;
    int highest = -1;
    for (const std::string& n : names) highest = std::max(highest, std::atoi(n.c_str()));
    return highest;
}

// The fields of /proc/<pid>/stat that the tests look at.
struct TProcStat {
    char state = '?';  // 'R', 'S', 'Z', ...
    long ppid = 0;     // parent
    long pgrp = 0;     // process group
};

// False when the process is gone or its stat cannot be read.
inline bool ReadProcStat(pid_t pid, TProcStat& out) {
    std::ifstream in(ProcDir(pid) + "/stat", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses: the fields follow its last ')'.
    const size_t close = text.rfind(')');
    return close != std::string::npos &&
           std::sscanf(text.c_str() + close + 1, " %c %ld %ld", &out.state, &out.ppid, &out.pgrp) == 3;
}

// The process has ended: /proc no longer lists it, or lists it only as a
// zombie waiting for its parent.
inline bool ProcessEnded(pid_t pid) {
    TProcStat st;
    return !ReadProcStat(pid, st) || st.state == 'Z';
}

// Calls visit with the pid of every process /proc lists.
inline void ForEachProcess(const std::function<void(pid_t)>& visit) {
    std::vector<std::string> names;
    if (!EntryNames("/proc", names)) return;
    for (const std::string& n : names) {
        char* end = nullptr;
        const long pid = std::strtol(n.c_str(), &end, 10);
        if (pid > 0 && *end == '\0') visit(static_cast<pid_t>(pid));
    }
}

// The number of processes whose stat satisfies match.
inline int CountProcesses(const std::function<bool(const TProcStat&)>& match) {
    int n = 0;
    ForEachProcess([&](pid_t pid) {
        TProcStat st;
        if (ReadProcStat(pid, st) && match(st)) ++n;
    });
    return n;
}

}  // namespace proc_walk
