#include "foundation/tempdir.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

namespace {

std::mutex& TempDirMutex() {
    static std::mutex tempdir_mutex;
    return tempdir_mutex;
}

// Guarded by TempDirMutex(); empty optional until first use.
std::optional<std::string>& TempDirValue() {
    static std::optional<std::string> v;
    return v;
}

// An empty variable counts as unset: it must not turn into the root directory.
std::string FromEnvironment() {
    for (const char* var : {"TMPDIR", "TMP"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != '\0') return v;
    }
    return std::string();
}

}  // namespace

String GetTempDirectory() {
    std::lock_guard<std::mutex> lock(TempDirMutex());
    auto& v = TempDirValue();
    if (!v) v = FromEnvironment();
    return String(std::string_view(*v));
}

void SetTempDirectory(const String& dir) {
    std::lock_guard<std::mutex> lock(TempDirMutex());
    TempDirValue() = dir.Std();
}
