#include "serial_port_posix.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial_port.h"

int comPortHandle = -1;

const long portPauseMicros = 100;

namespace {

// The loader's rates as this system's speed codes.
const struct {
    int baudRate;
    speed_t code;
} speedCodes[] = {
    {2400, B2400},   {9600, B9600},   {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

speed_t lineSpeed = B0;
termios oldSettings;
char lostReason[64];

speed_t speedCodeOf(int baudRate) {
    for (const auto &entry : speedCodes) {
        if (entry.baudRate == baudRate) return entry.code;
    }
    return B0;
}

// Every flag the exchanges depend on is set here, whatever the platform's
// defaults: bytes must pass unaltered both ways and arrive as they come.
void makeRawLine(termios &settings) {
    settings.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);
    settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    settings.c_cflag &= ~CRTSCTS;
#endif
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // One byte wakes a read, so a non-blocking read that returns 0 means the
    // line has hung up rather than "nothing yet".
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

// Making the user's own terminal raw at the chip's speed would leave them
// a terminal that neither echoes nor answers.
bool isOwnTerminal(int port) { return tcgetsid(port) != -1; }

bool failOnOpen(PortFailure &failure) {
    int reason = errno;
    if (reason == EBUSY) return portFailed(failure, portInUseOrLeftExclusive, strerror(reason));
    return portFailed(failure, reason == EACCES ? portDenied : portUnusable, strerror(reason));
}

bool isOnlyNoDataYet(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int lose(const char *reason) {
    snprintf(lostReason, sizeof lostReason, "%s", reason);
    return portLost;
}

// One attempt; returns the bytes moved, 0 for an unproductive attempt, or
// portLost.
int attemptTransfer(bool reading, unsigned char *at, int count) {
    ssize_t moved = reading ? read(comPortHandle, at, count) : write(comPortHandle, at, count);
    if (moved > 0) return static_cast<int>(moved);
    if (moved == 0) return reading && count > 0 ? lose("Device hung up") : 0;
    return isOnlyNoDataYet(errno) ? 0 : lose(strerror(errno));
}

// Lasts at most the given time (or without limit), and ends as soon as the
// port can move data in that direction or reports a hang-up or an error.
void waitForPort(bool reading, long micros) {
    if (comPortHandle < 0 || comPortHandle >= FD_SETSIZE) {
        usleep(micros < 0 ? portPauseMicros : micros);
        return;
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(comPortHandle, &ready);
    timeval limit{micros / 1000000, static_cast<suseconds_t>(micros % 1000000)};
    select(comPortHandle + 1, reading ? &ready : nullptr, reading ? nullptr : &ready, nullptr,
           micros < 0 ? nullptr : &limit);
}

int transfer(bool reading, unsigned char *at, int count, long waitMicros) {
    int moved = attemptTransfer(reading, at, count);
    if (moved == 0) waitForPort(reading, waitMicros);
    return moved;
}

}  // namespace

bool openSerialPort(const char *path, int baudRate, PortFailure &failure) {
    lineSpeed = speedCodeOf(baudRate);
    if (lineSpeed == B0) return portFailed(failure, portUnusable, "speed not supported");
    comPortHandle = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (comPortHandle < 0) return failOnOpen(failure);
    if (!isatty(comPortHandle)) return portFailed(failure, portUnusable, "not a serial port");
    if (isOwnTerminal(comPortHandle))
        return portFailed(failure, portUnusable, "the terminal hexpush runs in, not a serial port");
    if (tcgetattr(comPortHandle, &oldSettings) != 0) return failOnOpen(failure);
    return true;
}

intptr_t serialPortHandle() { return comPortHandle; }

bool setSerialLine(PortFailure &failure) {
    termios newSettings = oldSettings;
    cfsetispeed(&newSettings, lineSpeed);
    cfsetospeed(&newSettings, lineSpeed);
    makeRawLine(newSettings);
    if (tcsetattr(comPortHandle, TCSAFLUSH, &newSettings) != 0) return failOnOpen(failure);
    return true;
}

void closeSerialPort() {
    tcsetattr(comPortHandle, TCSAFLUSH, &oldSettings);
    close(comPortHandle);
    comPortHandle = -1;
}

int readPort(unsigned char *space, int count, long waitMicros) {
    return transfer(true, space, count, waitMicros);
}

int writePort(const unsigned char *bytes, int count, long waitMicros) {
    // The bytes are only read; the shared attempt takes a mutable pointer.
    return transfer(false, const_cast<unsigned char *>(bytes), count, waitMicros);
}

const char *lostPortReason() { return lostReason; }

void drainThenWait(long micros) {
    tcdrain(comPortHandle);
    usleep(static_cast<useconds_t>(micros));
}
