// A fresh folder of a test's own under the test framework's temporary
// folder, and its removal.
#ifndef TARNCTL_TESTS_SCRATCH_DIR_H
#define TARNCTL_TESTS_SCRATCH_DIR_H

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

// The new folder's path, prefix followed by a unique suffix; empty when it
// could not be made.
inline std::string makeScratchDir(const std::string &prefix)
{
    const std::string tmpl = ::testing::TempDir() + prefix + "_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

inline void removeScratchDir(const std::string &dir)
{
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ec);
}

#endif
