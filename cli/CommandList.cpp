#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Args.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "PortInfo.h"
#include "PortMap.h"
#include "Reporters.h"
#include "XmlProfile.h"

void ApplyConfigPins(const std::string& strConfigFile) {
    std::error_code ec;
    if (strConfigFile.empty() || !std::filesystem::exists(strConfigFile, ec)) return;
    const CXmlProfile profile(strConfigFile);
    CComPortMap::Instance().ApplyPins(profile.ReadSection("Ports"));
}

int RunList(const std::vector<std::string>& aArgs) {
    CArgs args;
    if (!args.Parse(aArgs, {}, {}, {"json"}) || !args.Positional().empty()) {
        std::fprintf(stderr, "korvi-flash: %s\n(korvi-flash --help shows the usage)\n",
                     args.Error().empty() ? "list takes --json only" : args.Error().c_str());
        return kExitUsage;
    }
    ApplyConfigPins("Config.xml");
    const std::vector<SPortInfo> ports = ListPorts(true);
    for (const SPortInfo& p : ports) {
        if (args.Has("json")) {
            const nlohmann::ordered_json j = {{"schema", CJsonReporter::kSchema},
                                              {"event", "port"},
                                              {"port", "COM" + std::to_string(p.nCom)},
                                              {"device", p.strDevice},
                                              {"tty", p.strTty},
                                              {"by_id", p.strById},
                                              {"by_path", p.strByPath},
                                              {"vid_pid", p.strVidPid},
                                              {"serial", p.strSerial},
                                              {"driver", p.strDriver},
                                              {"held", p.bHeld},
                                              {"held_by", p.strHeldWhy}};
            std::printf(
                "%s\n",
                j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
            continue;
        }
        std::printf("COM%-3d %s", p.nCom, p.strTty.c_str());
        if (!p.strVidPid.empty()) std::printf("  usb:%s", p.strVidPid.c_str());
        if (!p.strSerial.empty()) std::printf(":%s", p.strSerial.c_str());
        if (!p.strDriver.empty()) std::printf("  driver %s", p.strDriver.c_str());
        std::printf("\n");
        if (!p.strById.empty()) std::printf("       by-id   %s\n", p.strById.c_str());
        if (!p.strByPath.empty()) std::printf("       by-path %s\n", p.strByPath.c_str());
        if (p.bHeld) std::printf("       held by another program: %s\n", p.strHeldWhy.c_str());
    }
    if (ports.empty() && !args.Has("json")) std::fprintf(stderr, "no serial ports found\n");
    return kExitOk;
}
