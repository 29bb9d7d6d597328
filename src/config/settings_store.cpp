#include <cstdlib>

#include "config/settings_internal.h"
#include "foundation/tempdir.h"

TZELSettingsStore ZELSettings;

TZELSettingsStore::TZELSettingsStore() : current_(std::make_shared<const TZELSettings>()) {}

std::shared_ptr<const TZELSettings> TZELSettingsStore::Get() const {
    std::lock_guard<std::mutex> lock(current_mutex_);
    return current_;
}

void TZELSettingsStore::Publish(const TZELSettings& s) {
    if (!s.tmpdir.IsEmpty()) SetTempDirectory(s.tmpdir);
    auto next = std::make_shared<const TZELSettings>(s);
    std::lock_guard<std::mutex> lock(current_mutex_);
    current_.swap(next);
    generation_.fetch_add(1, std::memory_order_release);
    // The previous snapshot is released after the lock (by `next`).
}

bool TZELSettingsStore::LoadOptions(String& err) {
    std::lock_guard<std::mutex> lock(optmutex);
    return LoadLocked(err);
}

int TZELSettingsStore::TryLoadOptions(String& err) {
    std::unique_lock<std::mutex> lock(optmutex, std::try_to_lock);
    if (!lock.owns_lock()) return -1;
    return LoadLocked(err) ? 1 : 0;
}

bool TZELSettingsStore::LoadLocked(String& err) {
    std::shared_ptr<const TZELSettings> before = Get();
    TZELSettings s = *before;
    if (!LoadSettingsFile(s, err)) return false;  // the settings in force stay
    Publish(s);
    return true;
}

bool TZELSettingsStore::SaveOptions(String& err) {
    return ModifyAndSave([](TZELSettings&) {}, err);
}

void TZELSettingsStore::Modify(const std::function<void(TZELSettings&)>& change) {
    std::lock_guard<std::mutex> lock(optmutex);
    TZELSettings s = *Get();
    change(s);
    Publish(s);
}

bool TZELSettingsStore::ModifyAndSave(const std::function<void(TZELSettings&)>& change, String& err) {
    std::lock_guard<std::mutex> lock(optmutex);
    TZELSettings s = *Get();
    change(s);
    bool saved = SaveSettingsFile(s, err);
    Publish(s);
    return saved;
}

void ApplyTempDirToEnvironment() {
    std::shared_ptr<const TZELSettings> s = ZELSettings.Get();
    if (!s->tmpdir.IsEmpty()) ::setenv("TMPDIR", s->tmpdir.Data(), 1);
}
