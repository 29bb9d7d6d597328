// A temporary directory with an agent executable and a configuration file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/settings.h"

inline void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f << content;
}

inline std::string ReadFile(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& name) {
    struct stat st{};
    return ::lstat(name.c_str(), &st) == 0;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zel-config-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        agent_ = dir_ + "/zel";
        WriteFile(agent_, "#!/bin/sh\n");
        cfg_ = dir_ + "/zel.cfg";
        SaveEnv("TMPDIR", savedTmpdir_, hadTmpdir_);
        SaveEnv("TMP", savedTmp_, hadTmp_);
        ::setenv("TMPDIR", dir_.c_str(), 1);
        ::unsetenv("TMP");
    }
    void TearDown() override {
        RestoreEnv("TMPDIR", savedTmpdir_, hadTmpdir_);
        RestoreEnv("TMP", savedTmp_, hadTmp_);
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(dir_, ec);
    }

    // The smallest file that loads: a port, a password and the agent's path.
    std::string Minimal() const { return "Port = 5050\npassword=secret\nzelpath=" + agent_ + "\n"; }

    // Points the store at the configuration file and loads it.
    int Load(TZELSettingsStore& store, String& err) {
        store.Modify([&](TZELSettings& s) { s.cfgfile = cfg_.c_str(); });
        return store.LoadOptions(err);
    }
    // Writes content as the configuration file and loads it; expects success.
    std::shared_ptr<const TZELSettings> LoadText(TZELSettingsStore& store, const std::string& content) {
        WriteFile(cfg_, content);
        String err;
        EXPECT_EQ(Load(store, err), 1) << err.Data();
        return store.Get();
    }

    std::string dir_, agent_, cfg_;

private:
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
