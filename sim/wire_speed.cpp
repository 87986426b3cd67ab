// The kernel's own termios2 carries the speed as a number, whether the host
// set it with a standard code or, as newer programs (Wine among them) do,
// with BOTHER; the C library's termios cannot be included beside it.
#include "wire_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int wireBaud(int masterFd) {
    termios2 settings;
    if (ioctl(masterFd, TCGETS2, &settings) != 0) return standardWireBaud(masterFd);
    return static_cast<int>(settings.c_ospeed);
}
