#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Runs each test in a fresh, empty current directory, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& Dir() const { return m_strDir; }

    static std::string ReadBytes(const std::string& strPath);
    static void WriteBytes(const std::string& strPath, const std::string& strData);
    static bool Exists(const std::string& strPath);
    // Names in the current directory, sorted, without "." and "..".
    static std::vector<std::string> ListDir(const std::string& strDir = ".");
    static bool IsRoot();

private:
    std::string m_strDir;
    std::string m_strOldCwd;
};
