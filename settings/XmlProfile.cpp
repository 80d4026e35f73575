#include "XmlProfile.h"

#include "AtomicFile.h"
#include "XmlText.h"

#include <algorithm>
#include <new>
#include <pugixml.hpp>
#include <string_view>

namespace {

// A settings file is a few hundred bytes. These bounds keep the memory of a hostile file
// in check (each '<' may cost a node or two); a file beyond them is not loaded and, as it
// is not ours to judge, not replaced either. Save keeps within them, so whatever the store
// writes it can load again.
constexpr size_t kMaxFileBytes = 16u << 20;
constexpr size_t kMaxMarkup = 1'000'000;  // '<' characters

size_t CountMarkup(const char* p, size_t nSize) {
    return static_cast<size_t>(std::count(p, p + nSize, '<'));
}

// No declaration or document type is kept (the saved file is UTF-8 without declaration,
// and a DTD's entities are never expanded anyway: "&name;" stays literal text). Comments
// and processing instructions of a hand-edited file survive. A value of spaces only is
// kept as the single child of its key.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                   pugi::parse_wconv_attribute | pugi::parse_comments |
                                   pugi::parse_pi | pugi::parse_ws_pcdata_single;

constexpr unsigned kFormatOptions = pugi::format_raw | pugi::format_no_declaration;

void Require(bool bAllocated) {
    if (!bAllocated) throw std::bad_alloc();
}

// First element child whose name without namespace prefix is strName, byte for byte.
pugi::xml_node FindChild(pugi::xml_node parent, const std::string& strName) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element && xmltext::LocalName(child.name()) == strName)
            return child;
    }
    return {};
}

pugi::xml_node AppendElement(pugi::xml_node parent, const std::string& strName) {
    pugi::xml_node node = parent.append_child(pugi::node_element);
    Require(node && node.set_name(strName.c_str()));
    return node;
}

// The node after cur in document order within top's subtree; none after its end.
// Iterative, as a hostile file may nest deeper than the stack allows.
pugi::xml_node NextNode(pugi::xml_node cur, pugi::xml_node top) {
    if (pugi::xml_node child = cur.first_child()) return child;
    while (cur != top && !cur.next_sibling())
        cur = cur.parent();
    return cur == top ? pugi::xml_node() : cur.next_sibling();
}

// The element's text content: all text and CDATA below it, in document order.
std::string TextOf(pugi::xml_node node) {
    std::string strText;
    for (pugi::xml_node cur = NextNode(node, node); cur; cur = NextNode(cur, node)) {
        if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata)
            strText += cur.value();
    }
    return xmltext::DecodeValue(strText);
}

// A hand-written file may hold what the writer would not write back as read (a CR given
// as "&#13;" comes back as LF, bytes that are not UTF-8 stay raw). Giving every text the
// form the store writes keeps each value and makes load + save change nothing.
void NormaliseTexts(pugi::xml_document& doc) {
    for (pugi::xml_node cur = NextNode(doc, doc); cur; cur = NextNode(cur, doc)) {
        if (cur.type() != pugi::node_pcdata) continue;
        const std::string_view strText = cur.value();
        std::string strCanonical = xmltext::EncodeValue(xmltext::DecodeValue(strText));
        if (strCanonical != strText) Require(cur.set_value(strCanonical.c_str()));
    }
}

// Removes everything below node leaf by leaf: the library's own removal recurses per level.
void RemoveContent(pugi::xml_node node) {
    pugi::xml_node cur = node;
    for (;;) {
        if (pugi::xml_node child = cur.first_child()) {
            cur = child;
            continue;
        }
        if (cur == node) return;
        pugi::xml_node parent = cur.parent();
        parent.remove_child(cur);
        cur = parent;
    }
}

void SetText(pugi::xml_node node, const std::string& strValue) {
    RemoveContent(node);
    const std::string strText = xmltext::EncodeValue(strValue);
    if (!strText.empty()) {
        pugi::xml_node text = node.append_child(pugi::node_pcdata);
        Require(text && text.set_value(strText.c_str()));
    }
}

class CSinkWriter : public pugi::xml_writer {
public:
    explicit CSinkWriter(atomicfile::CFileSink& sink) : m_sink(sink) {}
    void write(const void* pData, size_t nSize) override {
        m_nBytes += nSize;
        m_nMarkup += CountMarkup(static_cast<const char*>(pData), nSize);
        if (m_nBytes > kMaxFileBytes || m_nMarkup > kMaxMarkup) m_sink.Fail();
        m_sink.Write(pData, nSize);
    }

private:
    atomicfile::CFileSink& m_sink;
    size_t m_nBytes = 0;
    size_t m_nMarkup = 0;
};

// Reads the file as the store sees it. False when a file is there whose settings cannot be
// seen (unreadable, too large): replacing it would lose them. A file that is there but not
// well-formed leaves doc empty and its text in strUnparsed.
bool LoadFile(const std::string& strFileName, pugi::xml_document& doc, std::string& strUnparsed) {
    std::string strData;
    bool bMayReplace = true;
    switch (atomicfile::ReadFile(strFileName, kMaxFileBytes, strData)) {
        case atomicfile::ReadStatus::Ok: {
            if (CountMarkup(strData.data(), strData.size()) > kMaxMarkup) {
                bMayReplace = false;
                break;
            }
            const pugi::xml_parse_result result =
                doc.load_buffer(strData.data(), strData.size(), kParseOptions);
            Require(result.status != pugi::status_out_of_memory);
            if (result) {
                NormaliseTexts(doc);
            } else {
                doc.reset();
                strUnparsed = std::move(strData);
            }
            break;
        }
        case atomicfile::ReadStatus::Missing:
            break;
        case atomicfile::ReadStatus::Unreadable:
            bMayReplace = false;
            break;
    }
    if (!doc.document_element()) Require(static_cast<bool>(doc.append_child("profile")));
    return bMayReplace;
}

