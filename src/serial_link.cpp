#include "serial_link.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "port_claim.h"

int comPortHandle = -1;

namespace {

struct SpeedEntry {
    int baudRate;
    speed_t speedCode;
};

// The loader's rates; nothing else in the program knows the constants.
const SpeedEntry speedTable[] = {
    {2400, B2400},   {9600, B9600},   {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

const int attemptBudget = 200;
const long idlePauseMicros = 100;
const long noTimeLimit = -1;
const int bitsPerByte = 10;  // start bit, 8 data bits, stop bit

const char *comPortPath = "";
int comPortBaud = 57600;
termios newSettings;
termios oldSettings;

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

bool isOnlyNoDataYet(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// One attempt of the paced loops; returns the bytes moved, 0 for an
// unproductive attempt, and ends the run if the port is gone.
int attemptTransfer(bool reading, unsigned char *at, int count) {
    ssize_t moved = reading ? read(comPortHandle, at, count) : write(comPortHandle, at, count);
    if (moved > 0) return static_cast<int>(moved);
    if (moved == 0) {
        if (reading && count > 0) stopOnLostPort("Device hung up");
        return 0;
    }
    if (!isOnlyNoDataYet(errno)) stopOnLostPort(strerror(errno));
    return 0;
}

// The pause after an unproductive attempt: it lasts at most the given time
// (or without limit), and ends as soon as the port can move data in that
// direction or reports a hang-up or an error. Returns false if the time ran
// out first.
bool waitForPort(bool reading, long micros) {
    if (comPortHandle < 0 || comPortHandle >= FD_SETSIZE) {
        usleep(micros < 0 ? idlePauseMicros : micros);
        return true;
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(comPortHandle, &ready);
    timeval limit{micros / 1000000, static_cast<suseconds_t>(micros % 1000000)};
    return select(comPortHandle + 1, reading ? &ready : nullptr, reading ? nullptr : &ready,
                  nullptr, micros < 0 ? nullptr : &limit) != 0;
}

int pacedTransfer(bool reading, unsigned char *bytes, int count) {
    int transferred = 0;
    int budget = attemptBudget;
    do {
        int moved = attemptTransfer(reading, bytes + transferred, count - transferred);
        if (moved > 0) {
            transferred += moved;
            budget = attemptBudget;
        } else {
            --budget;
            waitForPort(reading, idlePauseMicros);
        }
    } while (transferred < count && budget > 0);
    return transferred;
}

}  // namespace

speed_t getBaudValue(int baudRate) {
    for (const SpeedEntry &entry : speedTable) {
        if (entry.baudRate == baudRate) return entry.speedCode;
    }
    say("Baud rate not supported");
    exit(1);
}

int baudOfSpeed(speed_t speedCode) {
    for (const SpeedEntry &entry : speedTable) {
        if (entry.speedCode == speedCode) return entry.baudRate;
    }
    return 0;
}

bool setUpPort(const char *portPath, speed_t speedCode) {
    comPortPath = portPath;
    comPortBaud = baudOfSpeed(speedCode);
    comPortHandle = open(portPath, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (comPortHandle < 0) return false;
    if (tcgetattr(comPortHandle, &newSettings) != 0) return false;
    if (!claimPort(comPortHandle)) return false;
    oldSettings = newSettings;
    cfsetispeed(&newSettings, speedCode);
    cfsetospeed(&newSettings, speedCode);
    makeRawLine(newSettings);
    if (tcsetattr(comPortHandle, TCSAFLUSH, &newSettings) != 0) return false;
    askForLowLatency();
    return true;
}

void restorePort() {
    releasePort();
    tcsetattr(comPortHandle, TCSAFLUSH, &oldSettings);
    close(comPortHandle);
    comPortHandle = -1;
}

void stopOnLostPort(const char *reason) { stopWith(comPortPath, reason); }

int writeCOM(const void *bytes, int count) {
    // The bytes are only read; the shared loop takes a mutable pointer.
    return pacedTransfer(false, static_cast<unsigned char *>(const_cast<void *>(bytes)), count);
}

int readCOM(void *space, int count) {
    return pacedTransfer(true, static_cast<unsigned char *>(space), count);
}

char readCOMwait() {
    unsigned char byte = 0;
    long silentSeconds = 0;
    while (attemptTransfer(true, &byte, 1) == 0) {
        // At a terminal the wait wakes once a second to count the silence;
        // otherwise it sleeps until the byte arrives.
        if (!progressWanted())
            waitForPort(true, noTimeLimit);
        else if (!waitForPort(true, 1000000))
            showLoaderSilence(++silentSeconds);
    }
    return static_cast<char>(byte);
}

void waitWireTime(int byteCount) {
    tcdrain(comPortHandle);
    long long micros = 1000000LL * bitsPerByte * byteCount / (comPortBaud > 0 ? comPortBaud : 2400);
    usleep(static_cast<useconds_t>(micros));
}

void printHex(const unsigned char *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        printf("%02X ", bytes[i]);
        if (i % 16 == 15) printf("\n");
    }
    if (count % 16 != 0) printf("\n");
}
