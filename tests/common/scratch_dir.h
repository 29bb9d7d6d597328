// A per-test scratch folder and whole-file helpers shared by all test
// programs (included as "common/scratch_dir.h").
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace scratch_detail {

// Gives the owner full access to every folder below (and including) path, so
// that folders a test made read-only can be emptied. Links are not followed.
inline void OpenUpFolders(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec))) return;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) OpenUpFolders(it->path());
}

}  // namespace scratch_detail

// A folder made with mkdtemp under $TMPDIR (else /tmp); removed with all its
// contents on destruction.
class TScratchDir {
public:
    TScratchDir() {
        const char* base = ::getenv("TMPDIR");
        std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zel-test-XXXXXX";
        if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
    }
    ~TScratchDir() {
        if (path_.empty()) return;
        scratch_detail::OpenUpFolders(path_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;

    bool Valid() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    // Path of an entry inside the folder.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes content as the whole file (created 0644 or truncated); true when
// every byte was written and the file closed cleanly.
inline bool WriteTextFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && done == content.size();
}

// The whole file as text ("" when it cannot be read).
inline std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
