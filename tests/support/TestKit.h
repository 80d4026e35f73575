#pragma once

// Helpers shared by the test folders: scratch directories, whole-file reads and writes, and
// waiting for another thread without a fixed sleep.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

// A fresh, empty directory under the system's temporary folder, removed with its contents.
class CTempDir {
public:
    explicit CTempDir(const std::string& strPrefix = "korvi") {
        std::string str = std::filesystem::temp_directory_path() / (strPrefix + "-XXXXXX");
        if (::mkdtemp(str.data()) != nullptr) m_path = str;
        EXPECT_FALSE(m_path.empty()) << "no temporary directory";
    }
    ~CTempDir() {
        std::error_code ec;  // a test cut short may leave a read-only directory behind
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Dir() const { return m_path; }
    std::string Path(const std::string& strName) const { return (m_path / strName).string(); }

private:
    std::filesystem::path m_path;
};

// CTempDir that is also the current directory while the test runs.
class CScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::current_path(m_dir.Dir()); }
    void TearDown() override { std::filesystem::current_path(m_dir.Dir().parent_path()); }
    std::string Path(const std::string& strName) const { return m_dir.Path(strName); }

private:
    CTempDir m_dir{"korvi-scratch"};
};

inline std::string ReadFile(const std::string& strPath) {
    std::ostringstream out;
    out << std::ifstream(strPath, std::ios::binary).rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& strPath, const std::string& strData) {
    std::ofstream(strPath, std::ios::binary) << strData;
}

// Polls until bDone() holds or nMs have passed; returns bDone().
template <typename F>
bool PollUntil(F bDone, int nMs = 3000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!bDone() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return bDone();
}
