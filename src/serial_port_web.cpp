// The port over Web Serial, through the transport the page hands each run
// (web/serial_transport.js). The page chose the port and closes it; a run
// suspends (Asyncify) wherever it waits for the port, so the page lives on.
#include <emscripten.h>

#include <cstdlib>

#include "console.h"
#include "serial_port.h"

// Browsers clamp timers to about 4 ms: five such waits make the 20 ms allowance.
const long portPauseMicros = 4000;

namespace {

const int portCancelled = -2;
char lostReason[256];

// What a wait ends with: bytes or nothing (0), the port gone (-1), or the
// user's Cancel (-2).
EM_ASYNC_JS(int, openWebPort, (int baudRate, char *reason, int reasonSize), {
    const failure = await Module.hexpushPort.open(baudRate);
    if (failure) stringToUTF8(failure, reason, reasonSize);
    return Module.hexpushPort.cancelled ? -2 : failure ? -1 : 0;
});

EM_JS(int, takeBytes, (unsigned char *space, int count, char *reason, int reasonSize), {
    const port = Module.hexpushPort;
    const bytes = port.take(count);
    if (bytes.length > 0) HEAPU8.set(bytes, space);
    if (bytes.length > 0 || !port.lost) return bytes.length;
    stringToUTF8(port.lost, reason, reasonSize);
    return -1;
});

EM_ASYNC_JS(int, waitForBytes, (double millis), {
    await Module.hexpushPort.waitForBytes(millis);
    return Module.hexpushPort.cancelled ? -2 : 0;
});

EM_ASYNC_JS(int, writeBytes, (const unsigned char *bytes, int count, char *reason, int reasonSize), {
    const port = Module.hexpushPort;
    // The program reuses its buffer at once: the port is handed a copy.
    const failure = await port.write(HEAPU8.slice(bytes, bytes + count));
    if (failure) stringToUTF8(failure, reason, reasonSize);
    return port.cancelled ? -2 : failure ? -1 : count;
});

EM_ASYNC_JS(int, sleepFor, (double millis), {
    await Module.hexpushPort.sleep(millis);
    return Module.hexpushPort.cancelled ? -2 : 0;
});

// Cancel ends the run where it waits, as Ctrl-C does at a terminal.
int endIfCancelled(int outcome) {
    if (outcome != portCancelled) return outcome;
    eraseProgressAfterSignal();
    _Exit(130);
}

int lose(int outcome) { return endIfCancelled(outcome) < 0 ? portLost : outcome; }

double millisOf(long micros) { return micros < 0 ? -1 : micros / 1000.0; }

}  // namespace

// Web Serial takes the rate as a number, any the loader runs at.
bool openSerialPort(const char *, int baudRate, PortFailure &failure) {
    char reason[256];
    if (endIfCancelled(openWebPort(baudRate, reason, sizeof reason)) == 0) return true;
    // The browser gives one reason for every cause: the hint names each remedy.
    return portFailed(failure, portDenied, reason);
}

intptr_t serialPortHandle() { return 1; }

// Web Serial sets the line as it opens the port (8N1 at the rate, no flow
// control, DTR and RTS on), with nothing received before.
bool setSerialLine(PortFailure &) { return true; }

// The page closes the port however the run ends.
void closeSerialPort() {}

int readPort(unsigned char *space, int count, long waitMicros) {
    int got = takeBytes(space, count, lostReason, sizeof lostReason);
    if (got != 0) return lose(got);
    endIfCancelled(waitForBytes(millisOf(waitMicros)));
    return lose(takeBytes(space, count, lostReason, sizeof lostReason));
}

int writePort(const unsigned char *bytes, int count, long) {
    return lose(writeBytes(bytes, count, lostReason, sizeof lostReason));
}

const char *lostPortReason() { return lostReason; }

// Web Serial has no drain: the bytes' time on the wire is waited for whole.
void drainThenWait(long micros) { endIfCancelled(sleepFor(millisOf(micros))); }
