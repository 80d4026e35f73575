#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// A command line of the form COMMAND [ARG...] [--option[=VALUE] | --option VALUE]...
class CArgs {
public:
    // Options in aWithValue take a value (the next argument, or after "="); those in aOptional
    // take one only after "="; the rest of aFlags take none. False, with Error(), on anything
    // else.
    bool Parse(const std::vector<std::string>& aArgs, const std::set<std::string>& aWithValue,
               const std::set<std::string>& aOptional, const std::set<std::string>& aFlags);

    const std::vector<std::string>& Positional() const { return m_aPositional; }
    bool Has(const std::string& strName) const { return m_options.count(strName) != 0; }
    // The last value given; strDefault when the option is absent.
    std::string Value(const std::string& strName, const std::string& strDefault = "") const;
    // All values given, in order (options that may repeat).
    std::vector<std::string> Values(const std::string& strName) const;
    const std::string& Error() const { return m_strError; }

    // Whole decimal numbers and decimal fractions, refusing trailing text.
    static bool ToInt(const std::string& strText, long long nMin, long long nMax, long long& rOut);
    static bool ToDouble(const std::string& strText, double dMin, double dMax, double& rOut);

private:
    std::vector<std::string> m_aPositional;
    std::multimap<std::string, std::string> m_options;
    std::string m_strError;
};
