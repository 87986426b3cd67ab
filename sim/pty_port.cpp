#include "pty_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

int openVirtualPort(std::string &slavePath) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return -1;
    // A child started later must not hold the port open behind the chip's back.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        close(master);
        return -1;
    }
    slavePath = ptsname(master);
    return master;
}

int openSlaveOf(int masterFd) {
    char path[128];
    if (ptsname_r(masterFd, path, sizeof path) != 0) return -1;
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}
