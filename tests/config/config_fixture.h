// A temporary directory with an agent executable and a configuration file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "common/scratch_dir.h"
#include "config/settings.h"

inline bool Exists(const std::string& name) {
    struct stat st{};
    return ::lstat(name.c_str(), &st) == 0;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.Valid());
        dir_ = scratch_.Path();
        agent_ = scratch_.File("zel");
        ASSERT_TRUE(WriteTextFile(agent_, "#!/bin/sh\n"));
        cfg_ = scratch_.File("zel.cfg");
        SaveEnv("TMPDIR", savedTmpdir_, hadTmpdir_);
        SaveEnv("TMP", savedTmp_, hadTmp_);
        ::setenv("TMPDIR", dir_.c_str(), 1);
        ::unsetenv("TMP");
    }
    void TearDown() override {
        RestoreEnv("TMPDIR", savedTmpdir_, hadTmpdir_);
        RestoreEnv("TMP", savedTmp_, hadTmp_);
    }

    // The smallest file that loads: a port, a password and the agent's path.
    std::string Minimal() const { return "Port = 5050\npassword=secret\nzelpath=" + agent_ + "\n"; }

    // Points the store at the configuration file and loads it.
    bool Load(TZELSettingsStore& store, String& err) {
        store.Modify([&](TZELSettings& s) { s.cfgfile = cfg_.c_str(); });
        return store.LoadOptions(err);
    }
    // Writes content as the configuration file and loads it; expects success.
    std::shared_ptr<const TZELSettings> LoadText(TZELSettingsStore& store, const std::string& content) {
        EXPECT_TRUE(WriteTextFile(cfg_, content));
        String err;
        EXPECT_EQ(Load(store, err), 1) << err.Data();
        return store.Get();
    }

    std::string dir_, agent_, cfg_;

private:
    TScratchDir scratch_;  // removed with its content after TearDown
    static void SaveEnv(const char* var, std::string& value, bool& had) {
        const char* v = ::getenv(var);
        had = v != nullptr;
        if (had) value = v;
    }
    static void RestoreEnv(const char* var, const std::string& value, bool had) {
        if (had) ::setenv(var, value.c_str(), 1);
        else ::unsetenv(var);
    }
    std::string savedTmpdir_, savedTmp_;
    bool hadTmpdir_ = false, hadTmp_ = false;
};