pugi::xml_node FindOrCreateKey(pugi::xml_document& doc, const std::string& strSection,
                               const std::string& strKey) {
    // Names that no element can carry can be neither found nor created.
    if (!xmltext::IsElementName(strSection) || !xmltext::IsElementName(strKey)) return {};
    pugi::xml_node root = doc.document_element();
    pugi::xml_node section = FindChild(root, strSection);
    if (!section) section = AppendElement(root, strSection);
    pugi::xml_node key = FindChild(section, strKey);
    return key ? key : AppendElement(section, strKey);
}

// One value this store put into its document: a write, or a default that a read filled in.
struct Change {
    std::string strSection;
    std::string strKey;
    std::string strValue;
    bool bDefault;  // only where the key is missing or empty
};

void Apply(pugi::xml_document& doc, const Change& change) {
    pugi::xml_node key = FindOrCreateKey(doc, change.strSection, change.strKey);
    if (key && (!change.bDefault || TextOf(key).empty())) SetText(key, change.strValue);
}

}  // namespace

struct CXmlProfile::Impl {
    std::string strFileName;
    pugi::xml_document doc;
    // Laid over the file as it is at Save: another window or program may have saved since
    // this store read it, and its keys must survive.
    std::vector<Change> aChanges;

    void Record(Change change) {
        Apply(doc, change);
        // A default read again and again is laid over the file once.
        const auto Same = [&change](const Change& c) {
            return c.bDefault && c.strSection == change.strSection && c.strKey == change.strKey &&
                   c.strValue == change.strValue;
        };
        if (change.bDefault && std::any_of(aChanges.begin(), aChanges.end(), Same)) return;
        aChanges.push_back(std::move(change));
    }
};

CXmlProfile::CXmlProfile(const std::string& strFileName) : m_pImpl(std::make_unique<Impl>()) {
    m_pImpl->strFileName = strFileName;
    std::string strUnparsed;
    LoadFile(strFileName, m_pImpl->doc, strUnparsed);
}

CXmlProfile::~CXmlProfile() = default;

int CXmlProfile::ReadInt(const std::string& strSection, const std::string& strKey, int nDefault) {
    pugi::xml_node key = FindOrCreateKey(m_pImpl->doc, strSection, strKey);
    if (!key) return nDefault;
    const std::string strText = TextOf(key);
    if (!strText.empty()) return xmltext::ParseDecimal(strText);
    m_pImpl->Record({strSection, strKey, std::to_string(nDefault), true});
    return nDefault;
}

bool CXmlProfile::ReadString(const std::string& strSection, const std::string& strKey,
                             const std::string& strDefault, std::string& strValue) {
    pugi::xml_node key = FindOrCreateKey(m_pImpl->doc, strSection, strKey);
    std::string strText = key ? TextOf(key) : std::string();
    if (!strText.empty()) {
        strValue = std::move(strText);
        return true;
    }
    if (key) m_pImpl->Record({strSection, strKey, strDefault, true});
    strValue = strDefault;
    return false;
}

bool CXmlProfile::WriteInt(const std::string& strSection, const std::string& strKey, int nValue) {
    return WriteString(strSection, strKey, std::to_string(nValue));
}

bool CXmlProfile::WriteString(const std::string& strSection, const std::string& strKey,
                              const std::string& strValue) {
    if (!xmltext::IsElementName(strSection) || !xmltext::IsElementName(strKey)) return false;
    m_pImpl->Record({strSection, strKey, strValue, false});
    return true;
}

bool CXmlProfile::Save() {
    // Read, change and replace in one turn, so that two savers never both start from the
    // same old file.
    const atomicfile::CDirectoryLock turn(m_pImpl->strFileName);
    pugi::xml_document doc;
    std::string strUnparsed;
    if (!LoadFile(m_pImpl->strFileName, doc, strUnparsed)) return false;
    for (const Change& change : m_pImpl->aChanges)
        Apply(doc, change);
    // A file that does not parse may be a hand edit with one typo: its settings are kept
    // beside it for whoever made it, or the file is not replaced at all.
    if (!strUnparsed.empty() &&
        !atomicfile::ReplaceFile(m_pImpl->strFileName + ".broken",
                                 [&strUnparsed](atomicfile::CFileSink& sink) {
                                     sink.Write(strUnparsed.data(), strUnparsed.size());
                                 }))
        return false;
    if (!atomicfile::ReplaceFile(m_pImpl->strFileName, [&doc](atomicfile::CFileSink& sink) {
            CSinkWriter writer(sink);
            doc.save(writer, "", kFormatOptions, pugi::encoding_utf8);
        }))
        return false;
    m_pImpl->doc = std::move(doc);
    m_pImpl->aChanges.clear();
    return true;
}

std::vector<std::pair<std::string, std::string>> CXmlProfile::ReadSection(
    const std::string& strSection) const {
    std::vector<std::pair<std::string, std::string>> aKeys;
    const pugi::xml_node section = FindChild(m_pImpl->doc.document_element(), strSection);
    for (pugi::xml_node key = section.first_child(); key; key = key.next_sibling()) {
        if (key.type() == pugi::node_element)
            aKeys.emplace_back(xmltext::LocalName(key.name()), TextOf(key));
    }
    return aKeys;
}
