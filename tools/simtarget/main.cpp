// korvi-simtarget: a simulated bootloader on a pseudo-terminal, for trying the tool without a
// device. Prints the tty path, runs until interrupted, then prints a summary.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "HexRecord.h"
#include "SimTarget.h"

namespace {

volatile std::sig_atomic_t g_nSignal = 0;
volatile std::sig_atomic_t g_bReset = 0;

void Usage() {
    std::fputs(
        "usage: korvi-simtarget [options]\n"
        "  --type N              target type 1..5 (default 1)\n"
        "  --link PATH           publish the tty as a symlink at PATH\n"
        "  --greet-every MS      greet every MS ms until entered, and again after a transfer\n"
        "                        ended or was left silent 15 s (default: once; SIGUSR1 greets)\n"
        "  --seed N              seed of the fault generator\n"
        "  --checksum-errors P   chance of answering a good record '-'\n"
        "  --page-errors P       chance of answering a good record '%'\n"
        "  --lost-replies P      chance of dropping a reply\n"
        "  --noise P             chance of a stray byte before a reply\n"
        "  --file-error-at N     answer record N (from 0) with '#'\n"
        "  --wire                take the wire time of every byte at the tool's baud rate;\n"
        "                        at another speed than the target's nothing gets across\n"
        "  --image-out FILE      write the received image as Intel HEX at the end\n"
        "  --quit-when-done      end after the end-of-file record or a file error\n",
        stderr);
}

// False when the file could not be written whole.
bool WriteImage(const std::map<uint32_t, uint8_t>& image, const std::string& strPath) {
    std::ofstream out(strPath);
    uint32_t nUpper = 0xFFFFFFFF;
    auto it = image.begin();
    while (it != image.end()) {
        const uint32_t nStart = it->first;
        if ((nStart >> 16) != nUpper) {
            nUpper = nStart >> 16;
            out << MakeHexLinearRecord(static_cast<uint16_t>(nUpper)) << "\r\n";
        }
        // Up to 16 consecutive bytes that stay within this 64 KiB segment.
        std::vector<uint8_t> abData;
        while (it != image.end() && abData.size() < 16 && it->first == nStart + abData.size() &&
               (it->first >> 16) == nUpper) {
            abData.push_back(it->second);
            ++it;
        }
        out << MakeHexRecord(0x00, static_cast<uint16_t>(nStart), abData) << "\r\n";
    }
    out << MakeHexEofRecord() << "\r\n";
    out.close();
    return !out.fail();
}

}  // namespace

int main(int argc, char** argv) {
    SimTargetOptions options;
    std::string strImageOut;
    bool bQuitWhenDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (strArg == "--type")
            options.nType = std::atoi(value());
        else if (strArg == "--link")
            options.strLink = value();
        else if (strArg == "--greet-every")
            options.nGreetEveryMs = std::atoi(value());
        else if (strArg == "--seed")
            options.faults.nSeed = static_cast<uint32_t>(std::strtoul(value(), nullptr, 10));
        else if (strArg == "--checksum-errors")
            options.faults.dChecksumError = std::atof(value());
        else if (strArg == "--page-errors")
            options.faults.dPageError = std::atof(value());
        else if (strArg == "--lost-replies")
            options.faults.dLostReply = std::atof(value());
        else if (strArg == "--noise")
            options.faults.dNoise = std::atof(value());
        else if (strArg == "--file-error-at")
            options.faults.nFileErrorAtRecord = std::atoi(value());
        else if (strArg == "--wire")
            options.bWire = true;
        else if (strArg == "--image-out")
            strImageOut = value();
        else if (strArg == "--quit-when-done")
            bQuitWhenDone = true;
        else {
            Usage();
            return 2;
        }
    }
    if (options.nType < 0 || options.nType > 5) {
        Usage();
        return 2;
    }
    std::signal(SIGINT, [](int n) { g_nSignal = n; });
    std::signal(SIGTERM, [](int n) { g_nSignal = n; });
    std::signal(SIGUSR1, [](int) { g_bReset = 1; });

    CSimTarget target(options);
    if (!target.Start()) {
        std::perror("korvi-simtarget: cannot create the pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", target.Path().c_str());
    std::fflush(stdout);
    target.Reset();
    while (g_nSignal == 0) {
        if (g_bReset) {
            g_bReset = 0;
            target.Reset();
        }
        // Counted, not seen in the phase: with --greet-every the target may already have
        // restarted into its bootloader when this loop looks again.
        const BootloaderCounters c = target.Counters();
        if (bQuitWhenDone && !target.Sending() && c.nEndRecords + c.nFileErrors > 0) {
            // A hang-up discards what the tool has not read yet: give it time for the reply.
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Summed up while the tty is still there to show the tool's line settings.
    const std::string strSummary = target.Summary();
    target.Stop();
    // A script compares the image with what it sent: a stale or missing file must not pass.
    const bool bImageOk = strImageOut.empty() || WriteImage(target.Image(), strImageOut);
    if (!bImageOk) std::fprintf(stderr, "korvi-simtarget: cannot write %s\n", strImageOut.c_str());
    std::fputs(strSummary.c_str(), stderr);
    return bImageOk ? 0 : 1;
}
