#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Two-level profile in an XML file: sections are children of the root, keys children of a
// section, values their text. Created per use; changes reach the file only through Save.
class CXmlProfile {
public:
    explicit CXmlProfile(const std::string& strFileName);
    ~CXmlProfile();
    CXmlProfile(const CXmlProfile&) = delete;
    CXmlProfile& operator=(const CXmlProfile&) = delete;

    int ReadInt(const std::string& strSection, const std::string& strKey, int nDefault);
    bool ReadString(const std::string& strSection, const std::string& strKey,
                    const std::string& strDefault, std::string& strValue);
    bool WriteInt(const std::string& strSection, const std::string& strKey, int nValue);
    bool WriteString(const std::string& strSection, const std::string& strKey,
                     const std::string& strValue);
    bool Save();

    // All keys of the first matching section, in document order; creates nothing.
    std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& strSection) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
