// A handler fixture whose temporary folder is a scratch folder of its own,
// so that a test can see that nothing is left in it, with helpers for
// writing small scripts.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "common/eventually.h"
#include "common/handler_fixture.h"
#include "common/scratch_dir.h"
#include "foundation/tempdir.h"

class ProcFixture : public HandlerFixture {
protected:
    void SetUp() override {
        HandlerFixture::SetUp();
        ASSERT_TRUE(dir_.Valid());
        std::filesystem::create_directory(TempDir());
        savedTemp_ = GetTempDirectory();
        SetTempDirectory(String(TempDir()));
        Settings([](TZELSettings& s) { s.delayforscripts = 0; });
    }
    void TearDown() override {
        EXPECT_EQ(TempEntries(), 0) << "files left in the temporary folder";
        SetTempDirectory(savedTemp_);
        HandlerFixture::TearDown();
    }

    std::string TempDir() const { return dir_.File("tmp"); }
    int TempEntries() const {
        int n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(TempDir())) ++n;
        return n;
    }
    // Writes an executable script (mode 0755) into the scratch folder.
    std::string Script(const std::string& name, const std::string& body) {
        const std::string path = dir_.File(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        EXPECT_TRUE(WriteTextFile(path, body));
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string File(const std::string& name) const { return dir_.File(name); }

private:
    TScratchDir dir_;
    String savedTemp_;
};
