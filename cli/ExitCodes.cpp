#include "ExitCodes.h"

const char* ResultName(int nCode) {
    switch (nCode) {
        case kExitOk:
            return "success";
        case kExitUsage:
            return "usage";
        case kExitFileRefused:
            return "file_refused";
        case kExitPort:
            return "port_unavailable";
        case kExitNoGreeting:
            return "no_greeting";
        case kExitRefused:
            return "target_refused";
        case kExitFileError:
            return "file_error";
        case kExitLinkLost:
            return "link_lost";
        case kExitStation:
            return "station_failed";
        case kExitInterrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

const char* ExitCodeHelp() {
    return "  0    success (with --dry-run: the bootloader greeted)\n"
           "  2    usage: unknown command or option, ambiguous port name\n"
           "  3    file refused by the pre-flight check, or no known target in it\n"
           "  4    port missing, held by another program, or not permitted\n"
           "  5    no bootloader greeting within --wait\n"
           "  6    target refused the update (checksum/page errors or timeouts after the "
           "limit)\n"
           "  7    target reported a file error\n"
           "  8    link lost during the transfer\n"
           "  9    reserved for the station (not every slot succeeded)\n"
           "  130  interrupted (SIGINT/SIGTERM): port closed, record written; SIGHUP is ignored\n";
}
