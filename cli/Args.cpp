#include "Args.h"

#include <cerrno>
#include <cstdlib>

bool CArgs::Parse(const std::vector<std::string>& aArgs, const std::set<std::string>& aWithValue,
                  const std::set<std::string>& aOptional, const std::set<std::string>& aFlags) {
    bool bOnlyPositional = false;
    for (size_t i = 0; i < aArgs.size(); ++i) {
        const std::string& strArg = aArgs[i];
        if (bOnlyPositional || strArg.size() < 2 || strArg.compare(0, 2, "--") != 0) {
            m_aPositional.push_back(strArg);
            continue;
        }
        if (strArg == "--") {
            bOnlyPositional = true;
            continue;
        }
        const size_t nEq = strArg.find('=');
        const std::string strName = strArg.substr(2, nEq == std::string::npos ? nEq : nEq - 2);
        const bool bInline = nEq != std::string::npos;
        const std::string strInline = bInline ? strArg.substr(nEq + 1) : "";
        if (aWithValue.count(strName)) {
            if (bInline) {
                m_options.emplace(strName, strInline);
            } else if (i + 1 < aArgs.size()) {
                m_options.emplace(strName, aArgs[++i]);
            } else {
                m_strError = "option --" + strName + " needs a value";
                return false;
            }
        } else if (aOptional.count(strName)) {
            m_options.emplace(strName, strInline);
        } else if (aFlags.count(strName) && !bInline) {
            m_options.emplace(strName, "");
        } else {
            m_strError = "unknown option " + strArg;
            return false;
        }
    }
    return true;
}

std::string CArgs::Value(const std::string& strName, const std::string& strDefault) const {
    const auto range = m_options.equal_range(strName);
    if (range.first == range.second) return strDefault;
    return std::prev(range.second)->second;
}

std::vector<std::string> CArgs::Values(const std::string& strName) const {
    std::vector<std::string> a;
    const auto range = m_options.equal_range(strName);
    for (auto it = range.first; it != range.second; ++it)
        a.push_back(it->second);
    return a;
}

bool CArgs::ToInt(const std::string& strText, long long nMin, long long nMax, long long& rOut) {
    if (strText.empty()) return false;
    char* pEnd = nullptr;
    errno = 0;
    const long long n = std::strtoll(strText.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax) return false;
    rOut = n;
    return true;
}

bool CArgs::ToDouble(const std::string& strText, double dMin, double dMax, double& rOut) {
    if (strText.empty()) return false;
    char* pEnd = nullptr;
    errno = 0;
    const double d = std::strtod(strText.c_str(), &pEnd);
    if (errno != 0 || *pEnd != '\0' || !(d >= dMin && d <= dMax)) return false;
    rOut = d;
    return true;
}
