// The serial port as each system offers it, one implementation a system
// (serial_port_posix.cpp, serial_port_windows.cpp). The rest of the program
// reaches the port only through these calls, and speaks to them in baud.
#pragma once

#include <cstdint>
#include <cstdio>

// The pause after an attempt that moved nothing: as short as the system's
// waits reliably go.
extern const long portPauseMicros;

enum PortTrouble {
    portUnusable,              // reason says why
    portDenied,                // the user may not open it; reason says so
    portInUse,                 // another program holds it
    portInUseOrLeftExclusive,  // refused as in use; a killed run may have left it so
};

struct PortFailure {
    PortTrouble trouble;
    char reason[256];
};

// Fills in the failure; always false, for the caller to return.
inline bool portFailed(PortFailure &failure, PortTrouble trouble, const char *reason) {
    failure.trouble = trouble;
    snprintf(failure.reason, sizeof failure.reason, "%s", reason);
    return false;
}

// Opens the port for a line at baudRate, one of the loader's rates, and
// checks that it is a serial port this run may use. Nothing about the line
// changes until setSerialLine, so that a port held by another program is
// refused before its settings are touched. False, with the failure, if the
// port cannot be used.
bool openSerialPort(const char *path, int baudRate, PortFailure &failure);

// The system's handle of the open port, for its claim.
intptr_t serialPortHandle();

// Saves the port's settings and makes it a raw 8N1 line at the rate, without
// flow control, discarding input that came before.
bool setSerialLine(PortFailure &failure);

// Puts the saved settings back and closes the port.
void closeSerialPort();

// What readPort and writePort return once the port has gone away (unplugged,
// hung up); lostPortReason() then says why.
const int portLost = -1;

// Moves what the port holds (or takes) now, up to count bytes. If that is
// nothing, waits up to waitMicros (-1: without limit) for the port to be
// ready and returns 0, or what moved in that wait.
int readPort(unsigned char *space, int count, long waitMicros);
int writePort(const unsigned char *bytes, int count, long waitMicros);
const char *lostPortReason();

// Waits until every byte written has left the port, then micros more.
void drainThenWait(long micros);
