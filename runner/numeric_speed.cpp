// The kernel's own termios2; the C library's termios cannot be included
// beside it.
#include "numeric_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setWireBaudAsNumber(int hostFd, int baud) {
    termios2 settings;
    if (ioctl(hostFd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag = (settings.c_cflag & ~CBAUD) | BOTHER;
    settings.c_ospeed = settings.c_ispeed = baud;
    return ioctl(hostFd, TCSETS2, &settings) == 0;
}
