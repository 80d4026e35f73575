#pragma once

#include <termios.h>

#include <cstdint>

// termios speed constant for a baud rate; 0 when the rate has none.
speed_t BaudToSpeed(uint32_t nBaud);
// Baud rate of a termios speed constant; 0 when unknown.
uint32_t SpeedToBaud(speed_t nSpeed);
