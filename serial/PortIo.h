#pragma once

#include <termios.h>

#include <string>

#include "ModeString.h"

// Linux counterparts of the port calls the channel makes.
namespace portio {

// Opens a device non-blocking and without becoming its controlling tty, then makes it ours
// alone: TIOCEXCL keeps out other programs (not root), the flock other channels and root.
// Returns the fd, or -1 with errno set.
int OpenExclusive(const std::string& strDevice);
// Clears TIOCEXCL (a tty keeps it while anyone else holds it open) and closes.
void CloseExclusive(int nFd);

// Raw 8-bit line with the given speed, parity, data and stop bits, receiver on, modem
// status ignored; flow control is left to the caller.
void MakeLine(termios& rTio, const LineSettings& ls);

// TIOCMBIS/TIOCMBIC on TIOCM_DTR / TIOCM_RTS; a driver without modem lines is ignored.
unsigned long ModemRequest(int nOn);
void SetModemLine(int nFd, int nLine, int nOn);

// Asks the driver to hand over each byte at once rather than batching; refusals ignored.
void RequestLowLatency(int nFd);

// Sum of the frame, parity, overrun and break counters; false when the driver keeps none.
bool ReadLineErrorCount(int nFd, long long& rCount);

}  // namespace portio
