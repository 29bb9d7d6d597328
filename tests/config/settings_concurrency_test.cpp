#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config_fixture.h"

namespace {

using ConfigConcurrencyTest = ConfigTest;

// Readers take snapshots while a writer changes, saves and reloads. Every
// snapshot must be whole: the writer always sets comment and password to
// the same text in one change.
TEST_F(ConfigConcurrencyTest, SnapshotsStayWholeWhileSavingAndReloading) {
    TZELSettingsStore store;
    LoadText(store, Minimal() + "comment=secret\n");

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            long reads = 0;
            while (!done.load() || reads == 0) {
                auto s = store.Get();
                std::string comment = s->comment.Std();
                std::string password(s->password.Data(), static_cast<size_t>(s->password.Length()));
                if (comment != password || s->effectivefilterlist.IsEmpty() || s->port != 5050) ++torn;
                ++reads;
            }
        });
    }
    for (int i = 0; i < 40; ++i) {
        String err;
        std::string value = "value-" + std::to_string(i) + std::string(static_cast<size_t>(i * 10), 'x');
        EXPECT_TRUE(store.ModifyAndSave(
                      [&](TZELSettings& s) {
                          s.comment = value.c_str();
                          s.password = value.c_str();
                      },
                      err))
            << err.Data();
        EXPECT_TRUE(store.LoadOptions(err)) << err.Data();
        EXPECT_TRUE(store.SaveOptions(err)) << err.Data();
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(store.Get()->comment, store.Get()->password);
}

// The reload of the hang-up signal runs on the main loop: while a change
// holds the settings lock it must come back at once, changing nothing, and
// succeed once the lock is free.
TEST_F(ConfigConcurrencyTest, TryLoadReturnsAtOnceWhileASaveHoldsTheLock) {
    TZELSettingsStore store;
    LoadText(store, Minimal() + "comment=file\n");
    int during = 0;
    String err;
    ASSERT_TRUE(store.ModifyAndSave(
        [&](TZELSettings& s) {
            s.comment = "changed";
            std::thread other([&] {
                String otherErr;
                during = store.TryLoadOptions(otherErr);
            });
            other.join();
        },
        err))
        << err.Data();
    EXPECT_EQ(during, -1);
    EXPECT_EQ(store.Get()->comment, "changed");
    ASSERT_TRUE(WriteTextFile(cfg_, Minimal() + "comment=edited\n"));
    EXPECT_EQ(store.TryLoadOptions(err), 1) << err.Data();
    EXPECT_EQ(store.Get()->comment, "edited");
    ASSERT_TRUE(WriteTextFile(cfg_, "comment=no port\n"));
    EXPECT_EQ(store.TryLoadOptions(err), 0);
    EXPECT_EQ(store.Get()->comment, "edited");
}

}  // namespace
