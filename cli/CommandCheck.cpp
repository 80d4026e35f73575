#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "Args.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "HexCheck.h"
#include "HexImage.h"
#include "Reporters.h"

namespace {

using Json = nlohmann::ordered_json;

// The checker's texts begin "Line N: "; here the line goes in front, compiler-style.
std::string MessageOf(const HexCheckError& error) {
    const std::string strPrefix = "Line " + std::to_string(error.nLine) + ": ";
    if (error.strText.compare(0, strPrefix.size(), strPrefix) == 0)
        return error.strText.substr(strPrefix.size());
    return error.strText;
}

// Prints the report of one file; true when it may be sent.
bool CheckOne(const std::string& strFile, bool bJson) {
    CHexImage image;
    if (!image.Load(strFile)) {
        if (bJson) {
            Json j = {{"schema", CJsonReporter::kSchema},
                      {"event", "check"},
                      {"file", strFile},
                      {"valid", false},
                      {"readable", false}};
            std::printf("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
        }
        std::fprintf(stderr, "%s: cannot read the file\n", strFile.c_str());
        return false;
    }
    const HexCheckResult r = CheckHexImage(image);
    const bool bKnown = r.nTargetType != 0;
    if (bJson) {
        Json errors = Json::array();
        for (const auto& e : r.aErrors)
            errors.push_back({{"line", e.nLine}, {"message", MessageOf(e)}});
        Json ranges = Json::array();
        for (const auto& range : r.aRanges)
            ranges.push_back({range.nFirst, range.nEnd});
        Json j = {{"schema", CJsonReporter::kSchema},
                  {"event", "check"},
                  {"file", strFile},
                  {"valid", r.IsValid() && bKnown},
                  {"readable", true},
                  {"error_count", r.nErrorCount},
                  {"errors", errors},
                  {"target_type", r.nTargetType},
                  {"baud", r.nBaud},
                  {"data_bytes", r.nDataBytes},
                  {"ranges", ranges},
                  {"lines", r.nLineCount},
                  {"records", r.nRecordCount},
                  {"other_lines", r.nOtherLines}};
        std::printf("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    }
    const char* szFile = strFile.c_str();
    for (const auto& e : r.aErrors)
        std::fprintf(stderr, "%s:%d: %s\n", szFile, e.nLine, MessageOf(e).c_str());
    if (r.nErrorCount > r.aErrors.size()) {
        std::fprintf(stderr, "%s: ... %zu more errors\n", szFile, r.nErrorCount - r.aErrors.size());
    }
    if (!bKnown) std::fprintf(stderr, "%s: Unknown file! No target signature found\n", szFile);
    std::fprintf(stderr, "%s: %s\n", szFile,
                 r.IsValid() && bKnown
                     ? "can be sent"
                     : (std::to_string(r.nErrorCount + (bKnown ? 0 : 1)) + " problem(s)").c_str());
    if (bKnown)
        std::fprintf(stderr, "  target: type %d, %d baud\n", r.nTargetType, r.nBaud);
    else
        std::fprintf(stderr, "  target: unknown\n");
    std::fprintf(stderr, "  data: %" PRIu64 " bytes in %zu range%s", r.nDataBytes, r.aRanges.size(),
                 r.aRanges.size() == 1 ? "" : "s");
    for (size_t i = 0; i < r.aRanges.size() && i < 8; ++i) {
        std::fprintf(stderr, "%s 0x%08" PRIX64 "-0x%08" PRIX64, i == 0 ? ":" : ",",
                     r.aRanges[i].nFirst, r.aRanges[i].nEnd - 1);
    }
    std::fprintf(stderr, "%s\n", r.aRanges.size() > 8 ? ", ..." : "");
    std::fprintf(stderr, "  lines: %d (%d records, %d non-record lines)\n", r.nLineCount,
                 r.nRecordCount, r.nOtherLines);
    return r.IsValid() && bKnown;
}

}  // namespace

int RunCheck(const std::vector<std::string>& aArgs) {
    CArgs args;
    if (!args.Parse(aArgs, {}, {}, {"json"}) || args.Positional().empty()) {
        std::fprintf(stderr, "korvi-flash: %s\n(korvi-flash --help shows the usage)\n",
                     args.Error().empty() ? "check takes one or more FILEs" : args.Error().c_str());
        return kExitUsage;
    }
    bool bAllGood = true;
    for (const auto& strFile : args.Positional())
        bAllGood = CheckOne(strFile, args.Has("json")) && bAllGood;
    return bAllGood ? kExitOk : kExitFileRefused;
}
