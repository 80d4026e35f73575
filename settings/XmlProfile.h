#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Two-level profile in an XML file: sections are children of the root, keys children of a
// section, values their text. Created per use; changes reach the file only through Save.
// Values are arbitrary bytes and come back from the file unchanged. Throws nothing but
// std::bad_alloc.
class CXmlProfile {
public:
    explicit CXmlProfile(const std::string& strFileName);
    ~CXmlProfile();
    CXmlProfile(const CXmlProfile&) = delete;
    CXmlProfile& operator=(const CXmlProfile&) = delete;

    // A missing or empty key gets the default, in the document too. A text is read like
    // atoi, saturating at the int range.
    int ReadInt(const std::string& strSection, const std::string& strKey, int nDefault);
    // True when the stored text was used, false when the default was taken.
    bool ReadString(const std::string& strSection, const std::string& strKey,
                    const std::string& strDefault, std::string& strValue);
    // False only for a section or key name that no XML element can carry.
    bool WriteInt(const std::string& strSection, const std::string& strKey, int nValue);
    bool WriteString(const std::string& strSection, const std::string& strKey,
                     const std::string& strValue);
    // Reads the file again and lays this store's writes since the last Save (and the defaults
    // its reads filled in, where the key is still missing or empty) over it, taking turns with
    // other savers: keys that another window saved meanwhile stay. Replaces the file
    // atomically, or rewrites it in place where only the file is writable. False, with the
    // file as it was, when it cannot be written, is read-only, or is there but cannot be read
    // (its settings would be lost). A file that is not well-formed XML is first kept as
    // "<name>.broken"; if that fails, so does Save.
    bool Save();

    // All keys of the first matching section, in document order; creates nothing.
    std::vector<std::pair<std::string, std::string>> ReadSection(
        const std::string& strSection) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
