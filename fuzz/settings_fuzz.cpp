// Opens the settings store on arbitrary file content, reads, writes arbitrary values, saves
// and reloads: the reloaded values must be what was written, and a store that only loads
// and saves its own file must write it back byte for byte.
#include "XmlProfile.h"

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A private directory for the file, removed at exit.
class CWorkDir {
public:
    CWorkDir() {
        // tmpfs where there is one: every save syncs to disk.
        char szShm[] = "/dev/shm/korvi-settings-fuzz-XXXXXX";
        char szTmp[] = "/tmp/korvi-settings-fuzz-XXXXXX";
        const char* szDir = ::mkdtemp(szShm);
        if (szDir == nullptr) szDir = ::mkdtemp(szTmp);
        if (szDir == nullptr) std::abort();
        m_strDir = szDir;
        m_strFile = m_strDir + "/Config.xml";
    }
    ~CWorkDir() {
        ::unlink(m_strFile.c_str());
        ::rmdir(m_strDir.c_str());
    }
    CWorkDir(const CWorkDir&) = delete;
    CWorkDir& operator=(const CWorkDir&) = delete;
    const std::string& File() const { return m_strFile; }

private:
    std::string m_strDir;
    std::string m_strFile;
};

void WriteFile(const std::string& strPath, const uint8_t* pData, size_t nSize) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr || std::fwrite(pData, 1, nSize, pFile) != nSize || std::fclose(pFile) != 0)
        std::abort();
}

std::string ReadFile(const std::string& strPath) {
    std::string strData;
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) std::abort();
    char aBuffer[4096];
    size_t nRead = 0;
    while ((nRead = std::fread(aBuffer, 1, sizeof aBuffer, pFile)) > 0)
        strData.append(aBuffer, nRead);
    std::fclose(pFile);
    return strData;
}

void Check(bool bCondition, const char* szWhat) {
    if (!bCondition) {
        std::fprintf(stderr, "settings_fuzz: %s\n", szWhat);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > (64u << 10))
        return -1;  // the store refuses huge files by design; nothing to learn there
    static const CWorkDir s_workDir;
    const std::string& strFile = s_workDir.File();
    WriteFile(strFile, pData, nSize);

    // The values to write come from the same bytes: arbitrary, including NULs and
    // sequences that are not UTF-8.
    int nPort = 0;
    std::memcpy(&nPort, pData, nSize < sizeof nPort ? nSize : sizeof nPort);
    const std::string strValue(reinterpret_cast<const char*>(pData), nSize);
    const std::string strTail = strValue.substr(nSize / 2);
    {
        CXmlProfile profile(strFile);
        std::string strRead;
        profile.ReadInt("Main", "COM-Port", 0);
        profile.ReadString("Main", "Hex-File", "select file", strRead);
        profile.ReadSection("Main");
        profile.ReadSection("Pins");
        Check(profile.WriteInt("Main", "COM-Port", nPort), "WriteInt failed");
        Check(profile.WriteString("Main", "Hex-File", strValue), "WriteString failed");
        Check(profile.WriteString("Fuzz", "Tail", strTail), "WriteString failed");
        Check(profile.Save(), "Save failed");
    }
    const std::string strSaved = ReadFile(strFile);
    {
        CXmlProfile profile(strFile);
        Check(profile.ReadInt("Main", "COM-Port", nPort + 1) == nPort, "port differs");
        std::string strRead;
        const bool bStored = profile.ReadString("Main", "Hex-File", "-", strRead);
        Check(bStored == !strValue.empty(), "stored flag differs");
        Check(strRead == (strValue.empty() ? std::string("-") : strValue), "value differs");
        profile.ReadString("Fuzz", "Tail", "-", strRead);
        Check(strRead == (strTail.empty() ? std::string("-") : strTail), "tail differs");
    }
    {
        CXmlProfile profile(strFile);
        Check(profile.Save(), "second Save failed");
    }
    Check(ReadFile(strFile) == strSaved, "load + save changed the file");
    return 0;
}
