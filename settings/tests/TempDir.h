#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

// Runs each test in a fresh, empty current directory, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strDir = std::filesystem::temp_directory_path() / "korvi-settings-XXXXXX";
        ASSERT_NE(::mkdtemp(strDir.data()), nullptr);
        m_dir = strDir;
        std::filesystem::current_path(m_dir);
    }
    void TearDown() override {
        std::filesystem::current_path(m_dir.parent_path());
        std::error_code ec;  // a test cut short may leave a read-only directory
        std::filesystem::remove_all(m_dir, ec);
    }
    static std::string ReadBytes(const std::string& strPath) {
        std::ostringstream out;
        out << std::ifstream(strPath, std::ios::binary).rdbuf();
        return out.str();
    }
    static void WriteBytes(const std::string& strPath, const std::string& strData) {
        std::ofstream(strPath, std::ios::binary) << strData;
        ASSERT_EQ(ReadBytes(strPath), strData) << strPath;
    }
    static std::set<std::string> ListDir(const std::string& strDir = ".") {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(strDir))
            names.insert(entry.path().filename());
        return names;
    }

private:
    std::filesystem::path m_dir;
};
