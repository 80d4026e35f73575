// korvi-flash: the update of the window for scripts, test jigs and CI.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"

const char* UsageText() {
    return "usage: korvi-flash COMMAND [OPTIONS]\n"
           "\n"
           "  flash FILE --port PORT   check FILE, wait for the bootloader, send FILE\n"
           "  check FILE...            errors as file:line: message, then a summary\n"
           "  list                     the serial ports, numbered as the window numbers them\n"
           "  history                  the job records of both programs\n"
           "  gang FILE --port P1 --port P2 ...\n"
           "                           FILE into several devices at once (a station)\n"
           "\n"
           "flash:\n"
           "  --port PORT        COM3 (with the pins of ./Config.xml), a device path, a\n"
           "                     /dev/serial/by-id or by-path link, or usb:VID:PID[:SERIAL]\n"
           "  --wait SECONDS     wait that long for the bootloader's greeting (default 60,\n"
           "                     0: no limit)\n"
           "  --dry-run          stop at the greeting, before entering the bootloader\n"
           "  --json             JSON Lines events on stdout\n"
           "  --quiet            nothing on stderr but a failure\n"
           "  --simulate[=TYPE]  the bundled simulated target on a pseudo-terminal instead of\n"
           "                     a port (TYPE 1..5, default the file's; 0 never greets), with\n"
           "                     --sim-seed N, --sim-checksum-errors P, --sim-page-errors P,\n"
           "                     --sim-lost-replies P, --sim-noise P (chances 0..1),\n"
           "                     --sim-file-error-at N, --sim-unplug-at N (records),\n"
           "                     --sim-no-wire (answer at once instead of at the line's speed)\n"
           "gang: --wait, --json, --quiet as for flash, and\n"
           "  --port [NAME=]PORT  a slot (repeat; unnamed slots are 1, 2, ...)\n"
           "  --slots FILE       the slots from a station file: NAME PORT a line, # comments\n"
           "  --simulate[=TYPE]  simulated slots sim1, sim2, ... (--sim-slots N, default 2;\n"
           "                     the --sim-... options of flash apply to each)\n"
           "  --watch            station: run each slot when its port appears, again only\n"
           "                     after it has gone; --count N jobs, --max-failures N in a row\n"
           "  --lot NAME, --station NAME  kept in every job record (station: the host name)\n"
           "  exit 0 when every job succeeded, else 9 (each slot's code in --json and the log)\n"
           "check: --json\n"
           "list: --json\n"
           "history: --csv | --json, --since DATE, --until DATE, --port PORT, --sha256 HASH\n"
           "\n"
           "Text goes to stderr (NO_COLOR turns colours off). Every flash appends its record\n"
           "to $XDG_STATE_HOME/korvi-flasher/jobs.jsonl (~/.local/state/korvi-flasher/).\n"
           "\n"
           "Exit codes:\n";
}

int main(int argc, char** argv) {
    // A reader that goes away (| head) must not kill a job before its port is closed and its
    // record kept: writes then fail instead.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> aArgs(argv + 1, argv + argc);
    const std::string strCommand = aArgs.empty() ? "" : aArgs.front();
    const std::vector<std::string> aRest(aArgs.begin() + (aArgs.empty() ? 0 : 1), aArgs.end());
    if (strCommand == "--help" || strCommand == "-h" || strCommand == "help") {
        std::printf("%s%s", UsageText(), ExitCodeHelp());
        return kExitOk;
    }
    if (strCommand == "--version") {
        std::printf("korvi-flash %s\n", KORVI_VERSION);
        return kExitOk;
    }
    if (strCommand == "flash") return RunFlash(aRest);
    if (strCommand == "check") return RunCheck(aRest);
    if (strCommand == "list") return RunList(aRest);
    if (strCommand == "history") return RunHistory(aRest);
    if (strCommand == "gang") return RunGang(aRest);
    std::fprintf(stderr, "%s%s", UsageText(), ExitCodeHelp());
    return kExitUsage;
}
