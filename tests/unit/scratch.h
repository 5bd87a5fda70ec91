#ifndef ORV_UNIT_SCRATCH_H
#define ORV_UNIT_SCRATCH_H

#include "main.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <fcntl.h>
#include <unistd.h>

// Every test works in a fresh directory of its own, so that no file of one case feeds another,
// and starts and ends with the debug flag off.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvunit.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        DEBUG = 0;
    }

    void TearDown() override
    {
        DEBUG = 0;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Writes bytes, NULs included, to name in the scratch directory; returns its path.
    std::string write(const std::string &name, const std::string &bytes)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return path;
    }

    // Everything that body prints on standard output (descriptor 1, as printf writes it).
    std::string captureStdout(const std::function<void()> &body)
    {
        std::string path = dir + "/stdout";
        std::fflush(stdout);
        int saved = dup(1);
        int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_TRUE(saved >= 0 && file >= 0 && dup2(file, 1) == 1);
        close(file);
        body();
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir;
};

// The text "abc...zabc..." of length n: pieces of it can only be put back together in order.
inline std::string pattern(size_t n)
{
    std::string text;
    for (size_t i = 0; i < n; i++)
        text += static_cast<char>('a' + i % 26);
    return text;
}

#endif
