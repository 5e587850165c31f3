// Baud rates that have no B constant in <termios.h> (14400, for one) are set through the
// kernel's termios2 interface, whose header cannot share a translation unit with
// <termios.h>; LineSpeed.cpp keeps it apart.
#pragma once

#include <cstdint>

namespace karvo {

// Sets input and output speed of the tty `fd` to `baud` bits per second as a free rate
// (BOTHER), keeping every other line setting. False when the driver refused it.
bool SetArbitraryBaud(int fd, uint32_t baud);

}  // namespace karvo
