#include "serial_link.h"

#include <cstdio>

#include "clock.h"
#include "console.h"
#include "port_claim.h"
#include "system_error.h"
#include "wire.h"

namespace {

// Silence this long ends a read that has a count to reach.
const long silenceAllowanceMicros = 20000;
const long noTimeLimit = -1;
const long oneSecond = 1000000;

// The rates the ROM loader runs at.
const int loaderRates[] = {2400, 9600, 19200, 38400, 57600, 115200};

const char *comPortPath = "";
int comPortBaud = 57600;

// Settings are changed only once the port is this run's alone.
bool claimAndSetLine(PortFailure &failure) {
    PortClaim claim = claimPort(serialPortHandle());
    if (claim == portHeldElsewhere) return portFailed(failure, portInUse, "");
    if (claim == portNotClaimed) return portFailed(failure, portUnusable, lastSystemError());
    if (!setSerialLine(failure)) return false;
    askForLowLatency();
    return true;
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
        if (moved == portLost) stopOnLostPort(lostPortReason());
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

int getBaudValue(int baudRate) {
    for (int rate : loaderRates) {
        if (rate == baudRate) return rate;
    }
    sayAndStop("Baud rate not supported");
}

bool setUpPort(const char *portPath, int baudRate, PortFailure &failure) {
    comPortPath = portPath;
    comPortBaud = baudRate;
    return openSerialPort(portPath, baudRate, failure) && claimAndSetLine(failure);
}

void restorePort() {
    releasePort();
    closeSerialPort();
}

void stopOnLostPort(const char *reason) { stopWith(comPortPath, reason); }

void tellAboutPort(const char *text) { tell(comPortPath, text); }

int portBaud() { return comPortBaud; }

int writeCOM(const void *bytes, int count) {
    // The bytes are only read; the shared loop takes a mutable pointer.
    return pacedTransfer(false, static_cast<unsigned char *>(const_cast<void *>(bytes)), count);
}

int readCOM(void *space, int count) {
    return pacedTransfer(true, static_cast<unsigned char *>(space), count);
}

char readCOMwait() {
    unsigned char byte = 0;
    Silence silence = silenceFromNow();
    readCOMwhenItComes(&byte, 1, silence);
    return static_cast<char>(byte);
}

int readCOMwhenItComes(void *space, int count, Silence &silence) {
    // At a terminal the wait wakes once a second to count the silence;
    // otherwise it sleeps until the loader speaks.
    long wait = progressWanted() ? oneSecond : noTimeLimit;
    int got;
    while ((got = readPort(static_cast<unsigned char *>(space), count, wait)) == 0)
        countSilence(silence);
    if (got == portLost) stopOnLostPort(lostPortReason());
    return got;
}

void waitWireTime(int byteCount) {
    drainThenWait(1000000LL * bitsPerByte * byteCount / comPortBaud);
}

Silence silenceFromNow() { return {secondsNow(), 0}; }

void countSilence(Silence &silence) {
    long seconds = static_cast<long>(secondsNow() - silence.since);
    if (seconds <= silence.shownSeconds) return;
    silence.shownSeconds = seconds;
    showLoaderSilence(seconds);
}

void printHex(const unsigned char *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        printf("%02X ", bytes[i]);
        if (i % 16 == 15) printf("\n");
    }
    if (count % 16 != 0) printf("\n");
}
