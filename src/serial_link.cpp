#include "serial_link.h"

#include <cstdio>
#include <cstdlib>

#include "clock.h"
#include "console.h"
#include "wire.h"

namespace {

// Silence this long ends a read that has a count to reach.
const long silenceAllowanceMicros = 20000;
const long noTimeLimit = -1;
const long oneSecond = 1000000;

int comPortBaud = 57600;

int baudOfSpeed(unsigned long speedCode) {
    for (int i = 0; i < speedTableSize; ++i) {
        if (speedTable[i].speedCode == speedCode) return speedTable[i].baudRate;
    }
    return 0;
}

// Gives up only after a whole allowance of attempts in a row moved nothing:
// any progress renews it, so a steady trickle never times out.
int pacedTransfer(bool reading, unsigned char *bytes, int count) {
    const int attemptBudget = static_cast<int>(silenceAllowanceMicros / portPauseMicros);
    int transferred = 0;
    int budget = attemptBudget;
    do {
        unsigned char *at = bytes + transferred;
        int missing = count - transferred;
        int moved = reading ? readPort(at, missing, portPauseMicros)
                            : writePort(at, missing, portPauseMicros);
        if (moved > 0) {
            transferred += moved;
            budget = attemptBudget;
        } else {
            --budget;
        }
    } while (transferred < count && budget > 0);
    return transferred;
}

}  // namespace

unsigned long getBaudValue(int baudRate) {
    for (int i = 0; i < speedTableSize; ++i) {
        if (speedTable[i].baudRate == baudRate) return speedTable[i].speedCode;
    }
    say("Baud rate not supported");
    exit(1);
}

bool setUpPort(const char *portPath, unsigned long speedCode, PortFailure &failure) {
    comPortBaud = baudOfSpeed(speedCode);
    return openSerialPort(portPath, speedCode, failure);
}

void restorePort() { closeSerialPort(); }

int writeCOM(const void *bytes, int count) {
    // The bytes are only read; the shared loop takes a mutable pointer.
    return pacedTransfer(false, static_cast<unsigned char *>(const_cast<void *>(bytes)), count);
}

int readCOM(void *space, int count) {
    return pacedTransfer(true, static_cast<unsigned char *>(space), count);
}

char readCOMwait() {
    unsigned char byte = 0;
    double silentSince = secondsNow();
    long shownSeconds = 0;
    // At a terminal the wait wakes once a second to count the silence;
    // otherwise it sleeps until the byte arrives.
    long wait = progressWanted() ? oneSecond : noTimeLimit;
    while (readPort(&byte, 1, wait) == 0) countSilence(silentSince, shownSeconds);
    return static_cast<char>(byte);
}

void waitWireTime(int byteCount) {
    drainThenWait(1000000LL * bitsPerByte * byteCount / (comPortBaud > 0 ? comPortBaud : 2400));
}

void countSilence(double silentSince, long &shownSeconds) {
    long seconds = static_cast<long>(secondsNow() - silentSince);
    if (seconds <= shownSeconds) return;
    shownSeconds = seconds;
    showLoaderSilence(seconds);
}

void printHex(const unsigned char *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        printf("%02X ", bytes[i]);
        if (i % 16 == 15) printf("\n");
    }
    if (count % 16 != 0) printf("\n");
}
