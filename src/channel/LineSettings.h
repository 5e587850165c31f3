// How a TPortSettings record becomes termios flags; apart from Interface.cpp so that the
// flags can be checked where a pseudo-terminal cannot show them (its driver forces 8 data
// bits and clears the parity bit whatever was asked).
#pragma once

#include <termios.h>

#include "channel/Interface.h"

namespace karvo {

// Edits `line` (what the port had) into a raw 8-bit line with the parity, stop bits and
// speed of `settings`, no flow control, and reads that never wait in the driver. False when
// the rate has no B constant: the speed is left alone and needs SetArbitraryBaud.
bool ComposeLine(termios& line, const TPortSettings& settings);

// Puts the settings on the open tty `fd`; 0, or the errno of the setting the port refused
// (a driver that keeps its old speed without saying so counts as EINVAL).
int ApplyLine(int fd, const TPortSettings& settings);

}  // namespace karvo
