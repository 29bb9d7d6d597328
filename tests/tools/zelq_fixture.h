// A scratch folder for the files that zelq tests hand to the tool
// (parameter files, password files); removed with its content.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/scratch_dir.h"

class ZelqFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scratch_.Valid()); }
    // Writes content as scratch_/name and returns its path.
    std::string File(const std::string& name, const std::string& content) {
        const std::string path = scratch_.File(name);
        EXPECT_TRUE(WriteTextFile(path, content)) << path;
        return path;
    }
    TScratchDir scratch_;
};
