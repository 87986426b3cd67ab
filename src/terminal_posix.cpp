#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "terminal.h"

bool prepareStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is the one that was closed.
            if (open("/dev/null", O_RDWR) != fd) return false;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool outputIsTerminal() { return isatty(STDOUT_FILENO); }

int terminalColumns() {
    winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

const char *eraseLineText() { return "\r\033[K"; }

bool wireBytesShownEscaped() { return false; }

void writeErrorText(const char *text) { fputs(text, stderr); }

void writeOutputNow(const char *text) {
    if (write(STDOUT_FILENO, text, strlen(text)) < 0) {
        // Nothing more can be done about a lost screen update.
    }
}
