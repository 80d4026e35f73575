#pragma once

// What korvi-flash returns; scripts branch on these, so they never change meaning.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,
    kExitFileRefused = 3,    // pre-flight check failed, or no known target in the file
    kExitPort = 4,           // port missing, held by another program, or not permitted
    kExitNoGreeting = 5,     // no bootloader greeting within --wait
    kExitRefused = 6,        // checksum/page errors or timeouts beyond the limit
    kExitFileError = 7,      // the target reported a file error
    kExitLinkLost = 8,       // the port vanished while the target was in its bootloader
    kExitStation = 9,        // reserved: not every station slot succeeded
    kExitInterrupted = 130,  // SIGINT or SIGTERM
};

// "success", "file_refused", ... as written to job records and JSON events.
const char* ResultName(int nCode);

// The table printed by --help, one code a line.
const char* ExitCodeHelp();
