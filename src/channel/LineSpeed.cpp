#include "channel/LineSpeed.h"

// Only the kernel's own termios definitions here: <termios.h> declares a different
// struct termios under the same name.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace karvo {

bool SetArbitraryBaud(int fd, uint32_t baud) {
  struct termios2 line {};
  if (ioctl(fd, TCGETS2, &line) != 0) return false;
  line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  line.c_ispeed = baud;
  line.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &line) == 0;
}

}  // namespace karvo
