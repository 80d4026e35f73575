#include "TempDir.h"

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

void TempDirTest::SetUp() {
    m_strOldCwd = fs::current_path().string();
    std::string strTemplate = (fs::temp_directory_path() / "korvi-settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(strTemplate.data()), nullptr);
    m_strDir = strTemplate;
    ASSERT_EQ(::chdir(m_strDir.c_str()), 0);
}

void TempDirTest::TearDown() {
    ASSERT_EQ(::chdir(m_strOldCwd.c_str()), 0);
    std::error_code ec;
    // Tests may leave read-only directories behind; make everything removable again.
    for (auto it = fs::recursive_directory_iterator(m_strDir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(m_strDir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_strDir, ec);
}

std::string TempDirTest::ReadBytes(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void TempDirTest::WriteBytes(const std::string& strPath, const std::string& strData) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(strData.data(), static_cast<std::streamsize>(strData.size()));
    ASSERT_TRUE(out.good()) << strPath;
}

bool TempDirTest::Exists(const std::string& strPath) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(strPath, ec));
}

std::vector<std::string> TempDirTest::ListDir(const std::string& strDir) {
    std::vector<std::string> aNames;
    for (const auto& entry : fs::directory_iterator(strDir))
        aNames.push_back(entry.path().filename().string());
    std::sort(aNames.begin(), aNames.end());
    return aNames;
}

bool TempDirTest::IsRoot() {
    return ::geteuid() == 0;
}
