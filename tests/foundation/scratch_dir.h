// A per-test scratch directory (mkdtemp), removed with its content.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/tempdir.h"

struct ScratchDir {
    std::string path;

    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/zelft-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) path = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Writes content to a new file; true on success.
inline bool WriteTextFile(const std::string& name, const std::string& content) {
    const int fd = ::open(name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = ::write(fd, content.data(), content.size()) ==
                    static_cast<ssize_t>(content.size());
    return ::close(fd) == 0 && ok;
}

// Restores the process-wide temporary directory when the test ends.
struct TempDirGuard {
    String saved = GetTempDirectory();
    ~TempDirGuard() { SetTempDirectory(saved); }
};
